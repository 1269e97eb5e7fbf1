#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/agent/AgentRunner.h"
#include "platform/agent/CommandRequest.h"
#include "platform/kiln/TypeRegistry.h"

namespace {

using Agent::CommandRequest;

class EchoCallback : public Agent::AgentCommandCallback {
 public:
  EchoCallback() : Agent::AgentCommandCallback("echo", "EchoType") {}
  void handleCommand(std::uint32_t socket, const std::string& command) override {
    if (command == "boom") throw std::invalid_argument("stoi");
    seen.push_back(std::to_string(socket) + ":" + command);
  }
  std::vector<std::string> seen;
};

Kiln::Ptr<CommandRequest> request(const char* name, const char* type, const char* command) {
  return Kiln::make<CommandRequest>(name, type, 7, command);
}

TEST(CommandRequestDir, CommandsReachTheCallbackOfTheirTypeAndErrorsGoBack) {
  auto dir = Kiln::make<Kiln::Dir>("cfmAgent");
  dir->entityIs("early", request("early", "EchoType", "clear"));  // before the agent
  Agent::AgentCommandRequestDirSm sm(nullptr, dir);
  auto callback = Kiln::make<EchoCallback>();
  sm.agentCommandCallbackIs(callback);
  EXPECT_EQ(callback->seen, std::vector<std::string>{"7:clear"});

  auto ok = request("r1", "EchoType", "clear counters");
  auto bad = request("r2", "EchoType", "boom");
  auto other = request("r3", "OtherType", "x");
  dir->entityIs("r1", ok);
  dir->entityIs("r2", bad);
  dir->entityIs("r3", other);
  EXPECT_EQ(ok->state(), CommandRequest::State::done);
  EXPECT_EQ(bad->state(), CommandRequest::State::failed);
  EXPECT_EQ(bad->error(), "stoi");
  EXPECT_EQ(other->state(), CommandRequest::State::pending);

  // A handled request is not handled again when the directory changes around it.
  dir->entityDel("r3");
  sm.agentCommandCallbackIs(callback);
  EXPECT_EQ(callback->seen, (std::vector<std::string>{"7:clear", "7:clear counters"}));
}

// A minimal agent: mounts one path and records its start-up.
class TestAgent : public AgentBase::CAgent {
 public:
  using AgentBase::CAgent::CAgent;
  std::string fwkType() const override { return "TestAgent"; }
  void doInit() override {
    log.push_back("doInit");
    auto group = mountGroup();
    group->add(Cell::path("agent/commandRequest/config/test", cellId()), "Kiln::Dir", "rOP");
    if (name() != "neverCloses") group->close(false, "", 0.0);
  }
  void doMountsComplete(Orbis::MountStatus status,
                        Kiln::Ptr<Orbis::EntityManager> manager) override {
    log.push_back(std::string("doMountsComplete ") + Orbis::mountStatusText(status));
    sameManager = manager == entityManager();
  }
  std::vector<std::string> log;
  bool sameManager = false;
};

const Kiln::TypeRegistration testAgentType(
    "Test::Agent", [](const std::string& name) { return Kiln::make<TestAgent>(name); });

TEST(AgentRunner, BuildsTheAgentAndCompletesItsMounts) {
  Kiln::EventLoop loop;
  auto manager = Kiln::make<Orbis::EntityManager>(loop);
  AgentBase::AgentRunner runner(manager, 3);
  auto agent = Kiln::ptrCast<TestAgent>(runner.agentIs("Test::Agent", "test"));
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->log, (std::vector<std::string>{"doInit", "doMountsComplete mountSuccess"}));
  EXPECT_TRUE(agent->sameManager);
  EXPECT_EQ(agent->cellPath(), "cell/3");
  EXPECT_TRUE(manager->entity("cell/3/agent/commandRequest/config/test"));

  EXPECT_THROW(runner.agentIs("No::Such", "x"), std::runtime_error);
  EXPECT_THROW(runner.agentIs("Kiln::Dir", "x"), std::runtime_error);
  EXPECT_THROW(runner.agentIs("Test::Agent", "neverCloses"), std::runtime_error);
  EXPECT_THROW(runner.libraryIs("/nonexistent/libNothing.so"), std::runtime_error);
}

}  // namespace
