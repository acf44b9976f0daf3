// Typed named values under key paths, kept in a file-backed store.
//
// A key path such as "Software\\ZAN Networks\\Zan" is one folder per path
// element under the store's root ($ZAN_REGISTRY_ROOT, else
// $XDG_CONFIG_HOME/zan/registry, else ~/.config/zan/registry). Each value is
// one file named after the value, holding a type line ("dword", "string" or
// "binary") followed by the data. Operations keep no state and may be called
// from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace zan {

class CRegistry {
 public:
  virtual ~CRegistry() {}
  virtual bool setDword(const std::string& key, const std::string& name, uint32_t value) = 0;
  virtual bool setString(const std::string& key, const std::string& name, const std::string& value) = 0;
  // The output is untouched on failure.
  virtual bool getDword(const std::string& key, const std::string& name, uint32_t& value) = 0;
  virtual bool getString(const std::string& key, const std::string& name, std::string& value) = 0;
  // String values by their text, DWORD values as decimal text; other types
  // are skipped. False when the key cannot be read.
  virtual bool getAllValues(const std::string& key, std::map<std::string, std::string>& values) = 0;
  // Fails without touching the store when |data| is null or |size| < 1.
  virtual bool setBinary(const std::string& key, const std::string& name, const void* data, int size) = 0;
  // |data| is a new[] block the caller frees with delete[].
  virtual bool getBinary(const std::string& key, const std::string& name, void*& data, uint32_t& size) = 0;

  // The process-wide instance, created on first use.
  static std::shared_ptr<CRegistry> instance();
};

// Values are read into a buffer of this many bytes; longer values are cut.
inline constexpr size_t kRegistryValueLimit = 2048;

class CRegistryImpl : public CRegistry {
 public:
  bool setDword(const std::string& key, const std::string& name, uint32_t value) override;
  bool setString(const std::string& key, const std::string& name, const std::string& value) override;
  bool getDword(const std::string& key, const std::string& name, uint32_t& value) override;
  bool getString(const std::string& key, const std::string& name, std::string& value) override;
  bool getAllValues(const std::string& key, std::map<std::string, std::string>& values) override;
  bool setBinary(const std::string& key, const std::string& name, const void* data, int size) override;
  bool getBinary(const std::string& key, const std::string& name, void*& data, uint32_t& size) override;

  // The root folder of the store, read from the environment at each call so
  // tests can point it elsewhere.
  static std::string root();
};

}  // namespace zan
