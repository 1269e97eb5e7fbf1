// docs/counters.md's table of every counter against the agent's one list of counters: the
// page an operator reads when a counter grows must name what the agent counts.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <utility>

#include "CfmAgent/CounterHelper.h"

namespace {

using CfmAgent::CounterClass;
using CfmAgent::CounterId;

// One row per number up to the last identifier: its name and class, "—" for a number
// without a name; no row beyond.
TEST(CountersDoc, EveryCounterWithItsNumberNameAndClass) {
  std::ifstream doc(CFM_COUNTERS_DOC);
  ASSERT_TRUE(doc) << CFM_COUNTERS_DOC;
  const std::regex row(R"(^\| (\d+) \| `?([^`|]*?)`? \| ([^|]*?) \|)");
  std::map<std::size_t, std::pair<std::string, std::string>> documented;
  bool inTable = false;
  for (std::string line; std::getline(doc, line);) {
    if (line.starts_with("## ")) inTable = line == "## Every counter";
    if (std::smatch m; inTable && std::regex_search(line, m, row)) documented[std::stoul(m[1])] = {m[2], m[3]};
  }
  const std::map<CounterClass, std::string> classes = {{CounterClass::counterClassIn_, "in"},
                                                       {CounterClass::counterClassInError_, "in-error"},
                                                       {CounterClass::counterClassOut_, "out"},
                                                       {CounterClass::counterClassOutError_, "out-error"},
                                                       {CounterClass::counterClassDebug_, "debug"}};
  for (std::size_t number = 0; number < CfmAgent::counterIdSlots; ++number) {
    const auto id = CounterId(number);
    const bool named = CfmAgent::counterIdFromString(stringValue(id)).has_value();
    const auto expected = named ? std::pair(stringValue(id), classes.at(CfmAgent::counterClass(id)))
                                : std::pair<std::string, std::string>("—", "—");
    EXPECT_EQ(documented[number], expected) << "counter " << number;
  }
  EXPECT_EQ(documented.size(), CfmAgent::counterIdSlots);
}

}  // namespace
