// The translation behind the whole agent: the configuration changed entity by entity, as
// the state database does, and the ALE configuration and the status mirror read back.

#include <gtest/gtest.h>

#include "tests/CfmAgent/AgentFixture.h"

namespace {

using namespace AgentTest;
using Cfm::MaName, Cfm::MdLevel, Cfm::MepId, Cfm::CfmProfileName, Cfm::CcmTxInterval;

class TranslationTest : public AgentFixture {
 protected:
  TranslationTest() {
    for (int level : {3, 4, 5}) config->mdConfigDel(MdLevel(level));
  }

  // An entry a line, every attribute; `ccm` gives an association's CCM settings, `remote` a
  // remote MEP's entry.
  static std::vector<std::string> lines(const auto& mds, auto ccm, auto remote, const auto& statuses) {
    std::vector<std::string> out;
    for (const auto& [level, md] : mds) {
      out.push_back(line("md", level, md->mdName(), md->defaultMip()));
      for (const auto& [key, ma] : md->maConfig()) {
        out.push_back(line("ma", level, key, ma->maName(), ma->direction(), ma->primaryVlanId().value()) + ccm(*ma));
        for (const auto& [id, mep] : ma->localMepConfig()) {
          std::string remotes;
          for (const auto& [r, on] : mep->remoteMepConfig()) remotes += remote(r, on);
          out.push_back(line("mep", level, key, id, mep->intfId(), remotes));
        }
      }
    }
    for (const auto& [level, md] : statuses) out.push_back(line("status", level, md->defaultMip()));
    return out;
  }
  // What the agent wrote; a remote MEP listed false as "n :off".
  std::vector<std::string> written() const {
    return lines(ale->mdConfig(), [](const auto& ma) { return line(ma.ccmEnable(), ma.ccmTxInterval()); },
                 [](auto r, bool on) { return line(r) + (on ? "" : ":off "); }, agentStatus->mdStatus());
  }
  // What the configuration and the ALE status ask for, worked out afresh.
  std::vector<std::string> wanted() const {
    return lines(config->mdConfig(), [&](const auto& ma) {
      auto profile = config->cfmProfile(ma.cfmProfileName());
      if (!profile) profile = config->defaultCfmProfile();
      return line(profile->ccmEnable(), profile->ccmTxInterval());
    }, [](auto r, bool on) { return on ? line(r) : ""; }, aleStatus->mdStatus());
  }

