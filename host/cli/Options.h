// A small command-line parser: "--name VALUE", "--name=VALUE", "--flag" and
// positional arguments, checked against what a command declares.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace zan::host {

class Options {
 public:
  // |valued| names take a value, |flags| take none (names without "--").
  Options(std::set<std::string> valued, std::set<std::string> flags);

  // False with a message in error() for an unknown option or a missing value.
  bool parse(const std::vector<std::string>& arguments);
  const std::string& error() const { return error_; }

  bool has(const std::string& name) const;
  std::string value(const std::string& name, const std::string& fallback = "") const;
  // Every value given for |name|, in order (value() gives the last one).
  std::vector<std::string> values(const std::string& name) const;
  // False with a message when the value is present but not a whole number in
  // [minimum, maximum].
  bool number(const std::string& name, long long& out, long long minimum, long long maximum);
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::set<std::string> valued_, flags_;
  std::map<std::string, std::string> values_;
  std::map<std::string, std::vector<std::string>> allValues_;
  std::set<std::string> seen_;
  std::vector<std::string> positional_;
  std::string error_;
};

}  // namespace zan::host
