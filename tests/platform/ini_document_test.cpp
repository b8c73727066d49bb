#include "platform/ini_document.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/ini_file.h"

namespace kestrel {
namespace {

struct FindCase {
  const char* what;
  std::string text;
  std::string section;
  std::string key;
  std::optional<std::string> expected;
};

// "Секция" and "СЕКЦИЯ", "ёж" and "ЁЖ", "їі" and "ЇІ" in Windows-1251.
const std::string kSectionLower = "\xF1\xE5\xEA\xF6\xE8\xFF";
const std::string kSectionUpper = "\xD1\xC5\xCA\xD6\xC8\xDF";
const std::string kKeyLower = "\xB8\xE6\xBF\xB3";
const std::string kKeyUpper = "\xA8\xC6\xAF\xB2";

const FindCase kFindCases[] = {
    {"CR LF lines", "[main]\r\nComPort=COM3\r\nbr=9600\r\n", "main", "br", "9600"},
    {"bare LF lines", "[main]\nComPort=COM3\nbr=9600\n", "main", "ComPort", "COM3"},
    {"last line without line end", "[main]\r\nbr=9600", "main", "br", "9600"},
    {"last line ending in a lone CR", "[main]\r\nbr=9600\r", "main", "br", "9600"},
    {"names ignore ASCII case", "[MAIN]\r\ncomport=COM3\r\n", "main", "ComPort", "COM3"},
    {"names ignore Cyrillic case", "[" + kSectionUpper + "]\r\n" + kKeyUpper + "=1\r\n",
     kSectionLower, kKeyLower, "1"},
    {"value keeps its case", "[main]\r\nComPort=com128\r\n", "main", "ComPort", "com128"},
    {"spaces and tabs around names and values", "  [ main ]\t\r\n \t ComPort \t=\t COM3 x \t\r\n",
     "main", "ComPort", "COM3 x"},
    {"query names are trimmed too", "[main]\r\nbr=1\r\n", " main ", "\tbr ", "1"},
    {"first key of a name wins", "[main]\r\nbr=1\r\nBR=2\r\n", "main", "br", "1"},
    {"first section of a name wins", "[main]\r\nbr=1\r\n[Main]\r\nbr=2\r\n", "main", "br", "1"},
    {"a later section of the same name is not searched", "[main]\r\nx=1\r\n[main]\r\nbr=2\r\n",
     "main", "br", std::nullopt},
    {"key of another section", "[ServerHost]\r\nPort=1\r\n[main]\r\n", "main", "Port",
     std::nullopt},
    {"key before any section", "br=1\r\n[main]\r\n", "main", "br", std::nullopt},
    {"comment line", "[main]\r\n;br=1\r\n  ; br=2\r\n", "main", "br", std::nullopt},
    {"line without '='", "[main]\r\nbr\r\n", "main", "br", std::nullopt},
    {"longer key of the same start", "[main]\r\nbrx=1\r\n", "main", "br", std::nullopt},
    {"value holding '='", "[main]\r\nAttention=a=b\r\n", "main", "Attention", "a=b"},
    {"empty value", "[main]\r\nPathForSoob=\r\n", "main", "PathForSoob", ""},
    {"blank value", "[main]\r\nPathForSoob= \t \r\n", "main", "PathForSoob", ""},
    {"text after the section's ']'", "[main] ; ours\r\nbr=5\r\n", "main", "br", "5"},
    {"section header without ']'", "[main\r\nbr=5\r\n", "main", "br", "5"},
    {"byte-order mark before the first section", "\xEF\xBB\xBF[main]\r\nbr=5\r\n", "main", "br",
     "5"},
    {"a lone CR stays in the value", "[main]\r\nv=a\rb\r\n", "main", "v", "a\rb"},
    {"missing section", "[other]\r\nbr=1\r\n", "main", "br", std::nullopt},
    {"empty file", "", "main", "br", std::nullopt},
    {"missing key", "[main]\r\n", "main", "br", std::nullopt},
    {"NUL bytes are ordinary bytes", std::string("[main]\r\nv=a\0b\r\n", 15), "main", "v",
     std::string("a\0b", 3)},
};

TEST(IniDocument, Find) {
  for (const auto& c : kFindCases) {
    SCOPED_TRACE(c.what);
    const IniDocument doc(c.text);
    const auto found = doc.Find(c.section, c.key);
    if (c.expected) {
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(std::string(*found), *c.expected);
    } else {
      EXPECT_FALSE(found.has_value()) << std::string(*found);
    }
  }
}

TEST(IniDocument, FoldCaseCoversEveryWindows1251CapitalLetter) {
  // Pairs of capital and small letters; every other byte folds to itself.
  const std::pair<int, int> pairs[] = {{0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C},
                                       {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2},
                                       {0xA3, 0xBC}, {0xA5, 0xB4}, {0xA8, 0xB8}, {0xAA, 0xBA},
                                       {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
  int expected[256];
  for (int c = 0; c < 256; ++c) expected[c] = c;
  for (int c = 'A'; c <= 'Z'; ++c) expected[c] = c + 32;
  for (int c = 0xC0; c <= 0xDF; ++c) expected[c] = c + 32;
  for (const auto& [upper, lower] : pairs) expected[upper] = lower;
  for (int c = 0; c < 256; ++c) {
    EXPECT_EQ(IniDocument::FoldCase(static_cast<unsigned char>(c)), expected[c]) << c;
  }
}

struct SetCase {
  const char* what;
  std::string before;
  std::string section;
  std::string key;
  std::string value;
  std::string after;
};

const SetCase kSetCases[] = {
    {"replace in place", "[main]\r\nComPort=COM1\r\nbr=9600\r\n", "main", "ComPort", "COM5",
     "[main]\r\nComPort=COM5\r\nbr=9600\r\n"},
    {"replace keeps the key's spelling and every other line",
     "; top\n[MAIN]\n  comport = COM1 \nbr=9600\n\n[x]\ncomport=9\n", "main", "ComPort", "COM5",
     "; top\n[MAIN]\n  comport=COM5\r\nbr=9600\n\n[x]\ncomport=9\n"},
    {"replace the last line without a line end", "[main]\r\nComPort=COM1", "main", "ComPort",
     "COM5", "[main]\r\nComPort=COM5\r\n"},
    {"replace with an empty value", "[main]\r\nComPort=COM1\r\n", "main", "ComPort", "",
     "[main]\r\nComPort=\r\n"},
    {"replace only the first of two keys", "[main]\r\nComPort=A\r\nComPort=B\r\n", "main",
     "ComPort", "C", "[main]\r\nComPort=C\r\nComPort=B\r\n"},
    {"add the key after the section's last key line",
     "[main]\r\nbr=9600\r\n; note\r\n\r\n[ServerHost]\r\nPort=1\r\n", "main", "ComPort", "COM5",
     "[main]\r\nbr=9600\r\nComPort=COM5\r\n; note\r\n\r\n[ServerHost]\r\nPort=1\r\n"},
    {"add the key to a section without keys", "[main]\r\n; note\r\n[x]\r\n", "main", "ComPort",
     "COM5", "[main]\r\nComPort=COM5\r\n; note\r\n[x]\r\n"},
    {"add the key after a last line without a line end", "[main]\r\nbr=9600", "main", "ComPort",
     "COM5", "[main]\r\nbr=9600\r\nComPort=COM5\r\n"},
    {"add the key to the first of two sections of a name",
     "[main]\r\nbr=1\r\n[main]\r\nComPort=X\r\n", "main", "ComPort", "Y",
     "[main]\r\nbr=1\r\nComPort=Y\r\n[main]\r\nComPort=X\r\n"},
    {"a key before any section is not the section's", "ComPort=1\r\n[main]\r\n", "main", "ComPort",
     "COM5", "ComPort=1\r\n[main]\r\nComPort=COM5\r\n"},
    {"add the key after a last line ending in a lone CR", "[main]\r\nbr=1\r", "main", "ComPort",
     "COM5", "[main]\r\nbr=1\r\nComPort=COM5\r\n"},
    {"add the section after a last line ending in a lone CR", "[x]\r\nk=1\r", "main", "ComPort",
     "COM5", "[x]\r\nk=1\r\n[main]\r\nComPort=COM5\r\n"},
    {"add the section at the end", "[ServerHost]\r\nPort=1\r\n", "main", "ComPort", "COM5",
     "[ServerHost]\r\nPort=1\r\n[main]\r\nComPort=COM5\r\n"},
    {"add the section after a last line without a line end", "[ServerHost]\nPort=1", "main",
     "ComPort", "COM5", "[ServerHost]\nPort=1\r\n[main]\r\nComPort=COM5\r\n"},
    {"empty file", "", "main", "ComPort", "COM5", "[main]\r\nComPort=COM5\r\n"},
    {"Cyrillic names and value, matched regardless of case",
     "[" + kSectionUpper + "]\r\n" + kKeyUpper + "=1\r\n", kSectionLower, kKeyLower, kSectionUpper,
     "[" + kSectionUpper + "]\r\n" + kKeyUpper + "=" + kSectionUpper + "\r\n"},
    {"line breaks in the value cannot add lines", "[main]\r\nComPort=1\r\n", "main", "ComPort",
     "x\r\n[main]\nbr=1", "[main]\r\nComPort=x  [main] br=1\r\n"},
};

TEST(IniDocument, SetChangesOneLineOnlyAndReadsBack) {
  for (const auto& c : kSetCases) {
    SCOPED_TRACE(c.what);
    IniDocument doc(c.before);
    ASSERT_TRUE(doc.Set(c.section, c.key, c.value));
    EXPECT_EQ(doc.Text(), c.after);
    std::string expected = c.value;
    for (char& ch : expected) {
      if (ch == '\r' || ch == '\n') ch = ' ';
    }
    const auto back = doc.Find(c.section, c.key);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::string(*back), expected);
    // Parsing the new text afresh gives the same answer.
    EXPECT_EQ(IniDocument(doc.Text()).Find(c.section, c.key), back);
  }
}

TEST(IniDocument, SetRefusesNamesThatCannotBeWritten) {
  const std::pair<std::string, std::string> bad[] = {
      {"", "k"},       {"main", ""},    {" main", "k"}, {"main", "k "},
      {"ma]in", "k"},  {"main", "a=b"}, {"main", "[k"}, {"main", ";k"},
      {"ma\nin", "k"}, {"main", "k\r"}, {"\t", "k"},
  };
  const std::string text = "[main]\r\nk=1\r\n";
  for (const auto& [section, key] : bad) {
    SCOPED_TRACE(section + "/" + key);
    IniDocument doc(text);
    EXPECT_FALSE(doc.Set(section, key, "v"));
    EXPECT_EQ(doc.Text(), text);
  }
}

struct IntegerCase {
  const char* text;
  std::optional<std::int32_t> expected;
};

const IntegerCase kIntegerCases[] = {
    {"0", 0},
    {"42", 42},
    {"+42", 42},
    {"-42", -42},
    {"00012", 12},
    {" 7\t", 7},
    {"2147483647", 2147483647},
    {"-2147483648", INT32_MIN},
    {"0x10", 16},
    {"0X1f", 31},
    {"$FF", 255},
    {"$ff", 255},
    {"$7FFFFFFF", 2147483647},
    {"0x80000000", INT32_MIN},
    {"$FFFFFFFF", -1},
    {"$0000000001", 1},
    {"2147483648", std::nullopt},
    {"-2147483649", std::nullopt},
    {"99999999999999999999999", std::nullopt},
    {"$100000000", std::nullopt},
    {"", std::nullopt},
    {"  ", std::nullopt},
    {"-", std::nullopt},
    {"+", std::nullopt},
    {"$", std::nullopt},
    {"0x", std::nullopt},
    {"12a", std::nullopt},
    {"1 2", std::nullopt},
    {"1.5", std::nullopt},
    {"true", std::nullopt},
    {"false", std::nullopt},
    {"-$10", std::nullopt},
    {"$-10", std::nullopt},
    {"0x+1", std::nullopt},
    {"$G", std::nullopt},
    {"--1", std::nullopt},
};

TEST(ParseIniInteger, DecimalAndHexadecimalForms) {
  for (const auto& c : kIntegerCases) {
    SCOPED_TRACE(c.text);
    std::int32_t v = 12345;
    const bool ok = ParseIniInteger(c.text, v);
    EXPECT_EQ(ok, c.expected.has_value());
    if (c.expected) {
      EXPECT_EQ(v, *c.expected);
    }
  }
}

}  // namespace
}  // namespace kestrel
