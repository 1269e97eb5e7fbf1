#include <gtest/gtest.h>

#include <functional>

#include "platform/types/CcmDb.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmCounters.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/ErrorText.h"

namespace {

using namespace CfmAgent;
using namespace TestSupport;
using Cfm::MaName, Cfm::MdLevel, Cfm::MepId;

TEST(CfmTypes, RangedValuesRefuseWhatIsPastTheirBounds) {
  const std::string mepId = "MepId::value < MepId::min or > MepId::max not allowed";
  EXPECT_EQ(errorOf([] { MdLevel{8}; }), "");  // the invalid level is a value of its own
  // A wider integer is refused, not narrowed into range (256 would read as level 0).
  for (const long long level : {9LL, 256LL, -1LL}) {
    EXPECT_EQ(errorOf([=] { MdLevel{level}; }), "MdLevel::value < MdLevel::min or > MdLevel::invalid not allowed");
  }
  EXPECT_EQ(errorOf([] { MepId{1}; }) + errorOf([] { MepId{8191}; }), "");
  for (const std::uint16_t id : {0, 8192}) EXPECT_EQ(errorOf([=] { MepId{id}; }), mepId) << id;
  EXPECT_EQ(errorOf([] { MaName{std::string(45, 'a')}; }) + errorOf([] { Cfm::MdName{std::string(43, 'd')}; }), "");
  EXPECT_EQ(errorOf([] { MaName{std::string(46, 'a')}; }), "MaName::bytes > 45 not allowed");
  EXPECT_EQ(errorOf([] { Cfm::MdName{std::string(44, 'd')}; }), "MdName::bytes > 43 not allowed");
  // Names are bytes: a NUL inside is kept, not a terminator.
  EXPECT_EQ(MaName(std::string("a\0b", 3)).stringValue().size(), 3u);
}

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

// The entry counts the receiver holds its limits against follow every way an entry comes and
// goes, at any depth; a member let go, or made on its own, counts into no database.
TEST(CcmDatabases, EntryCountsFollowEveryAdditionAndDeletion) {
  auto mip = Kiln::make<MipCcmDb>();
  auto ccm = Kiln::make<CcmDb>();
  const Lumen::EthAddr a(2, 0, 0, 0, 0, 0xa), b(2, 0, 0, 0, 0, 0xb);
  const Lumen::IntfId et1("Ethernet1");
  auto vlan10 = mip->vlanIs(Lumen::VlanId(10));
  auto md3 = ccm->ccmMdIs(MdLevel(3));
  auto ma = md3->ccmMaIs(MaName("x"));
  using Counts = std::pair<std::size_t, std::size_t>;  // MIP CCM entries, MEPs
  const std::vector<std::pair<std::function<void()>, Counts>> steps = {
      {[&] { vlan10->entryIs(a, et1), vlan10->entryIs(b, et1), mip->vlanIs(Lumen::VlanId(20))->entryIs(a, et1); }, {3, 0}},
      {[&] { vlan10->entryIs(a, Lumen::IntfId("Ethernet2")); }, {3, 0}},  // moved, not added
      {[&] { vlan10->entryDel(a), vlan10->entryDel(a); }, {2, 0}},
      {[&] { mip->vlanDel(Lumen::VlanId(10)), vlan10->entryIs(a, et1); }, {1, 0}},
      {[&] { ma->ccmMepInfoIs(MepId(1)), ma->ccmMepInfoIs(MepId(1)), ma->ccmMepInfoIs(MepId(2)); }, {1, 2}},
      {[&] { md3->ccmMaIs(MaName("y"))->ccmMepInfoIs(MepId(1)), ccm->ccmMdIs(MdLevel(4))->ccmMaIs(MaName("x"))->ccmMepInfoIs(MepId(1)); }, {1, 4}},
      {[&] { ma->ccmMepInfoDel(MepId(2)), ma->ccmMepInfoDel(MepId(2)); }, {1, 3}},
      {[&] { md3->ccmMaDel(MaName("y")); }, {1, 2}},
      {[&] { ccm->ccmMdDel(MdLevel(3)), ma->ccmMepInfoIs(MepId(9)); }, {1, 1}},
      {[&] { Kiln::make<CcmMa>(MaName("z"))->ccmMepInfoIs(MepId(1)); }, {1, 1}},
      {[&] { ccm->ccmMdDelAll(), mip->vlanDelAll(); }, {0, 0}},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    EXPECT_EQ(Counts(mip->entryCount(), ccm->entryCount()), steps[i].second) << "step " << i;
  }
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
