#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/kiln/TypeRegistry.h"
#include "platform/types/CfmAgentTypes.h"
#include "tests/support/Recorders.h"

// Counts every allocation of this test binary, so that a test can require a stretch of
// code to allocate nothing. The replacement pairs malloc with free itself; GCC cannot see
// that across the inlined new and delete expressions.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace CfmAgent;
using Cfm::MaName;
using Cfm::MdLevel;
using Cfm::MepId;
using TestSupport::Log;
using TestSupport::runScript;
using TestSupport::Step;
using TestSupport::text;

// Each recorder logs what its watcher sees at the moment it is told: a notification sent
// before the change is stored shows the old state.
struct ConfigRecorder : Config::NotifieeConst {
  ConfigRecorder(Kiln::PtrConst<Config> n, Log& log) : NotifieeConst(n), log(log) {}
  void onMdConfig(MdLevel level) override {
    log.push_back(text("mdConfig ", level, notifier()->mdConfig(level) ? " present" : " absent"));
  }
  void onCfmProfile(const Cfm::CfmProfileName& name) override {
    log.push_back(text("cfmProfile ", name, notifier()->cfmProfile(name) ? " present" : " absent"));
  }
  Log& log;
};

struct MdConfigRecorder : MdConfig::NotifieeConst {
  MdConfigRecorder(Kiln::PtrConst<MdConfig> n, Log& log) : NotifieeConst(n), log(log) {}
  void onMdName() override { log.push_back(text("mdName ", notifier()->mdName())); }
  void onDefaultMip() override { log.push_back(text("defaultMip ", notifier()->defaultMip())); }
  void onMaConfig(const MaName& name) override {
    log.push_back(text("maConfig ", name, notifier()->maConfig(name) ? " present" : " absent"));
  }
  Log& log;
};

struct MaConfigRecorder : MaConfig::NotifieeConst {
  MaConfigRecorder(Kiln::PtrConst<MaConfig> n, Log& log) : NotifieeConst(n), log(log) {}
  void onMaName() override { log.push_back(text("maName ", notifier()->maName())); }
  void onDirection() override { log.push_back(text("direction ", notifier()->direction())); }
  void onPrimaryVlanId() override {
    log.push_back(text("primaryVlanId ", notifier()->primaryVlanId()));
  }
  void onCfmProfileName() override {
    log.push_back(text("cfmProfileName ", notifier()->cfmProfileName()));
  }
  void onLocalMepConfig(MepId id) override {
    log.push_back(
        text("localMepConfig ", id, notifier()->localMepConfig(id) ? " present" : " absent"));
  }
  Log& log;
};

struct LocalMepConfigRecorder : LocalMepConfig::NotifieeConst {
  LocalMepConfigRecorder(Kiln::PtrConst<LocalMepConfig> n, Log& log) : NotifieeConst(n), log(log) {}
  void onIntfId() override { log.push_back(text("intfId ", notifier()->intfId())); }
  void onRemoteMepConfig(MepId id) override {
    const auto& map = notifier()->remoteMepConfig();
    auto it = map.find(id);
    log.push_back(text("remoteMepConfig ", id, " ",
                       it == map.end() ? "absent"
                       : it->second    ? "true"
                                       : "false"));
  }
  Log& log;
};

struct CfmProfileRecorder : CfmProfile::NotifieeConst {
  CfmProfileRecorder(Kiln::PtrConst<CfmProfile> n, Log& log) : NotifieeConst(n), log(log) {}
  void onCcmTxInterval() override {
    log.push_back(text("ccmTxInterval ", notifier()->ccmTxInterval()));
  }
  void onCcmEnable() override { log.push_back(text("ccmEnable ", notifier()->ccmEnable())); }
  Log& log;
};

