#pragma once
// Notification scripts: each step does one thing and lists exactly the notifications it
// must cause, in the words the recorders log them.

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace CfmTypesTest {

using Log = std::vector<std::string>;

struct Step {
  std::string what;
  std::function<void()> act;
  Log expected;
};

inline void runScript(Log& log, const std::vector<Step>& steps) {
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    log.clear();
    step.act();
    EXPECT_EQ(log, step.expected);
  }
}

template <class... Parts>
std::string text(const Parts&... parts) {
  std::ostringstream os;
  ((os << parts), ...);
  return os.str();
}

}  // namespace CfmTypesTest