  Kiln::Ptr<Cfm::AleConfig> ale = entity<Cfm::AleConfig>("cfm/aleConfig", "Cfm::AleConfig");
  Kiln::Ptr<Cfm::AleStatus> aleStatus = entity<Cfm::AleStatus>("cfm/aleStatus", "Cfm::AleStatus");
  Kiln::Ptr<Status> agentStatus = entity<Status>("cfm/status", "CfmAgent::Status");
};

// What an earlier run left is overwritten or swept, all before the packet machines exist;
// tearing the agent down withdraws only the remote MEP lists, and a restart puts them back.
TEST_F(TranslationTest, StartTranslatesBeforeFramesAndSweepsWhatAnEarlierRunLeft) {
  auto md = config->mdConfigIs(MdLevel(2));
  md->mdNameIs({Cfm::MdName("md-two"), Cfm::mdNameFormatCharacterString});
  md->defaultMipIs(true);
  auto ma = md->maConfigIs(MaName("ma-x"));
  ma->maNameIs({MaName("ma-x-wire"), Cfm::maNameFormatCharacterString});
  ma->cfmProfileNameIs(CfmProfileName("gold"));
  auto gold = config->cfmProfileIs(CfmProfileName("gold"));
  gold->ccmEnableIs(false);
  gold->ccmTxIntervalIs(CcmTxInterval(0.1));
  auto mep = ma->localMepConfigIs(MepId(7));
  mep->intfIdIs(et1);
  mep->remoteMepConfigIs(MepId(8), true);
  mep->remoteMepConfigIs(MepId(9), false);
  config->mdConfigIs(MdLevel(6));

  auto staleMd = ale->mdConfigIs(MdLevel(2));
  staleMd->mdNameIs({Cfm::MdName("old"), Cfm::mdNameFormatNone});
  auto staleMa = staleMd->maConfigIs(MaName("ma-x"));
  staleMa->localMepConfigIs(MepId(7))->remoteMepConfigIs(MepId(9), true);
  staleMa->localMepConfigIs(MepId(3))->remoteMepConfigIs(MepId(12), false);
  staleMd->maConfigIs(MaName("z"));
  ale->mdConfigIs(MdLevel(7));
  agentStatus->mdStatusIs(MdLevel(5));
  aleStatus->mdStatusIs(MdLevel(2))->defaultMipIs(true);
  const auto trace = traced("Cfm/8;CfmPam/8", [&] { start(); }, true);

  const std::vector<std::string> translated = {
      "md 2 md-two (mdNameFormatCharacterString) 1 ",
      "ma 2 ma-x ma-x-wire (maNameFormatCharacterString) mepDirectionDown 0 0 0.1 ",
      "mep 2 ma-x 7 Ethernet1 8  ",
      "md 6  (mdNameFormatNone) 0 ",
      "status 2 1 "};
  EXPECT_EQ(written(), translated);
  const auto pam = std::find(trace.begin(), trace.end(), "CfmPam PamSm::handleInitialized");
  ASSERT_NE(pam, trace.end());
  const auto lastRemote = std::find(trace.begin(), trace.end(), "Cfm LocalMepConfigSm(7)::handleRemoteMepConfig(9 )");
  EXPECT_LT(lastRemote - trace.begin(), pam - trace.begin()) << "translated before the packet machines exist";
  EXPECT_EQ(std::find_if(pam, trace.end(), [](const auto& t) { return t.rfind("Cfm ", 0) == 0; }), trace.end());

  TearDown();
  auto after = translated;
  after[2] = "mep 2 ma-x 7 Ethernet1  ";
  EXPECT_EQ(written(), after);
  start();
  EXPECT_EQ(written(), translated);
}

// Each change reaches the ALE configuration at once, at the cost of what it changes: the
// writes each step makes are counted, and after each the whole ALE configuration and status
// mirror are compared with what the configuration asks for.
TEST_F(TranslationTest, EveryChangeIsTranslatedLiveWithOnlyItsOwnWrites) {
  start();
  Kiln::Ptr<MdConfig> md;
  Kiln::Ptr<MaConfig> a, b;
  Kiln::Ptr<LocalMepConfig> mep100;
  const CfmProfileName fast("fast");
  const MdLevel three(3);
  struct Step { const char* what; std::function<void()> change; std::uint64_t writes; };
  const Step steps[] = {
      {"a domain", [&] { md = config->mdConfigIs(three); }, 3},
      {"its name", [&] { md->mdNameIs({Cfm::MdName("md3"), Cfm::mdNameFormatCharacterString}); }, 1},
      {"only its name's format", [&] { md->mdNameIs({Cfm::MdName("md3"), Cfm::mdNameFormatDnsLikeName}); }, 1},
      {"only its default MIP", [&] { md->defaultMipIs(true); }, 1},
      {"an association", [&] { a = md->maConfigIs(MaName("ma-a")); }, 6},
      {"naming a profile that does not exist yet", [&] { a->cfmProfileNameIs(fast); }, 0},
      {"name, direction, VLAN", [&] { a->maNameIs({MaName("a"), Cfm::maNameFormatIccBased});
                                       a->directionIs(Cfm::mepDirectionUp);
                                       a->primaryVlanIdIs(Lumen::VlanIdOrNone(10)); }, 3},
      {"VLAN back to none", [&] { a->primaryVlanIdIs(Lumen::VlanIdOrNone()); }, 1},
      {"a second association, on the default profile", [&] { b = md->maConfigIs(MaName("ma-b")); }, 6},
      {"a profile nobody uses", [&] { config->cfmProfileIs(CfmProfileName("other"))->ccmEnableIs(false); }, 0},
      {"the named profile appears", [&] { config->cfmProfileIs(fast); }, 2},
      {"its interval changes", [&] { config->cfmProfile(fast)->ccmTxIntervalIs(CcmTxInterval(0.01)); }, 1},
      {"the default profile changes", [&] { config->defaultCfmProfile()->ccmTxIntervalIs(CcmTxInterval(10));
                                             config->defaultCfmProfile()->ccmEnableIs(false); }, 2},
      {"a MEP on Ethernet1", [&] { (mep100 = a->localMepConfigIs(MepId(100)))->intfIdIs(et1); }, 3},
      {"remote MEPs true and false", [&] { mep100->remoteMepConfigIs(MepId(200), true);
                                            mep100->remoteMepConfigIs(MepId(201), false); }, 2},
      {"both flipped", [&] { mep100->remoteMepConfigIs(MepId(200), false);
                              mep100->remoteMepConfigIs(MepId(201), true); }, 2},
      {"the MEP moved to Ethernet2", [&] { mep100->intfIdIs(et2); }, 1},
      {"a MEP in the other association", [&] { b->localMepConfigIs(MepId(101))->remoteMepConfigIs(MepId(300), true); }, 3},
      {"the named profile deleted while in use", [&] { config->cfmProfileDel(fast); }, 2},
      {"a remote MEP's entry deleted", [&] { mep100->remoteMepConfigDel(MepId(201)); }, 1},
      {"a MEP deleted", [&] { a->localMepConfigDel(MepId(100)); }, 2},
      {"an association deleted", [&] { md->maConfigDel(MaName("ma-a")); }, 1},
      {"the ALE status of a domain appears", [&] { aleStatus->mdStatusIs(MdLevel(3)); }, 0},
      {"and changes", [&] { aleStatus->mdStatus(MdLevel(3))->defaultMipIs(true); }, 0},
      {"the domain deleted with everything below it", [&] { config->mdConfigDel(three); }, 2},
      {"the domain again, at once", [&] { config->mdConfigIs(three); }, 3},
      {"the ALE status goes", [&] { aleStatus->mdStatusDel(MdLevel(3)); }, 0},
  };
  for (const auto& step : steps) {
    const auto before = ale->writes();
    step.change();
    EXPECT_EQ(ale->writes() - before, step.writes) << step.what;
    EXPECT_EQ(written(), wanted()) << step.what;
  }
  EXPECT_EQ(written(), (std::vector<std::string>{"md 3  (mdNameFormatNone) 0 "}));
}

}  // namespace
