#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Windows-1251 bytes to UTF-8. Every byte maps to a character (0x98, unassigned,
// becomes U+FFFD).
std::string Cp1251ToUtf8(std::string_view bytes);

// UTF-8 to Windows-1251. Characters with no Windows-1251 byte, and malformed
// UTF-8, become '?'.
std::string Utf8ToCp1251(std::string_view text);

}  // namespace kestrel
