#pragma once
// The agent as the bridge's MIP: the kernel bridge must not also forward the linktrace
// messages the agent relays. At the MD levels where the agent has a MIP, an LTM to the
// CFM group address of its level that enters on a port of the bridge reaches the agent's
// socket on that port (a packet socket sees a frame before the bridge does) and is not
// flooded; CCMs and everything else pass. The rules live in an nftables table of the
// bridge family that the agent owns, written whole with the `nft` program in one
// transaction, so a table left by an agent that crashed is replaced, never added to.

#include <cstdint>
#include <set>
#include <string>

namespace LinuxNet {

class BridgeFilter {
 public:
  // Nothing is installed until rulesIs().
  explicit BridgeFilter(const std::string& bridge, std::string nft = "nft");
  // Removes the table (errors are only logged: the agent is stopping).
  ~BridgeFilter();
  BridgeFilter(const BridgeFilter&) = delete;
  BridgeFilter& operator=(const BridgeFilter&) = delete;

  // Makes the table hold the rules for `levels` on `ports`, replacing whatever it held
  // (also a stale table of a crashed agent); nothing is run when they are the ones
  // installed. Throws std::runtime_error with nft's message.
  void rulesIs(const std::set<std::uint8_t>& levels, const std::set<std::string>& ports);
  // Removes the table; throws as rulesIs.
  void rulesDel();

  const std::string& table() const { return table_; }
  // The nft script that rulesIs runs.
  std::string script(const std::set<std::uint8_t>& levels, const std::set<std::string>& ports) const;

 private:
  std::string table_;
  std::string nft_;
  bool installed_ = false;
  std::set<std::uint8_t> levels_;
  std::set<std::string> ports_;
};

// Runs `nft -f -` (or `program`) with `script` on its standard input; throws
// std::runtime_error with what nft said when it fails.
void runNft(const std::string& program, const std::string& script);

}  // namespace LinuxNet
