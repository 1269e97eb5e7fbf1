#pragma once
// cfmtool's commands on a real device, through an AF_PACKET socket.
//
// Each returns the exit status: 0 success (ping, dmm, slm and trace: at least one reply;
// listen: the frames awaited), 1 no reply, 2 a system error, whose one-line message goes to
// `err`. SIGINT and SIGTERM end a command early and cleanly: ping, dmm and slm still print
// their summaries, trace the replies it has.

#include <ostream>

#include "apps/cfmtool/Options.h"

namespace CfmTool {

int runPing(const PingOptions& options, std::ostream& out, std::ostream& err);
int runDmm(const DmmOptions& options, std::ostream& out, std::ostream& err);
int runSlm(const SlmOptions& options, std::ostream& out, std::ostream& err);
int runTrace(const TraceOptions& options, std::ostream& out, std::ostream& err);
int runCcm(const CcmOptions& options, std::ostream& out, std::ostream& err);
// 0 when a frame (with --count, that many) arrived, 1 when not.
int runListen(const ListenOptions& options, std::ostream& out, std::ostream& err);

}  // namespace CfmTool
