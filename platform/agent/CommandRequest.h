#pragma once
// Command requests: how an operator's command reaches an agent.
//
// A dispatcher writes a CommandRequest into the agent's command-request directory; the
// directory's reactor hands its command to the callback registered for its command type
// and writes the outcome back into the request: done, or failed with the error that the
// callback raised. The dispatcher reads the outcome and removes the request.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/kiln/Dir.h"
#include "platform/kiln/EventLoop.h"
#include "platform/kiln/StateMachine.h"

namespace Agent {

class CommandRequest : public Kiln::Entity {
 public:
  enum class State { pending, done, failed };

  class NotifieeConst : public Kiln::Notifiee<CommandRequest> {
   public:
    using Kiln::Notifiee<CommandRequest>::Notifiee;
    virtual void onState() {}
  };

  CommandRequest(std::string name, std::string commandType, std::uint32_t socket,
                 std::string command)
      : Kiln::Entity(std::move(name)),
        commandType_(std::move(commandType)),
        socket_(socket),
        command_(std::move(command)) {}

  const std::string& commandType() const { return commandType_; }
  std::uint32_t socket() const { return socket_; }
  const std::string& command() const { return command_; }
  State state() const { return state_; }
  // Why the request failed.
  const std::string& error() const { return error_; }
  void resultIs(State state, std::string error);

  Kiln::NotifieeList<CommandRequest>& notifieeList() const { return notifieeList_; }

 private:
  std::string commandType_;
  std::uint32_t socket_;
  std::string command_;
  State state_ = State::pending;
  std::string error_;
  mutable Kiln::NotifieeList<CommandRequest> notifieeList_;
};

class AgentCommandCallback : public Kiln::Entity {
 public:
  AgentCommandCallback(std::string name, std::string commandType)
      : Kiln::Entity(std::move(name)), commandType_(std::move(commandType)) {}
  const std::string& commandType() const { return commandType_; }
  // Carries out one command; an exception fails the request with its what().
  virtual void handleCommand(std::uint32_t socket, const std::string& command) = 0;

 private:
  std::string commandType_;
};

class AgentCommandRequestDirSm : public Kiln::StateMachine {
 public:
  AgentCommandRequestDirSm(Kiln::EventLoop* activity, Kiln::Ptr<Kiln::Dir> requestDir);
  ~AgentCommandRequestDirSm() override;

  // Registers the callback of its command type; requests of that type already waiting are
  // handled at once.
  void agentCommandCallbackIs(Kiln::Ptr<AgentCommandCallback> callback);
  const Kiln::Ptr<Kiln::Dir>& requestDir() const { return requestDir_; }

  void handleInitialized();
  void handleRequest(const std::string& name);
  void hasNotificationActiveIs(bool active);

 private:
  class DirReactor;

  Kiln::Ptr<Kiln::Dir> requestDir_;
  std::unique_ptr<DirReactor> reactor_;
  std::map<std::string, Kiln::Ptr<AgentCommandCallback>> callbacks_;
};

}  // namespace Agent
