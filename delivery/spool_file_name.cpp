#include "delivery/spool_file_name.h"

namespace kestrel {

std::uint32_t SpoolFileNumber(DateTime t) {
  const DateTimeFields f = DecodeDateTime(t);
  const std::uint32_t seconds =
      static_cast<std::uint32_t>(f.day) * 86400u + static_cast<std::uint32_t>(f.hour) * 3600u +
      static_cast<std::uint32_t>(f.minute) * 60u + static_cast<std::uint32_t>(f.second);
  // Up to 2 764 799 999: beyond the signed range, within the unsigned one.
  return seconds * 1000u + static_cast<std::uint32_t>(f.millisecond);
}

std::string SpoolNumberText(std::uint32_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char buf[8];
  int len = 0;
  do {
    buf[len++] = kDigits[n & 0xF];
    n >>= 4;
  } while (n != 0);
  std::string out;
  out.reserve(static_cast<std::size_t>(len));
  while (len > 0) out.push_back(buf[--len]);
  return out;
}

std::string SpoolFileName(DateTime t) { return SpoolNumberText(SpoolFileNumber(t)); }

std::optional<std::uint32_t> ParseSpoolNumber(std::string_view baseName) {
  if (baseName.empty() || baseName.size() > 8) return std::nullopt;
  std::uint32_t n = 0;
  for (const char c : baseName) {
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
    n = (n << 4) | digit;
  }
  return n;
}

}  // namespace kestrel
