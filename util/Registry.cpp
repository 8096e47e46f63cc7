#include "util/Registry.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "util/ByteOrder.h"
#include "util/Log.h"

namespace {

constexpr std::string_view kHklm = "hkey_local_machine\\";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

void ReportLine(const char* source, int line) {
  errno = 0;
  ReportError("%s:%d: registry line not understood, skipped", source, line);
}

// Parses a quoted text starting at s[pos] == '"'; handles \\ and \" escapes.
bool ParseQuoted(std::string_view s, size_t* pos, std::string* out) {
  if (*pos >= s.size() || s[*pos] != '"') return false;
  out->clear();
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      out->push_back(s[++i]);
    } else if (s[i] == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(s[i]);
    }
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  std::string t = Trim(s);
  if (t.empty()) return true;
  std::stringstream in(t);
  std::string item;
  while (std::getline(in, item, ',')) {
    std::string b = Trim(item);
    if (b.size() != 2) return false;
    int hi = HexDigit(b[0]), lo = HexDigit(b[1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

// UTF-16LE (as REG_EXPAND_SZ is exported) to UTF-8, up to the first zero.
std::string Utf16ToUtf8(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t c = GetLe16(&bytes[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size()) {
      uint32_t lo = GetLe16(&bytes[i + 2]);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      }
    }
    if (c == 0) break;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool ParseValue(std::string_view data, RegValue* value) {
  std::string d = Trim(data);
  if (!d.empty() && d[0] == '"') {
    size_t pos = 0;
    std::string text;
    if (!ParseQuoted(d, &pos, &text) || !Trim(std::string_view(d).substr(pos)).empty()) return false;
    value->type = REG_SZ_T;
    value->data.assign(text.begin(), text.end());
    value->data.push_back(0);
    return true;
  }
  std::string lower = Lower(d);
  if (lower.rfind("dword:", 0) == 0) {
    std::string hex = Trim(std::string_view(d).substr(6));
    if (hex.empty() || hex.size() > 8) return false;
    uint32_t v = 0;
    for (char c : hex) {
      int h = HexDigit(c);
      if (h < 0) return false;
      v = v * 16 + static_cast<uint32_t>(h);
    }
    value->type = REG_DWORD_T;
    value->data.resize(4);
    PutLe32(value->data.data(), v);
    return true;
  }
  if (lower.rfind("hex:", 0) == 0) {
    value->type = REG_BINARY_T;
    return ParseHexBytes(std::string_view(d).substr(4), &value->data);
  }
  if (lower.rfind("hex(", 0) == 0) {
    size_t close = lower.find("):");
    if (close == std::string::npos || close == 4) return false;
    uint32_t type = 0;
    for (size_t i = 4; i < close; ++i) {
      int h = HexDigit(lower[i]);
      if (h < 0) return false;
      type = type * 16 + static_cast<uint32_t>(h);
    }
    value->type = type;
    return ParseHexBytes(std::string_view(d).substr(close + 2), &value->data);
  }
  return false;
}

// Makes the key and each of its parents exist, remembering their spelling.
void AddKey(RegistryFile* file, const std::string& path) {
  size_t start = 0;
  while (true) {
    size_t sep = path.find('\\', start);
    std::string prefix = path.substr(0, sep);
    std::string lower = Lower(prefix);
    file->keys[lower];
    if (!file->names.count(lower)) file->names[lower] = prefix.substr(prefix.rfind('\\') + 1);
    if (sep == std::string::npos) break;
    start = sep + 1;
  }
}

// Key paths from the file keep their hive; HKEY_LOCAL_MACHINE's is dropped
// since every lookup is under it.
std::string KeyPath(std::string_view raw) {
  std::string p = Trim(raw);
  while (!p.empty() && p.back() == '\\') p.pop_back();
  if (Lower(p).rfind(kHklm, 0) == 0) return p.substr(kHklm.size());
  return "<other>\\" + p;
}

}  // namespace

std::string RegistryPath() {
  const char* p = getenv("STRMD_REGISTRY");
  return p != nullptr && p[0] != '\0' ? p : "/etc/kestravon/strmd.reg";
}

std::shared_ptr<RegistryFile> RegistryParse(std::string_view text, const char* source) {
  auto file = std::make_shared<RegistryFile>();
  // A UTF-8 byte order mark may lead the file.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  std::string current;  // empty: values are ignored until a key line
  bool inKey = false;
  int lineNo = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos));
    ++lineNo;
    const int firstLine = lineNo;
    pos = end + 1;
    // A value may continue over several lines that end in a backslash.
    while (!line.empty() && line.back() == '\\' && line.find('=') != std::string::npos &&
           pos <= text.size()) {
      line.pop_back();
      size_t e = text.find('\n', pos);
      if (e == std::string_view::npos) e = text.size();
      line += Trim(text.substr(pos, e - pos));
      ++lineNo;
      pos = e + 1;
    }
    if (line.empty() || line[0] == ';') continue;
    if (firstLine == 1 && (line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4"))
      continue;
    if (line[0] == '[') {
      if (line.back() != ']' || line.size() < 3) {
        ReportLine(source, firstLine);
        inKey = false;
        continue;
      }
      std::string_view inner = std::string_view(line).substr(1, line.size() - 2);
      if (!inner.empty() && inner[0] == '-') {  // a deletion: nothing to read
        inKey = false;
        continue;
      }
      current = KeyPath(inner);
      AddKey(file.get(), current);
      inKey = true;
      continue;
    }
    std::string name;
    size_t p = 0;
    if (line[0] == '@') {
      p = 1;
    } else if (!ParseQuoted(line, &p, &name)) {
      ReportLine(source, firstLine);
      continue;
    }
    std::string rest = Trim(std::string_view(line).substr(p));
    RegValue value;
    if (rest.empty() || rest[0] != '=' || !ParseValue(std::string_view(rest).substr(1), &value)) {
      ReportLine(source, firstLine);
      continue;
    }
    if (!inKey) {
      ReportLine(source, firstLine);
      continue;
    }
    file->keys[Lower(current)].values[Lower(name)] = std::move(value);
  }
  return file;
}

std::optional<RegKey> RegistryOpenKey(const std::string& path) {
  std::string file = RegistryPath();
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream buf;
  buf << in.rdbuf();
  std::shared_ptr<RegistryFile> parsed = RegistryParse(buf.str(), file.c_str());
  std::string lower = Lower(path);
  if (!parsed->keys.count(lower)) return std::nullopt;
  return RegKey{parsed, lower};
}

std::optional<RegKey> RegistryOpenSubKey(const RegKey& key, const std::string& name) {
  std::string lower = key.path + "\\" + Lower(name);
  if (!key.file->keys.count(lower)) return std::nullopt;
  return RegKey{key.file, lower};
}

namespace {
const RegValue* FindValue(const RegKey& key, const char* name) {
  auto k = key.file->keys.find(key.path);
  if (k == key.file->keys.end()) return nullptr;
  auto v = k->second.values.find(Lower(name));
  return v == k->second.values.end() ? nullptr : &v->second;
}

// %VAR% from the environment; an unknown variable stays as written, as the
// system's expansion leaves it.
std::string Expand(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    if (close != std::string::npos && close > i + 1) {
      std::string var = text.substr(i + 1, close - i - 1);
      if (const char* v = getenv(var.c_str())) {
        out += v;
        i = close + 1;
        continue;
      }
    }
    out.push_back(text[i++]);
  }
  return out;
}
}  // namespace

bool RegistryGetDword(const RegKey& key, const char* name, uint32_t* out) {
  const RegValue* v = FindValue(key, name);
  if (v == nullptr || v->type != REG_DWORD_T || v->data.size() != 4) return false;
  *out = GetLe32(v->data.data());
  return true;
}

bool RegistryGetText(const RegKey& key, const char* name, std::string* out) {
  const RegValue* v = FindValue(key, name);
  if (v == nullptr) return false;
  std::string text;
  if (v->type == REG_SZ_T) {
    if (v->data.size() > kRegTextMax) return false;
    text.assign(v->data.begin(), v->data.end());
    text = text.c_str();
  } else if (v->type == REG_EXPAND_SZ_T) {
    text = Utf16ToUtf8(v->data);
    if (text.size() + 1 > kRegTextMax) return false;
    text = Expand(text);
    if (text.size() + 1 > kRegTextMax) return false;
  } else {
    return false;
  }
  *out = std::move(text);
  return true;
}

bool RegistryEnumSubKey(const RegKey& key, uint32_t index, std::string* name) {
  // Children are the keys one level below, in case-insensitive name order;
  // the map's lower-cased keys sort exactly so.
  const std::string prefix = key.path + "\\";
  uint32_t seen = 0;
  for (auto it = key.file->keys.lower_bound(prefix); it != key.file->keys.end(); ++it) {
    const std::string& p = it->first;
    if (p.compare(0, prefix.size(), prefix) != 0) break;
    if (p.find('\\', prefix.size()) != std::string::npos) continue;
    if (seen++ == index) {
      *name = key.file->names.at(p);
      return true;
    }
  }
  return false;
}
