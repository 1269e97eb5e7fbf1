#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"

namespace {

TEST(Trace, SettingPicksHandlesByNameOrPrefixAndTextIsBuiltOnlyWhenOn) {
  std::vector<std::string> lines;
  auto previous = Kiln::traceSinkIs([&](const Kiln::TraceHandle&, unsigned, std::string_view text) {
    lines.emplace_back(text);
  });
  auto& early = Kiln::traceHandle("TestCfmEarly");
  Kiln::traceSettingIs("TestCfm*/5 TestCfmPam/0-2,8;TestOther/9");
  auto& late = Kiln::traceHandle("TestCfmLate");  // made after the setting
  auto& pam = Kiln::traceHandle("TestCfmPam");
  EXPECT_EQ(early.levels(), 1u << 5);
  EXPECT_EQ(pam.levels(), 0b1'0000'0111u);  // later items win
  EXPECT_EQ(Kiln::traceHandle("TestOtherX").levels(), 0u);  // a name, not a prefix
  int evaluated = 0;
  auto expensive = [&] { return ++evaluated, "x"; };
  KILN_TRACE(late, 8, "entry " << expensive());
  KILN_TRACE(late, 5, "PktId: " << 7 << " Expr: " << expensive());
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(lines, std::vector<std::string>{"PktId: 7 Expr: x"});
  // A malformed setting is refused whole.
  for (const char* bad : {"TestCfm*/5 TestCfmPam", "TestCfmPam/", "TestCfmPam/10",
                          "TestCfmPam/5-3", "/5", "TestCfmPam/a", "TestCfmPam/1,,2"}) {
    EXPECT_THROW(Kiln::traceSettingIs(bad), Kiln::RangeException) << bad;
    EXPECT_EQ(pam.levels(), 0b1'0000'0111u) << bad;
  }
  Kiln::traceSettingIs("");
  EXPECT_EQ(early.levels(), 0u);
  Kiln::traceSinkIs(previous);
}

}  // namespace
