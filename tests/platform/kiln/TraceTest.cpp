#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kiln/Blipline.h"
#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"

namespace {

struct Line {
  std::string handle;
  unsigned level;
  std::string text;
  bool operator==(const Line&) const = default;
};

// Captures trace lines and restores the process-wide trace state afterwards.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = Kiln::traceSinkIs([this](const Kiln::TraceHandle& h, unsigned level,
                                         std::string_view text) {
      lines.push_back({h.name(), level, std::string(text)});
    });
  }
  void TearDown() override {
    Kiln::traceSettingIs("");
    Kiln::traceSinkIs(previous_);
  }
  std::vector<Line> lines;

 private:
  Kiln::TraceSink previous_;
};

TEST_F(TraceTest, TextIsBuiltOnlyWhenTheLevelIsOn) {
  Kiln::traceSettingIs("TestLazy/5");
  auto& handle = Kiln::traceHandle("TestLazy");
  int evaluated = 0;
  auto expensive = [&] {
    ++evaluated;
    return "x";
  };
  KILN_TRACE(handle, 8, "entry " << expensive());
  EXPECT_EQ(evaluated, 0);
  KILN_TRACE(handle, 5, "PktId: " << 7 << " Expr: " << expensive());
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(lines, (std::vector<Line>{{"TestLazy", 5, "PktId: 7 Expr: x"}}));
}

TEST_F(TraceTest, SettingMatchesNamesAndPrefixesLaterItemsWin) {
  auto& early = Kiln::traceHandle("TestCfmEarly");
  Kiln::traceSettingIs("TestCfm*/5 TestCfmPam/0-2,8;TestOther/9");
  auto& late = Kiln::traceHandle("TestCfmLate");  // made after the setting
  auto& pam = Kiln::traceHandle("TestCfmPam");
  auto& other = Kiln::traceHandle("TestOtherX");

  EXPECT_EQ(early.levels(), 1u << 5);
  EXPECT_EQ(late.levels(), 1u << 5);
  EXPECT_EQ(pam.levels(), (1u << 0) | (1u << 1) | (1u << 2) | (1u << 8));
  EXPECT_EQ(other.levels(), 0u);  // "TestOther" is a name, not a prefix
  EXPECT_FALSE(early.enabled(10));

  Kiln::traceSettingIs("");
  EXPECT_EQ(pam.levels(), 0u);
}

TEST_F(TraceTest, MalformedSettingIsRefusedAndChangesNothing) {
  Kiln::traceSettingIs("TestKeep/3");
  auto& handle = Kiln::traceHandle("TestKeep");
  for (const char* bad : {"TestKeep", "TestKeep/", "TestKeep/10", "TestKeep/5-3", "/5",
                          "TestKeep/a", "TestKeep/1,,2"}) {
    EXPECT_THROW(Kiln::traceSettingIs(bad), Kiln::RangeException) << bad;
    EXPECT_EQ(handle.levels(), 1u << 3) << bad;
  }
}

TEST_F(TraceTest, HandlesAreOnePerName) {
  EXPECT_EQ(&Kiln::traceHandle("TestSame"), &Kiln::traceHandle(std::string("TestSame")));
}

namespace BlipTest {
void handleMdConfig(int) { BLIPLINE_BLIP(); }
}  // namespace BlipTest

TEST(Blipline, RecordsSignatureFileAndLineAndKeepsTheNewest) {
  Blipline::ring().clear();
  BlipTest::handleMdConfig(1);
  auto blips = Blipline::ring().blips();
  ASSERT_EQ(blips.size(), 1u);
  EXPECT_STREQ(blips[0].signature, "void {anonymous}::BlipTest::handleMdConfig(int)");
  EXPECT_EQ(blips[0].fileStem(), "TraceTest");
  EXPECT_GT(blips[0].line, 0);

  for (std::size_t i = 0; i < Blipline::Ring::capacity + 5; ++i) {
    Blipline::ring().blip("sig", "f.cpp", static_cast<int>(i));
  }
  blips = Blipline::ring().blips();
  ASSERT_EQ(blips.size(), Blipline::Ring::capacity);
  EXPECT_EQ(blips.front().line, 5);  // the first blip and lines 0-4 were overwritten
  EXPECT_EQ(blips.back().line, static_cast<int>(Blipline::Ring::capacity + 4));
}

}  // namespace