// One script over the whole tree with every level watched: a change is reported once, by
// its own entity only, and creating or deleting a member is reported by its owner.
TEST(Config, EveryLevelNotifiesItsOwnRealChangesOnly) {
  Log log;
  auto config = Kiln::make<Config>();
  ConfigRecorder configRecorder(config, log);
  auto md = config->mdConfigIs(MdLevel(4));
  MdConfigRecorder mdRecorder(md, log);
  auto ma = md->maConfigIs(MaName("key"));
  MaConfigRecorder maRecorder(ma, log);
  auto mep = ma->localMepConfigIs(MepId(1));
  LocalMepConfigRecorder mepRecorder(mep, log);
  const Cfm::CfmProfileName gold("gold");
  const Cfm::MdNameWithFormat mdName{Cfm::MdName("dom"), Cfm::mdNameFormatCharacterString};
  const Cfm::MdNameWithFormat otherFormat{Cfm::MdName("dom"), Cfm::mdNameFormatNone};
  const Cfm::MaNameWithFormat maName{MaName("wire"), Cfm::maNameFormatCharacterString};
  const Bridging::VlanIdOrNone vlan10(10), noVlan(0);
  const MepId remote(2);

  const std::vector<Step> script = {
      {"found level", [&] { EXPECT_EQ(config->mdConfigIs(MdLevel(4)), md); }, {}},
      {"new level", [&] { config->mdConfigIs(MdLevel(6)); }, {"mdConfig 6 present"}},
      {"delete level", [&] { config->mdConfigDel(MdLevel(6)); }, {"mdConfig 6 absent"}},
      {"delete absent level", [&] { config->mdConfigDel(MdLevel(6)); }, {}},
      {"new profile", [&] { config->cfmProfileIs(gold); }, {"cfmProfile gold present"}},
      {"found profile", [&] { config->cfmProfileIs(gold)->ccmEnableIs(false); }, {}},
      {"delete profile", [&] { config->cfmProfileDel(gold); }, {"cfmProfile gold absent"}},
      {"delete absent profile", [&] { config->cfmProfileDel(gold); }, {}},

      {"mdName", [&] { md->mdNameIs(mdName); }, {"mdName dom (mdNameFormatCharacterString)"}},
      {"same mdName", [&] { md->mdNameIs(mdName); }, {}},
      {"format only", [&] { md->mdNameIs(otherFormat); }, {"mdName dom (mdNameFormatNone)"}},
      {"defaultMip", [&] { md->defaultMipIs(true); }, {"defaultMip 1"}},
      {"same defaultMip", [&] { md->defaultMipIs(true); }, {}},
      {"found association", [&] { EXPECT_EQ(md->maConfigIs(MaName("key")), ma); }, {}},
      {"new association", [&] { md->maConfigIs(MaName("b")); }, {"maConfig b present"}},
      {"delete association", [&] { md->maConfigDel(MaName("b")); }, {"maConfig b absent"}},
      {"delete absent association", [&] { md->maConfigDel(MaName("b")); }, {}},

      {"maName", [&] { ma->maNameIs(maName); }, {"maName wire (maNameFormatCharacterString)"}},
      {"same maName", [&] { ma->maNameIs(maName); }, {}},
      {"direction", [&] { ma->directionIs(Cfm::mepDirectionUp); }, {"direction mepDirectionUp"}},
      {"same direction", [&] { ma->directionIs(Cfm::mepDirectionUp); }, {}},
      {"vlan", [&] { ma->primaryVlanIdIs(vlan10); }, {"primaryVlanId 10"}},
      {"same vlan", [&] { ma->primaryVlanIdIs(vlan10); }, {}},
      {"no vlan", [&] { ma->primaryVlanIdIs(noVlan); }, {"primaryVlanId 0"}},
      {"profile name", [&] { ma->cfmProfileNameIs(gold); }, {"cfmProfileName gold"}},
      {"same profile name", [&] { ma->cfmProfileNameIs(gold); }, {}},
      {"new mep", [&] { ma->localMepConfigIs(MepId(7)); }, {"localMepConfig 7 present"}},
      {"found mep", [&] { EXPECT_EQ(ma->localMepConfigIs(MepId(1)), mep); }, {}},
      {"delete mep", [&] { ma->localMepConfigDel(MepId(7)); }, {"localMepConfig 7 absent"}},
      {"delete absent mep", [&] { ma->localMepConfigDel(MepId(7)); }, {}},

      {"interface", [&] { mep->intfIdIs(Lumen::IntfId("Et1")); }, {"intfId Ethernet1"}},
      {"same interface spelled out", [&] { mep->intfIdIs(Lumen::IntfId("Ethernet1")); }, {}},
      {"new remote", [&] { mep->remoteMepConfigIs(remote, true); }, {"remoteMepConfig 2 true"}},
      {"same remote", [&] { mep->remoteMepConfigIs(remote, true); }, {}},
      {"remote off", [&] { mep->remoteMepConfigIs(remote, false); }, {"remoteMepConfig 2 false"}},
      {"delete remote", [&] { mep->remoteMepConfigDel(remote); }, {"remoteMepConfig 2 absent"}},
      {"delete absent remote", [&] { mep->remoteMepConfigDel(remote); }, {}},
  };
  runScript(log, script);
  EXPECT_EQ(ma->maNameKey(), MaName("key"));
  EXPECT_EQ(mep->parent(), ma.get());
}

