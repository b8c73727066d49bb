#include "receiver/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

ByteView View(const std::string& s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// Feeds the chunks in order and returns the lines handed over.
std::vector<std::string> Assemble(LineAssembler& a, const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  for (const auto& chunk : chunks) {
    a.Feed(View(chunk), [&](ByteView line) { lines.emplace_back(line.begin(), line.end()); });
  }
  return lines;
}

const std::string kLine = "0A1B2C0384\r\n";

struct AssembleCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> lines;
  std::int32_t indexAfter;
};

const std::vector<AssembleCase>& Cases() {
  static const std::vector<AssembleCase> cases = {
      {"OneLine", {kLine}, {kLine}, 1},
      {"SplitFiveFiveTwo", {"0A1B2", "C0384", "\r\n"}, {kLine}, 1},
      {"SplitByteByByte",
       {"0", "A", "1", "B", "2", "C", "0", "3", "8", "4", "\r", "\n"},
       {kLine},
       1},
      {"TwoLinesInOrder", {kLine + "FFFFFF0000x\n"}, {kLine, "FFFFFF0000x\n"}, 1},
      {"ElevenBytesDropped", {"0A1B2C0384\n", kLine}, {kLine}, 1},
      {"ThirteenBytesDropped", {"0A1B2C0384\r\r\n", kLine}, {kLine}, 1},
      {"LoneLineFeeds", {"\n\n", kLine, "\n"}, {kLine}, 1},
      {"AnyByteAtPositionEleven",
       {std::string("0A1B2C0384") + '\0' + "\n", "0A1B2C0384 \n"},
       {std::string("0A1B2C0384") + '\0' + "\n", "0A1B2C0384 \n"},
       1},
      {"BadHexIsStillALine", {"G0000000000\n"}, {"G0000000000\n"}, 1},
      {"PartialLineWaits", {kLine, "0A1B"}, {kLine}, 5},
      {"OverlongLineDroppedAtItsLineFeed", {std::string(5000, 'A'), "\n", kLine}, {kLine}, 1},
      {"LineBufferFullStopsCounting", {std::string(3000, 'A')}, {}, 2049},
      {"ExactlyFullBufferThenLineFeed", {std::string(2047, 'A') + "\n", kLine}, {kLine}, 1},
  };
  return cases;
}

class LineAssemblerTest : public ::testing::TestWithParam<AssembleCase> {};

TEST_P(LineAssemblerTest, HandsOverTwelveByteLines) {
  LineAssembler a;
  EXPECT_EQ(Assemble(a, GetParam().chunks), GetParam().lines);
  EXPECT_EQ(a.LineIndex(), GetParam().indexAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, LineAssemblerTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineAssemblerResetTest, PartialLineJoinsTheNextUnlessReset) {
  LineAssembler kept;
  EXPECT_TRUE(Assemble(kept, {"0A1B2C", kLine}).empty());

  LineAssembler reset;
  Assemble(reset, {"0A1B2C"});
  reset.Reset();
  EXPECT_EQ(reset.LineIndex(), 1);
  EXPECT_EQ(Assemble(reset, {kLine}), std::vector<std::string>{kLine});
}

TEST(LineAssemblerResetTest, FailingHandlerLeavesAFreshLine) {
  LineAssembler a;
  EXPECT_THROW(a.Feed(View(kLine), [](ByteView) { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_EQ(a.LineIndex(), 1);
  EXPECT_EQ(Assemble(a, {kLine}), std::vector<std::string>{kLine});
}

}  // namespace
}  // namespace kestrel
