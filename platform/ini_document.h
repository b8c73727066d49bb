#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// The text of a settings file in memory: finds and sets key values by the rules
// of the settings file, without touching any file. Bytes are Windows-1251 and are
// kept as they are.
//
// - Lines end with LF; a CR before the LF is part of the line end. Lines written
//   by Set end with CR LF.
// - A line whose first non-blank character is '[' opens a section; its name runs
//   to the next ']' (or the line's end). Lines of the form key=value that follow
//   belong to it up to the next section line; the key is the text before the
//   first '='. Lines starting with ';' and lines without '=' are not keys.
// - Names are matched without regard to letter case (ASCII and Windows-1251
//   letters); spaces and tabs around names and values are not part of them.
// - Only the first section of a name counts, and within it the first key of a
//   name, for reading and for writing alike.
class IniDocument {
 public:
  explicit IniDocument(std::string text);

  const std::string& Text() const { return text_; }

  // The value of the key, trimmed, at full length; nullopt when the section or
  // the key is missing.
  std::optional<std::string_view> Find(std::string_view section, std::string_view key) const;

  // Sets the key's value: replaces it in place (the key keeps its spelling), or
  // adds the key after the section's last key line, or adds the section with the
  // key at the end. Every other line stays byte-identical. Line breaks in the
  // value become spaces, so the value cannot add lines. False (and nothing
  // changed) when the section or key name cannot be written: empty after
  // trimming, or holding a line break, '=' in a key, ']' in a section, a key
  // starting with '[' or ';', or spaces or tabs at either end.
  bool Set(std::string_view section, std::string_view key, std::string_view value);

  // True when the name can be written as a section or key name by Set.
  static bool IsWritableSection(std::string_view name);
  static bool IsWritableKey(std::string_view name);

  // Letter case folding used for names (Windows-1251 letters included).
  static unsigned char FoldCase(unsigned char c);
  static bool NamesEqual(std::string_view a, std::string_view b);

 private:
  enum class Kind { Other, Section, Key };
  struct Line {
    std::size_t begin = 0;  // first byte of the line
    std::size_t end = 0;    // one past the line's text (before CR LF / LF)
    std::size_t next = 0;   // first byte of the next line
    Kind kind = Kind::Other;
    std::size_t nameBegin = 0, nameEnd = 0;    // section or key name, trimmed
    std::size_t valueBegin = 0, valueEnd = 0;  // key value, trimmed
  };

  void Parse();
  std::string_view Slice(std::size_t b, std::size_t e) const {
    return std::string_view(text_).substr(b, e - b);
  }
  // Index of the first section line of that name, or npos.
  std::size_t FindSection(std::string_view section) const;
  // Index of the first key line of that name in the section opened at `sectionLine`.
  std::size_t FindKey(std::size_t sectionLine, std::string_view key) const;

  std::string text_;
  std::vector<Line> lines_;
};

}  // namespace kestrel
