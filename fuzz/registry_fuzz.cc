// The .reg parser: any bytes (UTF-8, UTF-16LE, damaged files) are read
// without a crash or an exception, and what was read can be looked up.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/base/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  vantor::Registry registry = vantor::Registry::Parse(bytes);
  try {
    for (const char* key :
         {"HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default",
          "HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01", "", "\\"})
      for (const char* name : {"DBServer", "DCM", "Temp", "", "a"})
        (void)registry.Find(key, name);
    for (const char* root : {"HKLM", "hkcu", "HKXX", ""}) {
      std::string value = vantor::GetRegValue(
          registry, root, "Software\\Tavik\\Kelmora\\Vantor\\01", "DCM");
      if (value.size() > 254) {
        std::fprintf(stderr, "a value longer than 254 characters\n");
        std::abort();
      }
    }
  } catch (...) {
    std::fprintf(stderr, "a registry look-up threw\n");
    std::abort();
  }
  return 0;
}
