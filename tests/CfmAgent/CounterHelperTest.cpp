// Counting one frame: classes by identifier, the provisional `in` and its move, clears in
// between, and the callers' invariants.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CfmAgent/CounterHelper.h"
#include "PduTestUtil.h"

namespace {

using CfmAgent::CounterClass;
using CfmAgent::CounterId;
using Cfm::MdLevel;
using Lumen::IntfId;

const IntfId et1("Ethernet1");
const MdLevel none;  // level 8: before the header is accepted

// Every named identifier reads back from its name, and its class is the one its number
// range gives: an in-error counted as debug would let a frame be dropped with no reason.
TEST(CounterId, NamesRoundTripAndClassesFollowTheNumber) {
  int named = 0;
  for (std::uint32_t n = 0; n < 64; ++n) {
    const CounterId id{n};
    const std::string name = CfmAgent::stringValue(id);
    if (name == std::to_string(n)) continue;
    ++named;
    EXPECT_EQ(CfmAgent::counterIdFromString(name), id) << name;
    const CounterClass c = n == 0 ? CounterClass::counterClassIn_
                           : n <= 27 ? CounterClass::counterClassInError_
                           : n == 28 ? CounterClass::counterClassOut_
                           : n == 29 ? CounterClass::counterClassOutError_
                                     : CounterClass::counterClassDebug_;
    EXPECT_EQ(CfmAgent::CounterHelper::counterClass(id), c) << name;
  }
  EXPECT_EQ(named, 34);
}

class CounterHelperTest : public ::testing::Test {
 protected:
  std::uint64_t count(MdLevel level, Cfm::OpCode op, CounterId id) const {
    auto intf = helper->counter()->intfCounter(et1);
    auto md = intf ? intf->mdCounter(level) : nullptr;
    auto opc = md ? md->opCodeCounter(op) : nullptr;
    return opc ? opc->counter(id) : 0;
  }
  Kiln::Ptr<CfmAgent::PktCounterHelper> frame() { return CfmAgent::pktCounterHelperFactory(helper); }

  Kiln::Ptr<CfmAgent::CounterHelper> helper = CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>());
};

TEST_F(CounterHelperTest, ClearBetweenTheTwoInCountsTakesNothingBack) {
  auto early = frame();
  early->incrCounter(et1, none, Cfm::opCodeNone, CounterId::in_);
  // A clear deletes the counts and moves the version on; a later frame counts afresh.
  helper->counter()->intfCounterDelAll();
  helper->invalidMdOpCodeInCounterIdClearVersionInc();
  auto late = frame();
  late->incrCounter(et1, none, Cfm::opCodeNone, CounterId::in_);

  early->incrCounter(et1, MdLevel(3), Cfm::opCodeLbm, CounterId::in_);
  EXPECT_EQ(count(none, Cfm::opCodeNone, CounterId::in_), 1u);  // the late frame's
  EXPECT_EQ(count(MdLevel(3), Cfm::opCodeLbm, CounterId::in_), 1u);
  late->incrCounter(et1, MdLevel(3), Cfm::opCodeLbm, CounterId::in_);
  EXPECT_EQ(count(none, Cfm::opCodeNone, CounterId::in_), 0u);
  EXPECT_EQ(count(MdLevel(3), Cfm::opCodeLbm, CounterId::in_), 2u);
}

// A frame's counts in the order the callers keep, and each way of breaking that order.
TEST_F(CounterHelperTest, CallerInvariantsAreAssertions) {
  struct Step { MdLevel level; Cfm::OpCode op; CounterId id; };
  const Step in{none, Cfm::opCodeNone, CounterId::in_}, lbm{MdLevel(5), Cfm::opCodeLbm, CounterId::in_},
      lbr{MdLevel(5), Cfm::opCodeLbr, CounterId::out_};
  const std::pair<std::vector<Step>, const char*> rows[] = {  // the last step fails, unless ""
      // A debug count on the way changes nothing of the order: the reply still counts out.
      {{in, lbm, {MdLevel(5), Cfm::opCodeLbm, CounterId::debugUnsupportedMdNameFormat_}, lbr}, ""},
      {{in, {none, Cfm::opCodeNone, CounterId::out_}, {none, Cfm::opCodeNone, CounterId::inErrorEthHdrTooShort_}},
       "counterClass > incrCounterCounterClass( lastIncrCounterId() )"},
      // A frame is counted out or out-error, never both.
      {{in, lbm, lbr, {MdLevel(5), Cfm::opCodeLbr, CounterId::outErrorNoPam_}},
       "counterClass > incrCounterCounterClass( lastIncrCounterId() )"},
      {{in, {none, Cfm::opCodeCcm, CounterId::in_}}, "!!mdLevel && opCode"},
      {{in, lbm, lbm}, "inCounterIdIncrCount() <= 1"},
      {{in, {none, Cfm::opCodeNone, CounterId::inErrorNoMpAtMdLevel_}, lbm}, "lastIncrCounterId() == CounterId::in_"},
      {{{MdLevel(2), Cfm::opCodeNone, CounterId::in_}}, "!mdLevel"},
      {{{none, Cfm::opCodeLtm, CounterId::in_}}, "!opCode"},
  };
  for (const auto& [steps, assertion] : rows) {
    SCOPED_TRACE(assertion);
    helper->counter()->intfCounterDelAll();
    auto f = frame();
    EXPECT_EQ(PduTest::assertionText([&] {
                for (const Step& s : steps) f->incrCounter(et1, s.level, s.op, s.id);
              }),
              assertion);
    if (*assertion) continue;
    EXPECT_EQ(count(none, Cfm::opCodeNone, CounterId::in_), 0u);  // moved to its level and opcode
    EXPECT_EQ(count(MdLevel(5), Cfm::opCodeLbm, CounterId::in_), 1u);
    EXPECT_EQ(count(MdLevel(5), Cfm::opCodeLbr, CounterId::out_), 1u);
  }
}

}  // namespace
