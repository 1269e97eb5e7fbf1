#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types/CfmAgentTypes.h"
#include "tests/platform/AllocationCounter.h"
#include "tests/support/Recorders.h"

namespace {

using namespace CfmAgent;
using Cfm::MaName;
using Cfm::MdLevel;
using Cfm::MepId;
using TestSupport::Log;
using TestSupport::Step;

// One script over the whole tree with every level watched: a change is reported once, by
// its own entity only, and creating or deleting a member is reported by its owner.
TEST(Config, EveryLevelNotifiesItsOwnRealChangesOnly) {
  Log log;
  auto config = Kiln::make<Config>();
  TestSupport::ConfigRecorder configRecorder(config, log);
  auto md = config->mdConfigIs(MdLevel(4));
  TestSupport::MdConfigRecorder mdRecorder(md, log);
  auto ma = md->maConfigIs(MaName("key"));
  TestSupport::MaConfigRecorder maRecorder(ma, log);
  auto mep = ma->localMepConfigIs(MepId(1));
  TestSupport::LocalMepConfigRecorder mepRecorder(mep, log);
  const Cfm::CfmProfileName gold("gold");
  const Cfm::MdNameWithFormat mdName{Cfm::MdName("dom"), Cfm::mdNameFormatCharacterString};
  const Cfm::MdNameWithFormat otherFormat{Cfm::MdName("dom"), Cfm::mdNameFormatNone};
  const Cfm::MaNameWithFormat maName{MaName("wire"), Cfm::maNameFormatCharacterString};
  const Bridging::VlanIdOrNone vlan10(10), noVlan(0);
  const MepId remote(2);

  TestSupport::runScript(log, std::vector<Step>{
      {"found level", [&] { EXPECT_EQ(config->mdConfigIs(MdLevel(4)), md); }, {}},
      {"new level", [&] { config->mdConfigIs(MdLevel(6)); }, {"mdConfig 6 present"}},
      {"delete level", [&] { config->mdConfigDel(MdLevel(6)); }, {"mdConfig 6 absent"}},
      {"delete absent level", [&] { config->mdConfigDel(MdLevel(6)); }, {}},
      {"new profile", [&] { config->cfmProfileIs(gold); }, {"cfmProfile gold present"}},
      {"delete profile", [&] { config->cfmProfileDel(gold); }, {"cfmProfile gold absent"}},
      {"mdName", [&] { md->mdNameIs(mdName); }, {"mdName dom (mdNameFormatCharacterString)"}},
      {"same mdName", [&] { md->mdNameIs(mdName); }, {}},
      {"format only", [&] { md->mdNameIs(otherFormat); }, {"mdName dom (mdNameFormatNone)"}},
      {"defaultMip", [&] { md->defaultMipIs(true); }, {"defaultMip 1"}},
      {"same defaultMip", [&] { md->defaultMipIs(true); }, {}},
      {"new association", [&] { md->maConfigIs(MaName("b")); }, {"maConfig b present"}},
      {"delete association", [&] { md->maConfigDel(MaName("b")); }, {"maConfig b absent"}},
      {"maName", [&] { ma->maNameIs(maName); }, {"maName wire (maNameFormatCharacterString)"}},
      {"direction", [&] { ma->directionIs(Cfm::mepDirectionUp); }, {"direction mepDirectionUp"}},
      {"vlan", [&] { ma->primaryVlanIdIs(vlan10); }, {"primaryVlanId 10"}},
      {"same vlan", [&] { ma->primaryVlanIdIs(vlan10); }, {}},
      {"no vlan", [&] { ma->primaryVlanIdIs(noVlan); }, {"primaryVlanId 0"}},
      {"profile name", [&] { ma->cfmProfileNameIs(gold); }, {"cfmProfileName gold"}},
      {"new mep", [&] { ma->localMepConfigIs(MepId(7)); }, {"localMepConfig 7 present"}},
      {"found mep", [&] { EXPECT_EQ(ma->localMepConfigIs(MepId(1)), mep); }, {}},
      {"delete mep", [&] { ma->localMepConfigDel(MepId(7)); }, {"localMepConfig 7 absent"}},
      {"interface", [&] { mep->intfIdIs(Lumen::IntfId("Et1")); }, {"intfId Ethernet1"}},
      {"same interface spelled out", [&] { mep->intfIdIs(Lumen::IntfId("Ethernet1")); }, {}},
      {"new remote", [&] { mep->remoteMepConfigIs(remote, true); }, {"remoteMepConfig 2 true"}},
      {"same remote", [&] { mep->remoteMepConfigIs(remote, true); }, {}},
      {"remote off", [&] { mep->remoteMepConfigIs(remote, false); }, {"remoteMepConfig 2 false"}},
      {"delete remote", [&] { mep->remoteMepConfigDel(remote); }, {"remoteMepConfig 2 absent"}},
      {"delete absent remote", [&] { mep->remoteMepConfigDel(remote); }, {}},
  });
  EXPECT_EQ(mep->parent(), ma.get());
}

// Associations naming no existing profile follow this one: CCMs on, once a second.
TEST(CfmProfile, DefaultProfileIsOneWatchableObjectOutsideTheCollection) {
  Log log;
  auto config = Kiln::make<Config>();
  auto profile = config->defaultCfmProfile();
  EXPECT_NE(config->cfmProfileIs(profile->cfmProfileName()), profile);
  TestSupport::CfmProfileRecorder recorder(profile, log);
  TestSupport::runScript(log, std::vector<Step>{
      {"enable", [&] { profile->ccmEnableIs(true); }, {}},
      {"disable", [&] { profile->ccmEnableIs(false); }, {"ccmEnable 0"}},
      {"interval", [&] { profile->ccmTxIntervalIs(Cfm::CcmTxInterval(1.0)); }, {}},
      {"faster", [&] { profile->ccmTxIntervalIs(Cfm::CcmTxInterval(0.1)); }, {"ccmTxInterval 0.1"}},
  });
  EXPECT_EQ(config->defaultCfmProfile(), profile);
}

// Each named value survives the round trip through its name; unnamed ones print as their
// number, which parses as no name.
TEST(CounterId, NamedValuesRoundTripAndUnnamedOnesPrintAsNumbers) {
  int named = 0;
  for (std::uint32_t value = 0; value < 40; ++value) {
    const std::string name = TestSupport::text(CounterId(value));
    const bool unnamed = name == std::to_string(value);
    named += !unnamed;
    EXPECT_EQ(counterIdFromString(name), unnamed ? std::nullopt : std::optional(CounterId(value)))
        << name;
  }
  EXPECT_EQ(named, 34);
  EXPECT_FALSE(counterIdFromString("in_"));
}

// Counting walks the tree once per frame: only the first count of a key may allocate.
TEST(Counter, CountingIntoExistingEntriesAllocatesNothing) {
  auto root = Kiln::make<Counter>();
  const Lumen::IntfId intf("Et1");
  auto count = [&](MdLevel level, Cfm::OpCode op) {
    root->intfCounterIs(intf)->mdCounterIs(level)->opCodeCounterIs(op)->counterInc(
        CounterId::out_, 1);
  };
  count(MdLevel(), Cfm::opCodeNone);  // the invalid level and opcode 0 are ordinary keys
  count(MdLevel(3), Cfm::opCodeLbm);
  const std::size_t before = TestAllocations::count;
  for (int i = 0; i < 100; ++i) count(MdLevel(3), Cfm::opCodeLbm);
  EXPECT_EQ(TestAllocations::count, before);
  auto et1 = root->intfCounter(Lumen::IntfId("Ethernet1"));
  ASSERT_TRUE(et1);
  EXPECT_EQ(et1->mdCounter(MdLevel(3))->opCodeCounter(Cfm::opCodeLbm)->counter(CounterId::out_),
            101u);
  EXPECT_EQ(et1->mdCounter(MdLevel())->opCodeCounter(Cfm::opCodeNone)->counter(CounterId::out_),
            1u);
  EXPECT_EQ(et1->mdCounter().size(), 2u);
}

}  // namespace
