#include "support/CRegistry.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace zan {

namespace fs = std::filesystem;

namespace {

enum class ValueType { kDword, kString, kBinary, kUnknown };

// Key paths use backslashes; each element becomes a folder. Empty elements
// and "." / ".." are dropped so a key can never leave the store.
fs::path keyFolder(const std::string& key) {
  fs::path folder = CRegistryImpl::root();
  std::string element;
  auto flush = [&] {
    if (!element.empty() && element != "." && element != "..") folder /= element;
    element.clear();
  };
  for (char c : key) {
    if (c == '\\' || c == '/') flush();
    else element += c;
  }
  flush();
  return folder;
}

// Value names may hold any character; '/' and a leading '.' are escaped so
// every name maps to one plain file inside the key's folder.
std::string fileName(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '/' || c == '%' || (i == 0 && c == '.')) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out.empty() ? std::string("%00") : out;
}

std::string valueName(const std::string& file) {
  std::string out;
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '%' && i + 2 < file.size()) {
      const int c = std::strtol(file.substr(i + 1, 2).c_str(), nullptr, 16);
      if (c != 0) out += static_cast<char>(c);
      i += 2;
    } else {
      out += file[i];
    }
  }
  return out;
}

bool store(const std::string& key, const std::string& name, const char* type, const std::string& payload) {
  std::error_code error;
  const fs::path folder = keyFolder(key);
  fs::create_directories(folder, error);
  if (error) return false;
  // Write beside and rename, so a reader never sees half a value. Each write
  // has a temporary of its own (process and a per-process count): writers of
  // one value, in this process or another, never write into one file, and
  // the last rename wins whole.
  static std::atomic<uint64_t> s_writes{0};
  const fs::path target = folder / fileName(name);
  const fs::path temporary = folder / (fileName(name) + "." + std::to_string(::getpid()) + "-" +
                                       std::to_string(s_writes.fetch_add(1)) + ".tmp~");
  bool written = false;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (out) {
      out << type << '\n';
      out.write(payload.data(), static_cast<std::streamsize>(payload.size()));
      out.close();
      written = !out.fail();
    }
  }
  if (written) fs::rename(temporary, target, error);
  if (!written || error) {
    fs::remove(temporary, error);
    return false;
  }
  return true;
}

bool load(const fs::path& file, ValueType& type, std::string& payload) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string line;
  if (!std::getline(in, line)) return false;
  if (line == "dword") type = ValueType::kDword;
  else if (line == "string") type = ValueType::kString;
  else if (line == "binary") type = ValueType::kBinary;
  else type = ValueType::kUnknown;
  payload.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool load(const std::string& key, const std::string& name, ValueType& type, std::string& payload) {
  return load(keyFolder(key) / fileName(name), type, payload);
}

bool parseDword(const std::string& text, uint32_t& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || errno != 0 || parsed > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

}  // namespace

std::string CRegistryImpl::root() {
  if (const char* root = std::getenv("ZAN_REGISTRY_ROOT"); root && *root) return root;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::string(config) + "/zan/registry";
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config/zan/registry";
  return "/tmp/zan-registry";
}

std::shared_ptr<CRegistry> CRegistry::instance() {
  // A function-local static is created once, thread-safely, and lives until
  // process exit.
  static const std::shared_ptr<CRegistry> shared = std::make_shared<CRegistryImpl>();
  return shared;
}

bool CRegistryImpl::setDword(const std::string& key, const std::string& name, uint32_t value) {
  return store(key, name, "dword", std::to_string(value));
}

bool CRegistryImpl::setString(const std::string& key, const std::string& name, const std::string& value) {
  return store(key, name, "string", value);
}

bool CRegistryImpl::getDword(const std::string& key, const std::string& name, uint32_t& value) {
  ValueType type;
  std::string payload;
  if (!load(key, name, type, payload)) return false;
  if (type == ValueType::kDword) return parseDword(payload, value);
  // Like the classic store, the type is not examined: other values give
  // their first four bytes, little-endian.
  if (payload.empty()) return false;
  uint32_t raw = 0;
  std::memcpy(&raw, payload.data(), std::min<size_t>(payload.size(), sizeof raw));
  value = raw;
  return true;
}

bool CRegistryImpl::getString(const std::string& key, const std::string& name, std::string& value) {
  ValueType type;
  std::string payload;
  if (!load(key, name, type, payload)) return false;
  if (type == ValueType::kDword) {
    value = payload;
    return true;
  }
  // The text ends at its first NUL and is cut to fit the value buffer with
  // its terminator, never in the middle of a UTF-8 sequence.
  payload = payload.substr(0, payload.find('\0'));
  if (payload.size() > kRegistryValueLimit - 1) {
    size_t cut = kRegistryValueLimit - 1;
    while (cut > 0 && (static_cast<unsigned char>(payload[cut]) & 0xC0) == 0x80) --cut;
    payload.resize(cut);
  }
  value = payload;
  return true;
}

bool CRegistryImpl::getAllValues(const std::string& key, std::map<std::string, std::string>& values) {
  std::error_code error;
  fs::directory_iterator it(keyFolder(key), error);
  if (error) return false;
  for (const fs::directory_entry& entry : it) {
    if (!entry.is_regular_file(error)) continue;
    const std::string file = entry.path().filename().string();
    if (file.size() > 5 && file.compare(file.size() - 5, 5, ".tmp~") == 0) continue;
    ValueType type;
    std::string payload;
    if (!load(entry.path(), type, payload)) continue;
    if (type == ValueType::kString) {
      values[valueName(file)] = payload.substr(0, payload.find('\0'));
    } else if (type == ValueType::kDword) {
      uint32_t number = 0;
      if (parseDword(payload, number)) values[valueName(file)] = std::to_string(static_cast<int32_t>(number));
    }
  }
  return true;
}

bool CRegistryImpl::setBinary(const std::string& key, const std::string& name, const void* data, int size) {
  if (data == nullptr || size < 1) return false;
  return store(key, name, "binary", std::string(static_cast<const char*>(data), static_cast<size_t>(size)));
}

bool CRegistryImpl::getBinary(const std::string& key, const std::string& name, void*& data, uint32_t& size) {
  ValueType type;
  std::string payload;
  if (!load(key, name, type, payload)) return false;
  // Values longer than the read buffer are cut to it.
  if (payload.size() > kRegistryValueLimit) payload.resize(kRegistryValueLimit);
  auto* block = new uint8_t[payload.empty() ? 1 : payload.size()];
  std::memcpy(block, payload.data(), payload.size());
  data = block;
  size = static_cast<uint32_t>(payload.size());
  return true;
}

}  // namespace zan
