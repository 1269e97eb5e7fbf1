#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CfmAgent/CounterHelper.h"
#include "platform/kiln/Errors.h"

namespace {

using CfmAgent::CounterClass;
using CfmAgent::CounterId;
using Cfm::MdLevel;
using Lumen::IntfId;

const IntfId et1("Ethernet1");
const MdLevel none;  // level 8: before the header is accepted

class CounterHelperTest : public ::testing::Test {
 protected:
  std::uint64_t count(MdLevel level, Cfm::OpCode op, CounterId id) const {
    auto intf = helper->counter()->intfCounter(et1);
    auto md = intf ? intf->mdCounter(level) : nullptr;
    auto opc = md ? md->opCodeCounter(op) : nullptr;
    return opc ? opc->counter(id) : 0;
  }
  Kiln::Ptr<CfmAgent::PktCounterHelper> frame() { return CfmAgent::pktCounterHelperFactory(helper); }

  Kiln::Ptr<CfmAgent::CounterHelper> helper =
      CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>());
};

TEST(CounterClass, FollowsTheIdentifierNumber) {
  struct Row {
    std::uint32_t id;
    CounterClass counterClass;
    CounterClass orderClass;
  };
  const Row rows[] = {
      {0, CounterClass::counterClassIn_, CounterClass::counterClassIn_},
      {1, CounterClass::counterClassInError_, CounterClass::counterClassInError_},
      {27, CounterClass::counterClassInError_, CounterClass::counterClassInError_},
      {28, CounterClass::counterClassOut_, CounterClass::counterClassOut_},
      {29, CounterClass::counterClassOutError_, CounterClass::counterClassOut_},
      {30, CounterClass::counterClassDebug_, CounterClass::counterClassDebug_},
      {34, CounterClass::counterClassDebug_, CounterClass::counterClassDebug_},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(CfmAgent::CounterHelper::counterClass(CounterId(r.id)), r.counterClass) << r.id;
    EXPECT_EQ(CfmAgent::PktCounterHelper::incrCounterCounterClass(CounterId(r.id)), r.orderClass)
        << r.id;
  }
}

TEST_F(CounterHelperTest, AcceptedFrameMovesItsProvisionalIn) {
  auto f = frame();
  f->incrCounter(et1, none, Cfm::opCodeNone, CounterId::in_);
  EXPECT_EQ(count(none, Cfm::opCodeNone, CounterId::in_), 1u);
  f->incrCounter(et1, MdLevel(5), Cfm::opCodeCcm, CounterId::in_);
  EXPECT_EQ(count(none, Cfm::opCodeNone, CounterId::in_), 0u);
  EXPECT_EQ(count(MdLevel(5), Cfm::opCodeCcm, CounterId::in_), 1u);
  // A debug count on the way changes nothing of the order; the reply counts out after it.
  f->incrCounter(et1, MdLevel(5), Cfm::opCodeCcm, CounterId::debugUnsupportedMdNameFormat_);
  EXPECT_EQ(f->lastIncrCounterId(), CounterId::in_);
  f->incrCounter(et1, MdLevel(5), Cfm::opCodeLbr, CounterId::out_);
  EXPECT_EQ(count(MdLevel(5), Cfm::opCodeLbr, CounterId::out_), 1u);
}

TEST_F(CounterHelperTest, DroppedFrameKeepsItsInAtNoLevel) {
  auto f = frame();
  f->incrCounter(et1, none, Cfm::opCodeNone, CounterId::in_);
  f->incrCounter(et1, none, Cfm::opCodeNone, CounterId::inErrorEthHdrTooShort_);
  EXPECT_EQ(count(none, Cfm::opCodeNone, CounterId::in_), 1u);
  EXPECT_EQ(count(none, Cfm::opCodeNone, CounterId::inErrorEthHdrTooShort_), 1u);
}

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

TEST_F(CounterHelperTest, BrokenCallerInvariantsAreAssertions) {
  Kiln::ThrowingAssertionScope scope;
  struct Step {
    MdLevel level;
    Cfm::OpCode op;
    CounterId id;
  };
  struct Case {
    std::vector<Step> steps;  // the last one fails
    const char* assertion;
  };
  const Case cases[] = {
      {{{none, Cfm::opCodeNone, CounterId::in_},
        {none, Cfm::opCodeNone, CounterId::out_},
        {none, Cfm::opCodeNone, CounterId::inErrorEthHdrTooShort_}},
       "counterClass > incrCounterCounterClass( lastIncrCounterId() )"},
      {{{none, Cfm::opCodeNone, CounterId::in_}, {none, Cfm::opCodeCcm, CounterId::in_}},
       "!!mdLevel && opCode"},
      {{{none, Cfm::opCodeNone, CounterId::in_},
        {MdLevel(1), Cfm::opCodeCcm, CounterId::in_},
        {MdLevel(1), Cfm::opCodeCcm, CounterId::in_}},
       "inCounterIdIncrCount() <= 1"},
      {{{none, Cfm::opCodeNone, CounterId::in_},
        {none, Cfm::opCodeNone, CounterId::inErrorNoMpAtMdLevel_},
        {MdLevel(1), Cfm::opCodeCcm, CounterId::in_}},
       "lastIncrCounterId() == CounterId::in_"},
      {{{MdLevel(2), Cfm::opCodeNone, CounterId::in_}}, "!mdLevel"},
      {{{none, Cfm::opCodeLtm, CounterId::in_}}, "!opCode"},
  };
  for (const Case& c : cases) {
    auto f = frame();
    try {
      for (const Step& s : c.steps) f->incrCounter(et1, s.level, s.op, s.id);
      ADD_FAILURE() << "no assertion for " << c.assertion;
    } catch (const Kiln::AssertionFailure& e) {
      EXPECT_STREQ(e.what(), c.assertion);
    }
  }
}

}  // namespace
