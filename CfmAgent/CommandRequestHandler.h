#pragma once
// The operator's clear commands: the MIP CCM database, the CCM database, or the packet
// counters a command selects. A command arrives as one string through the platform's
// command-request directory; an error goes back to the dispatcher in the request, and
// nothing is ever written to the requester's socket.

#include <cstdint>
#include <string>
#include <vector>

#include "CfmAgent/CounterHelper.h"
#include "platform/agent/CommandRequest.h"
#include "platform/types/CcmDb.h"

namespace CfmAgent {

class CmdRequestHandler : public Kiln::Entity {
 public:
  CmdRequestHandler(Kiln::Ptr<MipCcmDb> mipCcmDb, Kiln::Ptr<CcmDb> ccmDb, Kiln::Ptr<CounterHelper> counterHelper);

  const Kiln::Ptr<MipCcmDb>& mipCcmDb() const { return mipCcmDb_; }
  const Kiln::Ptr<CcmDb>& ccmDb() const { return ccmDb_; }
  const Kiln::Ptr<CounterHelper>& counterHelper() const { return counterHelper_; }

  void doClearMipCcmDb();
  void doClearCcmDb();
  void doClearCounters(const CounterFilter& filter);

 private:
  Kiln::Ptr<MipCcmDb> mipCcmDb_;
  Kiln::Ptr<CcmDb> ccmDb_;
  Kiln::Ptr<CounterHelper> counterHelper_;
};

// The comma-separated fields of `text`, empty ones included: one field for a text without
// a comma.
std::vector<std::string> commaFields(const std::string& text);

Kiln::Ptr<CmdRequestHandler> cmdRequestHandlerFactory(Kiln::Ptr<MipCcmDb> mipCcmDb, Kiln::Ptr<CcmDb> ccmDb,
                                                      Kiln::Ptr<CounterHelper> counterHelper);

class CliCallback : public ::Agent::AgentCommandCallback {
 public:
  CliCallback(std::string name, std::string commandType, Kiln::Ptr<CmdRequestHandler> cmdRequestHandler);

  const Kiln::Ptr<CmdRequestHandler>& cmdRequestHandler() const { return cmdRequestHandler_; }

  // "clear intermediate-point database", "clear continuity-check database", or a counter
  // clear "<protocol>,<level>,<interface>,...". A level that is no number or lies outside
  // 0-8, or an interface name the platform refuses, throws and clears nothing.
  void handleCommand(std::uint32_t socket, const std::string& command) override;

 private:
  Kiln::Ptr<CmdRequestHandler> cmdRequestHandler_;
};

Kiln::Ptr<CliCallback> cliCallbackFactory(std::string name, std::string commandType,
                                          Kiln::Ptr<CmdRequestHandler> cmdRequestHandler);

}  // namespace CfmAgent
