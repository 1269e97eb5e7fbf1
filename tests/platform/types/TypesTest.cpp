#include <gtest/gtest.h>

#include "platform/types/CfmConfig.h"
#include "platform/types/CfmCounters.h"
#include "tests/support/AllocationCounter.h"

namespace {

using namespace CfmAgent;
using Cfm::MaName, Cfm::MdLevel, Cfm::MepId;

TEST(CfmTypes, GroupAddressesDecodeToLevelAndOpCode) {
  struct Case { Lumen::EthAddr addr; std::uint8_t level; Cfm::OpCode op; };
  const Case cases[] = {
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x30}, 0, Cfm::opCodeCcm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x38}, 0, Cfm::opCodeLtm},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x3f}, 7, Cfm::opCodeLtm},
      // Neighbours of the two blocks, and the block's first byte under other prefixes.
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x2f}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc2, 0x00, 0x00, 0x40}, 8, Cfm::opCodeNone},
      {{0x01, 0x80, 0xc3, 0x00, 0x00, 0x30}, 8, Cfm::opCodeNone},
      {{0x00, 0x80, 0xc2, 0x00, 0x00, 0x30}, 8, Cfm::opCodeNone},
  };
  for (const Case& c : cases) {
    const Cfm::CfmMulticastEthAddr decoded(c.addr);
    EXPECT_EQ(std::pair(decoded.mdLevel().value(), decoded.opCode()), std::pair(c.level, c.op)) << c.addr;
  }
}

// Nearest by ratio; no interval configured is the shortest.
TEST(CfmTypes, IntervalCodeIsTheNearestPeriodByRatio) {
  const std::pair<double, int> cases[] = {{0.001, 1}, {1.0 / 300, 1}, {0.01, 2}, {0.3, 3}, {0.32, 4},
                                          {2.5, 4},   {3, 4},         {3.2, 5},  {60, 6},  {3600, 7},
                                          {1e6, 7},   {0, 1},         {-1, 1}};
  for (const auto& [seconds, code] : cases) {
    EXPECT_EQ(Cfm::ccmIntervalCode(Cfm::CcmTxInterval(seconds)), code) << seconds;
  }
}

// Associations naming no existing profile follow it: one object for the Config's life,
// outside the collection, so a profile the operator names "default" is another one.
TEST(CfmProfile, DefaultProfileSendsCcmsOnceASecondAndIsNoMemberOfTheCollection) {
  auto config = Kiln::make<Config>();
  auto profile = config->defaultCfmProfile();
  EXPECT_TRUE(profile->ccmEnable());
  EXPECT_EQ(profile->ccmTxInterval(), Cfm::CcmTxInterval(1.0));
  EXPECT_NE(config->cfmProfileIs(profile->cfmProfileName()), profile);
  config->cfmProfileDel(profile->cfmProfileName());
  EXPECT_EQ(config->defaultCfmProfile(), profile);
}

// Counting walks the tree once per frame: only the first count of a key may allocate.
TEST(Counter, CountingIntoExistingEntriesAllocatesNothing) {
  auto root = Kiln::make<Counter>();
  auto count = [&] {
    root->intfCounterIs(Lumen::IntfId("Et1"))->mdCounterIs(MdLevel(3))->opCodeCounterIs(Cfm::opCodeLbm)->counterInc(
        CounterId::out_, 1);
  };
  count();
  const std::size_t before = testAllocations;
  for (int i = 0; i < 100; ++i) count();
  EXPECT_EQ(testAllocations, before);
  auto et1 = root->intfCounter(Lumen::IntfId("Ethernet1"));
  EXPECT_EQ(et1->mdCounter(MdLevel(3))->opCodeCounter(Cfm::opCodeLbm)->counter(CounterId::out_), 101u);
}

}  // namespace
