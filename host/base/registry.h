// The registry as a Windows .reg export file (REGEDIT4 or version 5.00,
// UTF-8 with or without BOM, or UTF-16LE with BOM). Key paths and value names
// compare without regard to case. Only string values are read; values of
// other kinds read as empty.
#ifndef VANTOR_HOST_BASE_REGISTRY_H_
#define VANTOR_HOST_BASE_REGISTRY_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

class Registry {
 public:
  Registry() = default;

  // Parses the file's bytes. A malformed file yields whatever blocks could be
  // read before and after the damage; a file without the header line is
  // empty. Never throws.
  static Registry Parse(std::string_view bytes);

  // Reads the file at `path`; a missing or unreadable file is empty.
  static Registry Load(const std::string& path);

  // The value text (UTF-8) of `name` under the full key path `key`
  // ("HKEY_LOCAL_MACHINE\Software\..."), or nothing.
  std::optional<std::string> Find(std::string_view key,
                                  std::string_view name) const;

  // The names of the keys directly under the full key path `key`, lower
  // cased, in order.
  std::vector<std::string> SubKeys(std::string_view key) const;

  // Number of keys read.
  size_t key_count() const { return keys_.size(); }

 private:
  // lower-cased key path -> lower-cased value name -> text
  std::map<std::string, std::map<std::string, std::string>> keys_;
  friend class RegistryBuilder;
};

// The registry file's path: $VANTOR_REGISTRY, else registry.reg in the
// program directory.
std::string RegistryPath();

// The single registry read primitive. `root` is "HKLM", "HKCR", "HKU",
// "HKCU", "HKPD", "HKDD" or "HKCC" (any case); an empty root gives "" without
// any access, an unknown root a failed open (""). Values longer than 254
// characters, missing keys and values give "".
std::string GetRegValue(const Registry& registry, std::string_view root,
                        std::string_view key_path, std::string_view name);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_REGISTRY_H_
