#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/kiln/TypeRegistry.h"
#include "platform/types/CfmAleTypes.h"
#include "tests/support/Recorders.h"

namespace {

using namespace Cfm;
using TestSupport::Log;
using TestSupport::Step;

TEST(AleStatus, NotifiesOnlyRealChangesWithTheKey) {
  Log log;
  auto status = Kiln::make<AleStatus>();
  TestSupport::AleStatusRecorder statusRecorder(status, log);
  const MdLevel level(2);
  Kiln::Ptr<MdAleStatus> md;
  std::unique_ptr<TestSupport::MdAleStatusRecorder> mdRecorder;
  TestSupport::runScript(
      log, std::vector<Step>{
               {"new level", [&] { md = status->mdStatusIs(level); }, {"mdStatus 2 present"}},
               {"found level", [&] { EXPECT_EQ(status->mdStatusIs(level), md); }, {}},
               {"bind",
                [&] { mdRecorder = std::make_unique<TestSupport::MdAleStatusRecorder>(md, log); },
                {}},
               {"defaultMip on", [&] { md->defaultMipIs(true); }, {"defaultMip 1"}},
               {"defaultMip on again", [&] { md->defaultMipIs(true); }, {}},
               {"defaultMip off", [&] { md->defaultMipIs(false); }, {"defaultMip 0"}},
               {"delete level", [&] { status->mdStatusDel(level); }, {"mdStatus 2 absent"}},
               {"delete absent level", [&] { status->mdStatusDel(level); }, {}},
           });
  EXPECT_EQ(md->parent(), status.get());
}

// Whatever a library registers, the database can build by name, named as it asks; and a
// registration lives only as long as its object, as an unloaded library's types must.
TEST(TypeRegistry, EveryRegisteredTypeBuildsAnEntityOfTheAskedName) {
  EXPECT_FALSE(Kiln::typeNames().empty());
  for (const auto& type : Kiln::typeNames()) {
    auto entity = Kiln::newEntity(type, "probe");
    ASSERT_TRUE(entity) << type;
    EXPECT_EQ(entity->name(), "probe") << type;
  }
  {
    const Kiln::TypeRegistration scoped("Test::Scoped", [](const std::string& name) {
      return Kiln::make<AleStatus>(name);
    });
    EXPECT_TRUE(Kiln::hasType("Test::Scoped"));
  }
  EXPECT_FALSE(Kiln::hasType("Test::Scoped"));
  EXPECT_FALSE(Kiln::newEntity("Test::Scoped", "x"));
}

}  // namespace
