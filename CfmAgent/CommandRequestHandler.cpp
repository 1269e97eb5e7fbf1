#include "CfmAgent/CommandRequestHandler.h"

#include <exception>
#include <vector>

#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("CfmAgentCommandRequest");
  return handle;
}

}  // namespace

CmdRequestHandler::CmdRequestHandler(Kiln::Ptr<MipCcmDb> mipCcmDb, Kiln::Ptr<CcmDb> ccmDb,
                                     Kiln::Ptr<CounterHelper> counterHelper)
    : Kiln::Entity("cmdRequestHandler"),
      mipCcmDb_(std::move(mipCcmDb)),
      ccmDb_(std::move(ccmDb)),
      counterHelper_(std::move(counterHelper)) {}

void CmdRequestHandler::doClearMipCcmDb() {
  KILN_TRACE(trace(), 8, "CmdRequestHandler::doClearMipCcmDb");
  if (mipCcmDb_) mipCcmDb_->vlanDelAll();
}

void CmdRequestHandler::doClearCcmDb() {
  KILN_TRACE(trace(), 8, "CmdRequestHandler::doClearCcmDb");
  if (ccmDb_) ccmDb_->ccmMdDelAll();
}

void CmdRequestHandler::doClearCounters(const CounterFilter& filter) {
  KILN_TRACE(trace(), 8, "CmdRequestHandler::doClearCounters");
  if (counterHelper_) counterHelper_->clearCounter(filter);
}

std::vector<std::string> commaFields(const std::string& text) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (std::size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1) {
    out.push_back(text.substr(from, comma - from));
  }
  out.push_back(text.substr(from));
  return out;
}

Kiln::Ptr<CmdRequestHandler> cmdRequestHandlerFactory(Kiln::Ptr<MipCcmDb> mipCcmDb, Kiln::Ptr<CcmDb> ccmDb,
                                                      Kiln::Ptr<CounterHelper> counterHelper) {
  return Kiln::make<CmdRequestHandler>(std::move(mipCcmDb), std::move(ccmDb), std::move(counterHelper));
}

CliCallback::CliCallback(std::string name, std::string commandType, Kiln::Ptr<CmdRequestHandler> cmdRequestHandler)
    : ::Agent::AgentCommandCallback(std::move(name), std::move(commandType)),
      cmdRequestHandler_(Kiln::validPtr(std::move(cmdRequestHandler))) {}

void CliCallback::handleCommand(std::uint32_t, const std::string& command) {
  KILN_TRACE(trace(), 8, "CliCallback::handleCommand " << command);
  if (command.empty()) {
    KILN_TRACE(trace(), 5, "CliCallback::handleCommand ignored: empty command");
    return;
  }
  if (command == "clear intermediate-point database") return cmdRequestHandler_->doClearMipCcmDb();
  if (command == "clear continuity-check database") return cmdRequestHandler_->doClearCcmDb();

  // Everything is read before anything is cleared: a bad field clears nothing, and its
  // error goes back to the dispatcher.
  auto filter = counterFilterFactory();
  try {
    const std::vector<std::string> field = commaFields(command);
    if (field[0] == "continuity-check") filter->opCodeIs(Cfm::opCodeCcm, true);
    if (field[0] == "loopback") filter->opCodeIs(Cfm::opCodeLbm, true);
    if (field.size() > 1 && !field[1].empty()) filter->mdLevelIs(Cfm::MdLevel(std::stoi(field[1])), true);
    for (std::size_t i = 2; i < field.size(); ++i) {
      if (!field[i].empty()) filter->intfIs(Lumen::IntfId(field[i]), true);
    }
  } catch (const std::exception& e) {
    KILN_TRACE(trace(), 5, "CliCallback::handleCommand refused: " << command << ": " << e.what());
    throw;
  }
  cmdRequestHandler_->doClearCounters(*filter);
}

Kiln::Ptr<CliCallback> cliCallbackFactory(std::string name, std::string commandType,
                                          Kiln::Ptr<CmdRequestHandler> cmdRequestHandler) {
  return Kiln::make<CliCallback>(std::move(name), std::move(commandType), std::move(cmdRequestHandler));
}

}  // namespace CfmAgent
