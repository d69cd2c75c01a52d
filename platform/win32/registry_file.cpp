// The registry as a text file (format in registry_host.h): written from a
// snapshot of the store, read fully before anything is applied.
#include "platform/win32/registry_host.h"

#include <fstream>
#include <sstream>
#include <vector>

#include "platform/kernel/registry.h"
#include "platform/win32/registry_internal.h"

namespace platform::win32 {

namespace {

const char kHex[] = "0123456789ABCDEF";

std::string Escaped(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c >= 0x20 && c <= 0x7E && c != u'%' && c != u'"' && c != u'[' && c != u']') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(c >> shift) & 0xF]);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHex(const std::string& s, size_t at, size_t digits, uint32_t* value) {
  if (at + digits > s.size()) return false;
  uint32_t v = 0;
  for (size_t i = 0; i < digits; ++i) {
    int d = HexDigit(s[at + i]);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

bool Unescaped(const std::string& s, std::u16string* out, std::string* why) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '%') {
      uint32_t unit;
      if (!ParseHex(s, i + 1, 4, &unit)) {
        *why = "'%' not followed by 4 hex digits";
        return false;
      }
      out->push_back(static_cast<char16_t>(unit));
      i += 4;
    } else if (c < 0x20 || c > 0x7E || c == '"' || c == '[' || c == ']') {
      *why = "character that must be written %XXXX";
      return false;
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
  }
  return true;
}

struct FileKey {
  std::u16string path;
  std::vector<std::pair<std::u16string, RegistryValue>> values;
};

bool Parse(const std::string& text, std::vector<FileKey>* keys, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    std::string why;
    if (line[0] == '[') {
      if (line.size() < 3 || line.back() != ']') return fail("a key line is [\\absolute\\path]");
      FileKey key;
      if (!Unescaped(line.substr(1, line.size() - 2), &key.path, &why)) return fail("key path: " + why);
      if (key.path[0] != u'\\' || key.path.back() == u'\\' || key.path.find(u"\\\\") != std::u16string::npos)
        return fail("key path must be absolute, with no empty component");
      keys->push_back(std::move(key));
      continue;
    }
    if (line[0] != '"') return fail("expected [key], \"name\"=type:data, a ';' comment or a blank line");
    if (keys->empty()) return fail("a value before the first [key]");
    size_t close = line.find('"', 1);
    if (close == std::string::npos) return fail("value name without its closing quote");
    std::pair<std::u16string, RegistryValue> value;
    if (!Unescaped(line.substr(1, close - 1), &value.first, &why)) return fail("value name: " + why);
    size_t at = close + 1;
    uint32_t type;
    if (at >= line.size() || line[at] != '=' || !ParseHex(line, at + 1, 8, &type) || at + 9 >= line.size() ||
        line[at + 9] != ':')
      return fail("after the name comes =TTTTTTTT: (the type as 8 hex digits)");
    value.second.type = type;
    std::string data = line.substr(at + 10);
    if (data.size() % 2) return fail("data has an odd number of hex digits");
    for (size_t i = 0; i < data.size(); i += 2) {
      uint32_t byte;
      if (!ParseHex(data, i, 2, &byte)) return fail("data is not hex");
      value.second.data.push_back(static_cast<uint8_t>(byte));
    }
    keys->back().values.push_back(std::move(value));
  }
  return true;
}

}  // namespace

std::string RegistryToText() {
  std::string out = "; registry of the simulated machine\n";
  for (const RegistryKeyContents& key : RegistrySnapshot()) {
    out += "[" + Escaped(key.path) + "]\n";
    for (const auto& [name, value] : key.values) {
      out += "\"" + Escaped(name) + "\"=";
      for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(value.type >> shift) & 0xF]);
      out.push_back(':');
      for (uint8_t b : value.data) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0xF]);
      }
      out.push_back('\n');
    }
  }
  return out;
}

bool RegistryFromText(const std::string& text, std::string* error) {
  std::vector<FileKey> keys;
  if (!Parse(text, &keys, error)) return false;
  for (const FileKey& key : keys) {
    uint64_t id = RegistryCreateKey(key.path, nullptr);
    for (const auto& [name, value] : key.values)
      RegistryKeySetValue(id, name, value.type, value.data.data(), value.data.size());
  }
  return true;
}

bool SaveRegistry(const std::string& path, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << RegistryToText();
  out.close();
  if (!out) {
    if (error) *error = path + ": cannot write the registry file";
    return false;
  }
  return true;
}

bool LoadRegistry(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": cannot open the registry file";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string why;
  if (!RegistryFromText(text.str(), &why)) {
    // "line N: reason" becomes "FILE:N: reason".
    if (error) *error = path + ":" + (why.rfind("line ", 0) == 0 ? why.substr(5) : why);
    return false;
  }
  return true;
}

void ResetRegistry() { RegistryClear(); }

std::u16string CurrentUserRegistryPath() { return registry::kCurrentUserPath; }

}  // namespace platform::win32
