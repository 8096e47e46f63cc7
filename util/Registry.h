// Read-only registry over a file in the Windows registry export format.
//
// The file is $STRMD_REGISTRY (default /etc/kestravon/strmd.reg). Each
// RegistryOpenKey parses the file anew, so a key reflects the file at the
// moment it was opened. Keys and value names compare case-insensitively, and
// subkeys enumerate in case-insensitive alphabetical order, as the registry
// returns them. Lines that cannot be parsed are reported (file and line) and
// skipped. Safe to call from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum RegType : uint32_t { REG_SZ_T = 1, REG_EXPAND_SZ_T = 2, REG_BINARY_T = 3, REG_DWORD_T = 4 };

// The longest text value that is read, terminator included.
constexpr size_t kRegTextMax = 260;

struct RegValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;  // REG_SZ as UTF-8 text, REG_DWORD as 4 little-endian bytes
};

struct RegKeyData {
  std::map<std::string, RegValue> values;  // keyed by lower-cased name
};

struct RegistryFile {
  // Lower-cased full key path (without the hive) -> key contents.
  std::map<std::string, RegKeyData> keys;
  // Original spelling of each key's last path component, by lower-cased path.
  std::map<std::string, std::string> names;
};

struct RegKey {
  std::shared_ptr<const RegistryFile> file;
  std::string path;  // lower-cased, backslash separated, e.g. software\kestravon\server
};

// Path of the registry file in use.
std::string RegistryPath();

// Parses registry text; `source` names it in reports of malformed lines.
std::shared_ptr<RegistryFile> RegistryParse(std::string_view text, const char* source);

// Opens a key under HKEY_LOCAL_MACHINE, e.g. "SOFTWARE\\Kestravon\\Server".
// None when the file cannot be read or has no such key.
std::optional<RegKey> RegistryOpenKey(const std::string& path);
std::optional<RegKey> RegistryOpenSubKey(const RegKey& key, const std::string& name);

// A number only from a REG_DWORD of exactly 4 bytes.
bool RegistryGetDword(const RegKey& key, const char* name, uint32_t* out);
// A text of REG_SZ or REG_EXPAND_SZ (expanded from the environment) that fits
// in kRegTextMax bytes with its terminator; anything else counts as missing.
bool RegistryGetText(const RegKey& key, const char* name, std::string* out);
// The name of subkey `index` in enumeration order; false past the last.
bool RegistryEnumSubKey(const RegKey& key, uint32_t index, std::string* name);