TEST(CfmProfile, DefaultProfileIsOneWatchableObjectOutsideTheCollection) {
  Log log;
  auto config = Kiln::make<Config>();
  auto profile = config->defaultCfmProfile();
  ASSERT_TRUE(profile);
  EXPECT_EQ(config->defaultCfmProfile(), profile);
  EXPECT_TRUE(profile->ccmEnable());
  EXPECT_EQ(profile->ccmTxInterval(), Cfm::CcmTxInterval(1.0));
  EXPECT_EQ(profile->parent(), config.get());
  EXPECT_TRUE(config->cfmProfile().empty());
  EXPECT_NE(config->cfmProfileIs(profile->cfmProfileName()), profile);

  CfmProfileRecorder recorder(profile, log);
  const std::vector<Step> script = {
      {"interval",
       [&] { profile->ccmTxIntervalIs(Cfm::CcmTxInterval(0.1)); },
       {"ccmTxInterval 0.1"}},
      {"same interval", [&] { profile->ccmTxIntervalIs(Cfm::CcmTxInterval(0.1)); }, {}},
      {"disable", [&] { profile->ccmEnableIs(false); }, {"ccmEnable 0"}},
      {"disable again", [&] { profile->ccmEnableIs(false); }, {}},
  };
  runScript(log, script);
  EXPECT_EQ(config->defaultCfmProfile(), profile);
}

// ---- Counters ----

struct CounterIdName {
  CounterId id;
  std::uint32_t value;
  const char* name;
};

const CounterIdName counterIdNames[] = {
    {CounterId::in_, 0, "in"},
    {CounterId::inErrorMipNotConfigured_, 1, "inErrorMipNotConfigured"},
    {CounterId::inErrorSrcMacNotUnicast_, 2, "inErrorSrcMacNotUnicast"},
    {CounterId::inErrorEthHdrTooShort_, 3, "inErrorEthHdrTooShort"},
    {CounterId::inErrorIntfModeExcluded_, 4, "inErrorIntfModeExcluded"},
    {CounterId::inErrorNoBridgingVlan_, 5, "inErrorNoBridgingVlan"},
    {CounterId::inErrorVlanTagTooShort_, 6, "inErrorVlanTagTooShort"},
    {CounterId::inErrorNotCfmEtherType_, 7, "inErrorNotCfmEtherType"},
    {CounterId::inErrorCfmHdrTooShort_, 8, "inErrorCfmHdrTooShort"},
    {CounterId::inErrorNoMpAtMdLevel_, 9, "inErrorNoMpAtMdLevel"},
    {CounterId::inErrorDstMacOpCodeMismatch_, 10, "inErrorDstMacOpCodeMismatch"},
    {CounterId::inErrorDstMacMdLevelMismatch_, 11, "inErrorDstMacMdLevelMismatch"},
    {CounterId::inErrorUnsupportedOpCode_, 12, "inErrorUnsupportedOpCode"},
    {CounterId::inErrorFirstTlvOffsetTooSmall_, 13, "inErrorFirstTlvOffsetTooSmall"},
    {CounterId::inErrorFirstTlvOffsetTooLarge_, 14, "inErrorFirstTlvOffsetTooLarge"},
    {CounterId::inErrorNoProtocolHandler_, 15, "inErrorNoProtocolHandler"},
    {CounterId::inErrorPduTooLong_, 16, "inErrorPduTooLong"},
    {CounterId::inErrorPduTooShort_, 17, "inErrorPduTooShort"},
    {CounterId::inErrorTlvHdrTruncated_, 18, "inErrorTlvHdrTruncated"},
    {CounterId::inErrorTlvLenTooLarge_, 19, "inErrorTlvLenTooLarge"},
    {CounterId::inErrorCcmIntervalZero_, 20, "inErrorCcmIntervalZero"},
    {CounterId::inErrorCcmMepIdInvalid_, 21, "inErrorCcmMepIdInvalid"},
    {CounterId::inErrorCcmMdNameLen_, 22, "inErrorCcmMdNameLen"},
    {CounterId::inErrorCcmMaNameLen_, 23, "inErrorCcmMaNameLen"},
    {CounterId::inErrorLbmDstMacMismatch_, 24, "inErrorLbmDstMacMismatch"},
    {CounterId::inErrorLtmTtlZero_, 25, "inErrorLtmTtlZero"},
    {CounterId::inErrorLtmOriginalMac_, 26, "inErrorLtmOriginalMac"},
    {CounterId::inErrorLtmTargetMac_, 27, "inErrorLtmTargetMac"},
    {CounterId::out_, 28, "out"},
    {CounterId::outErrorNoPam_, 29, "outErrorNoPam"},
    {CounterId::debugUnsupportedMdNameFormat_, 30, "debugUnsupportedMdNameFormat"},
    {CounterId::debugLtmEgressIdTlvLen_, 32, "debugLtmEgressIdTlvLen"},
    {CounterId::debugLtmTtlExpired_, 33, "debugLtmTtlExpired"},
    {CounterId::debugLtmNoEgressPort_, 34, "debugLtmNoEgressPort"},
};

