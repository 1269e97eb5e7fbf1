#include "apps/control/ControlSocket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace Control {

std::string defaultPath() {
  if (const char* path = std::getenv("CFMAGENTD_SOCKET"); path && *path) return path;
  if (::geteuid() == 0) return "/run/cfmagentd.sock";
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir) {
    return std::string(dir) + "/cfmagentd.sock";
  }
  return "/tmp/cfmagentd-" + std::to_string(::geteuid()) + ".sock";
}

std::optional<sockaddr_un> address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return std::nullopt;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

std::string requestLine(const nlohmann::json& request) { return request.dump() + messageEnd; }

std::string answerLine(const nlohmann::json& answer) {
  return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + messageEnd;
}

nlohmann::json refusal(const std::string& why) { return {{"ok", false}, {"error", why}}; }

}  // namespace Control
