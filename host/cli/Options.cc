#include "host/cli/Options.h"

#include <cerrno>
#include <cstdlib>

namespace zan::host {

Options::Options(std::set<std::string> valued, std::set<std::string> flags)
    : valued_(std::move(valued)), flags_(std::move(flags)) {}

bool Options::parse(const std::vector<std::string>& arguments) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      positional_.insert(positional_.end(), arguments.begin() + static_cast<long>(i) + 1, arguments.end());
      break;
    }
    if (argument.size() < 3 || argument.compare(0, 2, "--") != 0) {
      positional_.push_back(argument);
      continue;
    }
    std::string name = argument.substr(2);
    std::string value;
    bool inlineValue = false;
    if (const auto equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      inlineValue = true;
    }
    if (flags_.count(name)) {
      if (inlineValue) {
        error_ = "option --" + name + " takes no value";
        return false;
      }
      seen_.insert(name);
    } else if (valued_.count(name)) {
      if (!inlineValue) {
        if (i + 1 >= arguments.size()) {
          error_ = "option --" + name + " needs a value";
          return false;
        }
        value = arguments[++i];
      }
      seen_.insert(name);
      values_[name] = value;
      allValues_[name].push_back(value);
    } else {
      error_ = "unknown option --" + name;
      return false;
    }
  }
  return true;
}

bool Options::has(const std::string& name) const { return seen_.count(name) != 0; }

std::string Options::value(const std::string& name, const std::string& fallback) const {
  const auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

std::vector<std::string> Options::values(const std::string& name) const {
  const auto it = allValues_.find(name);
  return it == allValues_.end() ? std::vector<std::string>{} : it->second;
}

bool Options::number(const std::string& name, long long& out, long long minimum, long long maximum) {
  const auto it = values_.find(name);
  if (it == values_.end()) return true;
  const std::string& text = it->second;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || parsed < minimum || parsed > maximum) {
    error_ = "option --" + name + " needs a whole number from " + std::to_string(minimum) + " to " +
             std::to_string(maximum) + ", not '" + text + "'";
    return false;
  }
  out = parsed;
  return true;
}

}  // namespace zan::host
