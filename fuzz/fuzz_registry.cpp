// The registry file parser over any text, then every key, value and subkey
// through the readers the configuration uses.
#include <cstring>
#include <string_view>

#include "FuzzCommon.h"
#include "util/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::shared_ptr<RegistryFile> file =
      RegistryParse(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz");
  FUZZ_CHECK(file != nullptr);
  for (const auto& [path, contents] : file->keys) {
    RegKey key{file, path};
    for (const auto& [name, value] : contents.values) {
      uint32_t number = 0;
      if (RegistryGetDword(key, name.c_str(), &number)) FUZZ_CHECK(value.data.size() == 4);
      std::string text;
      if (RegistryGetText(key, name.c_str(), &text)) {
        FUZZ_CHECK(text.size() < kRegTextMax);
        FUZZ_CHECK(std::strlen(text.c_str()) == text.size());
      }
    }
    std::string sub;
    uint32_t index = 0;
    for (; RegistryEnumSubKey(key, index, &sub); ++index) {
      FUZZ_CHECK(index < file->keys.size());
      FUZZ_CHECK(RegistryOpenSubKey(key, sub).has_value());
    }
  }
  return 0;
}
