#include "platform/linux/PortNames.h"

#include <exception>

namespace LinuxNet {

namespace {

const char* kindOf(const BridgePort& port) { return port.kind == "bond" ? "Port-Channel" : "Ethernet"; }

}  // namespace

std::optional<Lumen::IntfId> portIntfByName(const BridgePort& port) {
  const std::string& device = port.device;
  std::size_t digits = device.size();
  while (digits > 0 && device[digits - 1] >= '0' && device[digits - 1] <= '9') --digits;
  const std::string number = device.substr(digits);
  if (number.empty() || number.size() > 5 || number[0] == '0') return std::nullopt;
  try {
    return Lumen::IntfId(kindOf(port) + number);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::map<int, Lumen::IntfId> portIntfs(const std::map<int, BridgePort>& ports,
                                       const std::map<std::string, Lumen::IntfId>& fixed,
                                       const std::map<int, Lumen::IntfId>& before, std::vector<std::string>* notes) {
  std::map<int, Lumen::IntfId> out;
  std::map<Lumen::IntfId, std::string> owner;  // interface -> the device that has it
  for (const auto& [device, intf] : fixed) owner[intf] = device;
  const auto give = [&](int index, Lumen::IntfId intf, const std::string& why) {
    out[index] = intf;
    owner[intf] = ports.at(index).device;
    auto was = before.find(index);
    if (notes && (was == before.end() || was->second != intf)) {
      notes->push_back("port " + ports.at(index).device + " is " + intf.stringValue() + why);
    }
  };

  std::map<std::string, int> fresh;  // the ports to name, by device name
  for (const auto& [index, port] : ports) {
    if (auto f = fixed.find(port.device); f != fixed.end()) {
      give(index, f->second, " (bridgePorts)");
    } else if (auto b = before.find(index); b != before.end() && !owner.contains(b->second)) {
      give(index, b->second, "");
    } else {
      fresh[port.device] = index;
    }
  }
  // The rule first for all of them, so that a port it names is not beaten to its
  // interface by one it cannot name.
  std::map<std::string, std::pair<int, std::string>> unnamed;  // by device: index, why
  for (const auto& [device, index] : fresh) {
    const auto intf = portIntfByName(ports.at(index));
    if (intf && !owner.contains(*intf)) {
      give(index, *intf, "");
    } else {
      unnamed[device] = {index, intf ? ": " + intf->stringValue() + " is already the port " + owner.at(*intf)
                                     : ": its name ends in no port number"};
    }
  }
  for (const auto& [device, named] : unnamed) {
    const auto& [index, why] = named;
    const std::string kind = kindOf(ports.at(index));
    int n = 1;
    while (owner.contains(Lumen::IntfId(kind + std::to_string(n)))) ++n;
    give(index, Lumen::IntfId(kind + std::to_string(n)), why + "; bridgePorts can name it");
  }
  return out;
}

}  // namespace LinuxNet
