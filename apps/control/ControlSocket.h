#pragma once
// What cfmagentd and its clients agree on about the control socket: where it is by default,
// its address, and its messages. One request per connection: a JSON object on one line,
// answered by one JSON object on one line ("ok", and "error" when not ok), after which the
// daemon closes the connection.

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
