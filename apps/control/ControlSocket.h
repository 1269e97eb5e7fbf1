#pragma once
// What cfmagentd and its clients agree on about the control socket: where it is by default,
// its address, and its messages. One request per connection: a JSON object on one line,
// answered by one JSON object on one line ("ok", and "error" when not ok), after which the
// daemon closes the connection.
//
// A monitor is the exception: it keeps its connection for a stream of the software ALE
// layer's events (apps/runner/Events.h), as they happen, until either side closes.
//
//   -> {"op": "monitor"}                     every local MEP's events, or
//   -> {"op": "monitor", "mep": "3/ma1/100"}  one MEP's alone, named LEVEL/MA/ID
//   <- {"ok": true}                           or a refusal (a bad "mep", too many monitors:
//                                             "busy: 16 monitors open"), and the daemon closes
//   <- {"event": "faultAlarmRaised", "time": 1796625001.25, "mdLevel": "3", ...}   one a line
//   <- {"missed": 42}                         42 events dropped just before this line
//
// The client sends nothing more and keeps its side open: closing it (even half) ends the
// monitor. The daemon holds a bounded number of events for a client that does not keep up
// and drops the rest; once it can queue again, the next line tells the client how many it
// missed. A monitor has no time limit and counts against a limit of its own, not that of
// the requests.

#include <sys/un.h>

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace Control {

// Ends a request and an answer; JSON text never holds it unescaped.
inline constexpr char messageEnd = '\n';

// $CFMAGENTD_SOCKET, else /run/cfmagentd.sock for root, else $XDG_RUNTIME_DIR/cfmagentd.sock,
// else /tmp/cfmagentd-<uid>.sock.
std::string defaultPath();

// The address of the socket file at `path`; none when the path does not fit in one.
std::optional<sockaddr_un> address(const std::string& path);

// A request as sent: text that is not UTF-8 raises nlohmann::json::type_error, since the
// daemon could not read it.
std::string requestLine(const nlohmann::json& request);
// An answer as sent: text that is not UTF-8 (a name read from a frame or a file) is
// replaced, so that every request is answered.
std::string answerLine(const nlohmann::json& answer);
// The answer to a request that is not carried out.
nlohmann::json refusal(const std::string& why);

}  // namespace Control
