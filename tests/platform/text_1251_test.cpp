#include "platform/text_1251.h"

#include <gtest/gtest.h>

#if KESTREL_WITH_QT
#include <QStringDecoder>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace kestrel {
namespace {

TEST(Text1251, EveryByteRoundTripsExceptTheUnassignedOne) {
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    const std::string utf8 = Cp1251ToUtf8(one);
    EXPECT_EQ(Utf8ToCp1251(utf8), b == 0x98 ? "?" : one) << b;
  }
  EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");
}

#if KESTREL_WITH_QT  // Qt's decoder is the independent one
TEST(Text1251, TableAgreesWithAnIndependentDecoder) {
  QStringDecoder decoder("windows-1251");
  ASSERT_TRUE(decoder.isValid());
  for (int b = 0; b < 256; ++b) {
    if (b == 0x98) continue;  // unassigned; decoders differ
    const char one = static_cast<char>(b);
    const QString expected = decoder.decode(QByteArrayView(&one, 1));
    EXPECT_EQ(Cp1251ToUtf8(std::string(1, one)), expected.toStdString()) << b;
  }
}
#elif defined(_WIN32)  // the system's own code page 1251 is the independent one
TEST(Text1251, TableAgreesWithAnIndependentDecoder) {
  for (int b = 0; b < 256; ++b) {
    if (b == 0x98) continue;  // unassigned; decoders differ
    const char one = static_cast<char>(b);
    wchar_t wide[4] = {};
    const int n = ::MultiByteToWideChar(1251, 0, &one, 1, wide, 4);
    ASSERT_EQ(n, 1) << b;
    char utf8[8] = {};
    const int m = ::WideCharToMultiByte(CP_UTF8, 0, wide, n, utf8, sizeof utf8, nullptr, nullptr);
    EXPECT_EQ(Cp1251ToUtf8(std::string(1, one)), std::string(utf8, static_cast<std::size_t>(m)))
        << b;
  }
}
#endif

TEST(Text1251, RussianTextBothWays) {
  const std::string cp1251 = "\xC7\xE0\xEF\xF3\xF1\xF2\xE8\xF2\xFC \xB8\xA8 \xB9 1";
  const std::string utf8 = "Запустить ёЁ № 1";
  EXPECT_EQ(Cp1251ToUtf8(cp1251), utf8);
  EXPECT_EQ(Utf8ToCp1251(utf8), cp1251);
  EXPECT_EQ(Cp1251ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Text1251, UnmappableAndMalformedUtf8BecomeQuestionMarks) {
  struct Case {
    const char* what;
    std::string utf8;
    std::string expected;
  };
  const Case cases[] = {
      {"euro sign has a byte", "\xE2\x82\xAC", "\x88"},
      {"CJK character",
       "a\xE4\xB8\xAD"
       "b",
       "a?b"},
      {"four-byte character", "\xF0\x9F\x98\x80", "?"},
      {"replacement character", "\xEF\xBF\xBD", "?"},
      {"stray continuation byte",
       "a\x80"
       "b",
       "a?b"},
      {"overlong slash", "\xC0\xAF", "??"},
      {"overlong three-byte", "\xE0\x80\xAF", "???"},
      {"surrogate", "\xED\xA0\x80", "???"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", "????"},
      {"cut at the end", "a\xD0", "a?"},
      {"cut before an ASCII byte",
       "\xD0"
       "a",
       "?a"},
      {"invalid lead byte", "\xFF\xFE", "??"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToCp1251(c.utf8), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace kestrel
