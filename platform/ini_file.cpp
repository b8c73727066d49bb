#include "platform/ini_file.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/file_system.h"
#include "platform/ini_document.h"

namespace kestrel {
namespace {

constexpr std::size_t kMaxTextValue = 2047;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseIniInteger(const std::string& text, std::int32_t& out) {
  std::string_view t = text;
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);

  std::size_t hexStart = 0;
  if (t.size() >= 1 && t[0] == '$') {
    hexStart = 1;
  } else if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    hexStart = 2;
  }
  if (hexStart > 0) {
    // Hexadecimal is the 32-bit pattern: $FFFFFFFF is -1.
    t.remove_prefix(hexStart);
    if (t.empty()) return false;
    std::uint64_t v = 0;
    for (char c : t) {
      const int d = HexDigit(c);
      if (d < 0) return false;
      v = v * 16 + static_cast<std::uint64_t>(d);
      if (v > 0xFFFFFFFFull) return false;
    }
    out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return true;
  }

  bool negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return false;
  std::int64_t v = 0;
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > limit) return false;
  }
  out = static_cast<std::int32_t>(negative ? -v : v);
  return true;
}

IniFile::IniFile(std::filesystem::path file, FileSystem& files)
    : file_(std::move(file)), files_(files) {}

// The file's text; empty when it is missing or cannot be read (reading never fails).
std::string IniFile::ReadText() const {
  const std::optional<Bytes> bytes = files_.ReadAll(file_);
  if (!bytes) return {};
  return std::string(bytes->begin(), bytes->end());
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
  const IniDocument doc(ReadText());
  const auto value = doc.Find(section, key);
  if (!value) return def;
  return std::string(value->substr(0, kMaxTextValue));
}

std::int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                                  std::int32_t def) const {
  const IniDocument doc(ReadText());
  const auto value = doc.Find(section, key);
  std::int32_t v = 0;
  if (!value || !ParseIniInteger(std::string(value->substr(0, kMaxTextValue)), v)) return def;
  return v;
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(file_, ec);
  if (ec) full = file_;
  const auto fail = [&full]() { throw IniWriteError("Unable to write to " + full.string()); };

  FileSystem& files = files_;
  std::string text;
  if (const std::optional<Bytes> bytes = files.ReadAll(full)) {
    text.assign(bytes->begin(), bytes->end());
  } else if (files.Exists(full)) {
    // A file that is there but cannot be read is never overwritten with a file
    // holding only this key: every other setting would be lost.
    fail();
  }
  IniDocument doc(std::move(text));
  if (!doc.Set(section, key, value)) fail();
  const std::string& out = doc.Text();
  if (!files.Replace(full,
                     ByteView(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()))) {
    fail();
  }
}

}  // namespace kestrel