TEST(CounterId, EveryIdHasItsNumberAndNameBothWays) {
  for (const auto& [id, value, name] : counterIdNames) {
    SCOPED_TRACE(name);
    EXPECT_EQ(static_cast<std::uint32_t>(id), value);
    EXPECT_EQ(stringValue(id), name);
    EXPECT_EQ(text(id), name);
    EXPECT_EQ(counterIdFromString(name), id);
  }
  static_assert(sizeof(CounterId) == 4);
}

TEST(CounterId, UnnamedValuesPrintAsNumbersAndOnlyNamesParse) {
  EXPECT_EQ(stringValue(CounterId(31)), "31");
  EXPECT_EQ(stringValue(CounterId(35)), "35");
  for (const char* notAName : {"31", "in_", "In", "", "out ", "debugReserved31"}) {
    SCOPED_TRACE(notAName);
    EXPECT_FALSE(counterIdFromString(notAName));
  }
}

TEST(Counter, LevelsCreateOrFindAndIterateInKeyOrder) {
  auto root = Kiln::make<Counter>();
  const Lumen::IntfId et1("Et1"), et2("Et2"), po10("Po10");
  EXPECT_FALSE(root->intfCounter(et1));
  for (const auto& intf : {po10, et2, et1}) {
    for (std::uint8_t level : {8, 0, 5}) {
      for (auto op : {Cfm::opCodeLtm, Cfm::opCodeNone}) {
        root->intfCounterIs(intf)
            ->mdCounterIs(MdLevel(level))
            ->opCodeCounterIs(op)
            ->counterInc(CounterId::in_, 1);
      }
    }
  }
  auto et1Counter = root->intfCounter(Lumen::IntfId("Ethernet1"));
  ASSERT_TRUE(et1Counter);
  EXPECT_EQ(root->intfCounterIs(et1), et1Counter);
  EXPECT_EQ(et1Counter->parent(), root.get());
  // The invalid level and opcode 0 are ordinary keys.
  auto op = et1Counter->mdCounter(MdLevel())->opCodeCounter(Cfm::opCodeNone);
  ASSERT_TRUE(op);
  EXPECT_EQ(op->counter(CounterId::in_), 1u);

  std::vector<std::string> intfs;
  for (const auto& [key, c] : root->intfCounter()) intfs.push_back(key.stringValue());
  EXPECT_EQ(intfs, (std::vector<std::string>{"Ethernet1", "Ethernet2", "Port-Channel10"}));
  std::vector<int> levels;
  for (const auto& [key, c] : et1Counter->mdCounter()) levels.push_back(key.value());
  EXPECT_EQ(levels, (std::vector<int>{0, 5, 8}));

  root->intfCounterDel(et2);
  EXPECT_FALSE(root->intfCounter(et2));
  EXPECT_TRUE(root->intfCounter(po10));
  root->intfCounterDelAll();
  EXPECT_TRUE(root->intfCounter().empty());
}

TEST(Counter, CountingIntoExistingEntriesAllocatesNothing) {
  auto root = Kiln::make<Counter>();
  const Lumen::IntfId intf("Et1");
  auto count = [&] {
    root->intfCounterIs(intf)
        ->mdCounterIs(MdLevel(3))
        ->opCodeCounterIs(Cfm::opCodeLbm)
        ->counterInc(CounterId::out_, 1);
  };
  count();
  const std::size_t before = allocations;
  for (int i = 0; i < 100; ++i) count();
  EXPECT_EQ(allocations, before);
  EXPECT_EQ(root->intfCounter(intf)
                ->mdCounter(MdLevel(3))
                ->opCodeCounter(Cfm::opCodeLbm)
                ->counter(CounterId::out_),
            101u);
}

TEST(MipCcmDb, LaterCcmMovesTheAddressAndClearEmptiesEveryVlan) {
  auto db = Kiln::make<MipCcmDb>();
  const Lumen::EthAddr mac(0, 1, 2, 3, 4, 5), other(0, 1, 2, 3, 4, 6);
  auto vlan = db->vlanIs(Bridging::VlanId(10));
  EXPECT_EQ(db->vlanIs(Bridging::VlanId(10)), vlan);
  vlan->entryIs(mac, Lumen::IntfId("Et1"));
  vlan->entryIs(mac, Lumen::IntfId("Et2"));
  EXPECT_EQ(vlan->entry(mac), Lumen::IntfId("Et2"));
  EXPECT_EQ(vlan->entry().size(), 1u);
  EXPECT_TRUE(vlan->entry(other).empty());

  db->vlanIs(Bridging::VlanId(20))->entryIs(other, Lumen::IntfId("Et3"));
  db->vlanDelAll();
  EXPECT_TRUE(db->vlan().empty());
}

}  // namespace
