#include "host/base/registry.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/paths.h"
#include "host/base/text.h"

namespace vantor {
namespace {

// The value buffer of the registry read: 255 bytes including the NUL.
constexpr size_t kValueBufferSize = 255;

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE (after its BOM) to UTF-8; a lone surrogate becomes U+FFFD and an
// odd last byte is dropped.
std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](size_t i) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1])
                                  << 8));
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

// The file as UTF-8 text without a BOM.
std::string DecodeText(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE)
    return Utf16LeToUtf8(bytes.substr(2));
  if (bytes.starts_with("\xEF\xBB\xBF"))
    return std::string(bytes.substr(3));
  return std::string(bytes);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// Reads a quoted text starting at s[pos] == '"' with the \\ and \" escapes.
// On success sets `pos` past the closing quote.
bool ReadQuoted(std::string_view s, size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  out.clear();
  for (size_t i = pos + 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size() &&
        (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out += s[++i];
    } else if (c == '"') {
      pos = i + 1;
      return true;
    } else {
      out += c;
    }
  }
  return false;
}

}  // namespace

// Fills a Registry from parsed lines; the only writer of its keys.
class RegistryBuilder {
 public:
  static Registry Build(std::string_view bytes);
};

Registry RegistryBuilder::Build(std::string_view bytes) {
  Registry registry;
  std::vector<std::string> lines = SplitLines(DecodeText(bytes));
  size_t i = 0;
  // The header is the first non-empty line.
  while (i < lines.size() && TrimView(lines[i]).empty()) ++i;
  if (i >= lines.size()) return registry;
  std::string_view header = TrimView(lines[i]);
  if (header != "Windows Registry Editor Version 5.00" &&
      header != "REGEDIT4")
    return registry;
  ++i;

  std::map<std::string, std::string>* current = nullptr;
  for (; i < lines.size(); ++i) {
    std::string_view line = TrimView(lines[i]);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      current = nullptr;
      if (line.back() != ']' || line.size() < 3 || line[1] == '-') continue;
      current = &registry.keys_[LowerCase(line.substr(1, line.size() - 2))];
      continue;
    }
    if (line.front() != '"') continue;  // "@" default values, damage
    size_t pos = 0;
    std::string name;
    if (!ReadQuoted(line, pos, name)) continue;
    std::string_view rest = TrimView(line.substr(pos));
    if (rest.empty() || rest.front() != '=') continue;
    rest = TrimView(rest.substr(1));
    if (rest.empty()) continue;
    std::string text;
    if (rest.front() == '"') {
      size_t vpos = 0;
      if (!ReadQuoted(rest, vpos, text)) continue;
      if (!TrimView(rest.substr(vpos)).empty()) continue;
    } else {
      // Values of other kinds (dword:, hex:, hex(2):, ...) read as empty;
      // their data may go on over lines ending in "\".
      while (rest.back() == '\\' && i + 1 < lines.size()) {
        rest = TrimView(lines[++i]);
        if (rest.empty()) break;
      }
      if (rest == "-") {
        if (current != nullptr) current->erase(LowerCase(name));
        continue;
      }
    }
    if (current != nullptr) (*current)[LowerCase(name)] = std::move(text);
  }
  return registry;
}

Registry Registry::Parse(std::string_view bytes) {
  try {
    return RegistryBuilder::Build(bytes);
  } catch (...) {
    return Registry();
  }
}

Registry Registry::Load(const std::string& path) {
  try {
    const std::optional<std::string> bytes = TryReadWholeFile(path);
    if (!bytes) return Registry();
    return Parse(*bytes);
  } catch (...) {
    return Registry();
  }
}

std::optional<std::string> Registry::Find(std::string_view key,
                                          std::string_view name) const {
  auto k = keys_.find(LowerCase(key));
  if (k == keys_.end()) return std::nullopt;
  auto v = k->second.find(LowerCase(name));
  if (v == k->second.end()) return std::nullopt;
  return v->second;
}

std::string RegistryPath() {
  const char* env = std::getenv("VANTOR_REGISTRY");
  if (env != nullptr && *env != '\0') return env;
  return InProgramDir("registry.reg");
}

std::vector<std::string> Registry::SubKeys(std::string_view key) const {
  const std::string prefix = LowerCase(key) + '\\';
  std::vector<std::string> names;
  for (auto it = keys_.lower_bound(prefix);
       it != keys_.end() && it->first.starts_with(prefix);
       ++it) {
    std::string rest = it->first.substr(prefix.size());
    if (!rest.empty() && rest.find('\\') == std::string::npos)
      names.push_back(std::move(rest));
  }
  return names;
}

std::string GetRegValue(const Registry& registry, std::string_view root,
                        std::string_view key_path, std::string_view name) {
  return Guard("GetRegValue", std::string(), [&]() -> std::string {
    if (root.empty()) return "";
    static const std::map<std::string, std::string> kRoots = {
        {"hklm", "HKEY_LOCAL_MACHINE"}, {"hkcr", "HKEY_CLASSES_ROOT"},
        {"hku", "HKEY_USERS"},          {"hkcu", "HKEY_CURRENT_USER"},
        {"hkpd", "HKEY_PERFORMANCE_DATA"}, {"hkdd", "HKEY_DYN_DATA"},
        {"hkcc", "HKEY_CURRENT_CONFIG"}};
    auto r = kRoots.find(LowerCase(root));
    if (r == kRoots.end()) return "";  // the open fails
    std::string key = r->second;
    key += '\\';
    key += key_path;
    std::optional<std::string> value = registry.Find(key, name);
    if (!value) return "";
    // The text and its NUL must fit into the value buffer.
    if (value->size() + 1 > kValueBufferSize) return "";
    size_t nul = value->find('\0');
    if (nul != std::string::npos) value->resize(nul);
    return *value;
  });
}

}  // namespace vantor
