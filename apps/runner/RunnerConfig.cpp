// Reads a configuration file into the runner's model, checking each value where it is
// read, so that a refusal names the value at fault and a model that comes back is whole.

#include "apps/runner/RunnerConfig.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "apps/runner/Names.h"
#include "platform/cfm/CcmWire.h"
#include "platform/kiln/Errors.h"

namespace Runner {

using Json::Fields;
using Json::Node;
using Json::memberPath;
using Json::shown;
using nlohmann::json;

namespace {

// Linux device names: 1-15 bytes (IFNAMSIZ less the terminator), no '/', ':' or spaces.
bool isDeviceName(std::string_view name) {
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == ':' || std::isspace(static_cast<unsigned char>(c)) || c == '\0';
  });
}

std::optional<std::vector<std::uint8_t>> fromHex(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      c = char(std::tolower(static_cast<unsigned char>(c)));
      return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(std::uint8_t(hi << 4 | lo));
  }
  return bytes;
}

// Bytes of an MA name whose format gives it a fixed size; 0 where any length goes.
std::size_t fixedMaNameBytes(Cfm::MaNameFormat format) {
  switch (format) {
    case Cfm::maNameFormatPrimaryVid:
    case Cfm::maNameFormatUint16:
      return 2;
    case Cfm::maNameFormatRfc2685VpnId:
      return 7;  // 3-byte OUI and 4-byte VPN index
    default:
      return 0;
  }
}

// An ICC-based MEG ID (ITU-T Y.1731) is at most 13 characters: up to 6 of ITU carrier
// code, the rest unique MEG code.
std::size_t maxMaNameBytes(Cfm::MaNameFormat format) {
  return format == Cfm::maNameFormatIccBased ? 13 : Cfm::MaName::maxBytes;
}

std::string byteCount(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

class ConfigParser {
 public:
  ConfigParser(const std::string& file, const json& root, const std::string& bridge = {})
      : file_(file), root_(root), bridgeOverride_(bridge) {}

  RunnerConfig parse() {
    Fields top(Node(file_, root_, ""),
               {"bridgeMac", "interfaces", "switchports", "vlans", "cfm", "aleStatus", "limits",
                "bridge", "bridgePorts", "bridgeVlan"},
               "a JSON object");
    if (auto n = top.find("bridge")) {
      const std::string& dev = n->string("a kernel device name");
      if (!isDeviceName(dev)) {
        n->fail(json(dev).dump() + " is not a kernel device name (1-15 characters, no '/', ':' or spaces)");
      }
      config_.bridge = dev;
    }
    if (!bridgeOverride_.empty()) {
      if (!isDeviceName(bridgeOverride_)) {
        throw ConfigError("--bridge: " + json(bridgeOverride_).dump() +
                          " is not a kernel device name (1-15 characters, no '/', ':' or spaces)");
      }
      config_.bridge = bridgeOverride_;
    }
    if (config_.bridge.empty()) {
      for (const char* key : {"bridgePorts", "bridgeVlan"}) {
        if (auto n = top.find(key)) n->fail("only goes with a bridge (\"bridge\" or --bridge)");
      }
      config_.bridgeMac = bridgeMac(top.get("bridgeMac"));
    } else {
      // The bridge gives these; two sources of one fact would contradict each other.
      for (const char* key : {"bridgeMac", "interfaces", "switchports", "vlans"}) {
        if (auto n = top.find(key)) n->fail("comes from the bridge " + config_.bridge + "; leave it out");
      }
      if (auto n = top.find("bridgePorts")) bridgePorts(*n);
      if (auto n = top.find("bridgeVlan")) config_.bridgeVlan = Lumen::VlanId(vlan(*n));
      return parseRest(top);
    }
    // Interfaces first: everything else refers to them.
    if (auto n = top.find("interfaces")) interfaces(*n);
    return parseRest(top);
  }

 private:
  RunnerConfig parseRest(const Fields& top) {
    if (auto n = top.find("switchports")) switchports(*n);
    if (auto n = top.find("vlans")) vlans(*n);
    if (auto n = top.find("cfm")) cfm(*n);
    if (auto n = top.find("aleStatus")) aleStatus(*n);
    if (auto n = top.find("limits")) limits(*n);
    return std::move(config_);
  }

  void limits(const Node& node) {
    Fields f(node, {"ccmDatabaseEntries", "mipCcmDatabaseEntries"}, "an object");
    const auto entries = [](const Node& n) {
      return std::uint32_t(n.integer(0, CfmAgent::Config::maxDbEntryLimit, "a number of entries"));
    };
    if (auto n = f.find("ccmDatabaseEntries")) config_.limits.ccmDatabaseEntries = entries(*n);
    if (auto n = f.find("mipCcmDatabaseEntries")) config_.limits.mipCcmDatabaseEntries = entries(*n);
  }

  void bridgePorts(const Node& node) {
    std::map<IntfId, std::string> taken;
    for (const auto& [device, intfNode] : node.members("an object of port device -> interface name")) {
      if (!isDeviceName(device)) {
        intfNode.fail(json(device).dump() + " is not a kernel device name (1-15 characters, no '/', ':' or spaces)");
      }
      const IntfId intf = intfName(intfNode, intfNode.string("an interface name"));
      if (auto [it, isNew] = taken.try_emplace(intf, device); !isNew) {
        intfNode.fail(intf.stringValue() + " is already the port " + it->second);
      }
      config_.bridgePorts[device] = intf;
    }
  }
  EthAddr mac(const Node& node, const std::string& text) {
    auto mac = EthAddr::fromString(text);
    if (!mac) node.fail(json(text).dump() + " is not a MAC address (aa:bb:cc:dd:ee:ff)");
    return *mac;
  }

  EthAddr bridgeMac(const Node& node) {
    const EthAddr addr = mac(node, node.string("a MAC address"));
    if (!addr.isUnicast())
      node.fail(addr.stringValue() + " is a group address; the bridge MAC is unicast");
    if (addr.isZero()) node.fail("00:00:00:00:00:00 is not a usable bridge MAC address");
    return addr;
  }

  // An interface name as written, normalised; only Ethernet and port-channel interfaces
  // carry CFM frames.
  IntfId intfName(const Node& node, const std::string& name) {
    IntfId intf;
    try {
      intf = IntfId(name);
    } catch (const Kiln::RangeException&) {
      node.fail(json(name).dump() + " is not an interface name");
    }
    if (!Lumen::EthIntfId::isEthIntfId(intf) &&
        !Lumen::PortChannelIntfId::isPortChannelIntfId(intf)) {
      node.fail(intf.stringValue() + " is not an Ethernet or Port-Channel interface");
    }
    return intf;
  }

  // An interface named elsewhere than in "interfaces": it must be one of the map's.
  IntfId knownIntf(const Node& node, const std::string& name) {
    const IntfId intf = intfName(node, name);
    // A bridge's ports come and go while the agent runs: a MEP may name one not there yet.
    if (config_.bridge.empty() && !config_.interfaces.contains(intf)) {
      node.fail(intf.stringValue() + " is not in interfaces");
    }
    return intf;
  }

  // Interface -> device name, or -> {"device": name, "mtu": bytes}.
  void interfaces(const Node& node) {
    std::map<IntfId, std::string> writtenAs;
    for (const auto& [name, entry] : node.members("an object of interface -> device name")) {
      const IntfId intf = intfName(entry, name);
      if (auto [it, isNew] = writtenAs.try_emplace(intf, name); !isNew) {
        entry.fail("the same interface as " + memberPath(node.path(), it->second));
      }
      std::optional<Node> device = entry;
      if (entry.value().is_object()) {
        Fields f(entry, {"device", "mtu"}, "an interface");
        device = f.get("device");
        // Linux's own bounds for an Ethernet device's MTU.
        if (auto n = f.find("mtu")) config_.mtus[intf] = std::uint32_t(n->integer(68, 65535, "an MTU"));
      }
      const std::string& dev = device->string("a kernel device name");
      if (!isDeviceName(dev)) {
        device->fail(json(dev).dump() +
                     " is not a kernel device name (1-15 characters, no '/', ':' or spaces)");
      }
      config_.interfaces[intf] = dev;
    }
  }

  std::uint16_t vlan(const Node& node) { return std::uint16_t(node.integer(1, 4094, "a VLAN")); }
  std::uint16_t vlanOrNone(const Node& node, const std::string& what) {
    return std::uint16_t(node.integer(0, 4094, what, "0-4094, 0 for none"));
  }

  // One VLAN or an [outer, inner] pair; inner 0 for none.
  std::pair<std::uint16_t, std::uint16_t> vlanPair(const Node& node) {
    if (!node.value().is_array()) return {vlan(node), 0};
    auto items = node.elements("");
    if (items.empty() || items.size() > 2) {
      node.fail("expected a VLAN or [outer VLAN, inner VLAN], got an array of " +
                std::to_string(items.size()));
    }
    return {vlan(items[0]), items.size() == 2 ? vlanOrNone(items[1], "an inner VLAN") : 0};
  }

  using XlateTable = std::map<Bridging::VlanXlateKey, Bridging::VlanXlateMapping>;

  void translations(const Node& node, XlateTable& table) {
    std::map<Bridging::VlanXlateKey, std::string> seen;
    for (const Node& entry : node.elements("an array of {\"from\": ..., \"to\": ...}")) {
      Fields f(entry, {"from", "to"}, "an object {\"from\": ..., \"to\": ...}");
      const Node from = f.get("from");
      const auto [outer, inner] = vlanPair(from);
      const auto [vlanTo, innerTo] = vlanPair(f.get("to"));
      const Bridging::VlanXlateKey key{outer, inner};
      if (auto [it, isNew] = seen.try_emplace(key, entry.path()); !isNew) {
        from.fail("VLANs " + std::to_string(outer) + "/" + std::to_string(inner) +
                  " are already translated by " + it->second);
      }
      table[key] = Bridging::VlanXlateMapping{vlanTo, innerTo};
    }
  }

  void switchports(const Node& node) {
    for (const auto& [name, port] : node.members("an object of interface -> switchport")) {
      const IntfId intf = knownIntf(port, name);
      Fields f(
          port,
          {"mode", "portVlan", "tpid", "allowedVlans", "ingressTranslation", "egressTranslation"},
          "an object");
      Switchport sp;
      if (auto n = f.find("mode")) {
        const std::string& text = n->string("a switchport mode");
        auto mode = valueNamed(text, switchIntfModeNames);
        if (!mode)
          n->fail(json(text).dump() + " is not a switchport mode (" +
                  nameList(switchIntfModeNames) + ")");
        sp.mode = *mode;
      }
      if (auto n = f.find("portVlan")) {
        sp.portVlan = Lumen::VlanIdOrNone(vlanOrNone(*n, "a port VLAN"));
      }
      if (auto n = f.find("tpid")) sp.tpid = tpid(*n);
      if (auto n = f.find("ingressTranslation")) translations(*n, sp.ingressVlanXlate);
      if (auto n = f.find("allowedVlans")) {
        if (sp.mode != Bridging::switchIntfModeTrunk) {
          n->fail("only a trunk carries tagged VLANs (mode is " + switchIntfModeName(sp.mode) +
                  ")");
        }
        std::set<std::uint16_t> allowed;
        for (const Node& v : n->elements("an array of VLANs")) {
          const auto id = vlan(v);
          if (!allowed.insert(id).second) v.fail(std::to_string(id) + " is listed twice");
          sp.egressVlanXlate[{id, 0}] = Bridging::VlanXlateMapping{id, 0};
        }
      }
      // Explicit egress entries override the identity entries of allowedVlans.
      if (auto n = f.find("egressTranslation")) {
        XlateTable egress;
        translations(*n, egress);
        for (const auto& [key, mapping] : egress) sp.egressVlanXlate[key] = mapping;
      }
      config_.switchports[intf] = std::move(sp);
    }
  }

  // A number, or a string of four hex digits after "0x". Values below 0x0600 are frame
  // lengths, not EtherTypes.
  std::uint16_t tpid(const Node& node) {
    const std::string refused = " is not a TPID (0 for 0x8100, or 0x0600-0xffff)";
    std::optional<std::uint64_t> value;
    if (node.value().is_string()) {
      const std::string& text = node.value().get_ref<const std::string&>();
      if (text.size() == 6 && (text.starts_with("0x") || text.starts_with("0X"))) {
        if (auto bytes = fromHex(text.substr(2)))
          value = std::uint64_t((*bytes)[0]) << 8 | (*bytes)[1];
      }
    } else if (node.isNonNegativeInteger()) {
      value = node.value().get<std::uint64_t>();
    }
    if (!value || *value > 0xffff || (*value != 0 && *value < 0x0600)) {
      node.fail(shown(node.value()) + refused);
    }
    return std::uint16_t(*value);
  }

  std::map<EthAddr, IntfId> hosts(const Node& node) {
    std::map<EthAddr, IntfId> hosts;
    std::map<EthAddr, std::string> writtenAs;
    for (const auto& [text, intfNode] : node.members("an object of MAC address -> interface")) {
      const EthAddr addr = mac(intfNode, text);
      if (!addr.isUnicast())
        intfNode.fail(addr.stringValue() + " is a group address; hosts are unicast");
      if (auto [it, isNew] = writtenAs.try_emplace(addr, text); !isNew) {
        intfNode.fail("the same address as " + memberPath(node.path(), it->second));
      }
      hosts[addr] = knownIntf(intfNode, intfNode.string("an interface name"));
    }
    return hosts;
  }

  void vlans(const Node& node) {
    for (const auto& [key, entry] : node.members("an object of VLAN -> hosts")) {
      const bool digits =
          !key.empty() && key.size() <= 4 &&
          std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
      const int id = digits ? std::stoi(key) : 0;
      if (id < 1 || id > 4094) entry.fail(json(key).dump() + " is not a VLAN (1-4094)");
      if (key[0] == '0')
        entry.fail(json(key).dump() + " is not a VLAN as written (no leading zeros)");
      Fields f(entry, {"configuredHosts", "learnedHosts"}, "an object");
      Vlan v;
      if (auto n = f.find("configuredHosts")) v.configuredHosts = hosts(*n);
      if (auto n = f.find("learnedHosts")) v.learnedHosts = hosts(*n);
      config_.vlans[Lumen::VlanId(std::uint16_t(id))] = std::move(v);
    }
  }

  // ---- CFM ----

  void cfm(const Node& node) {
    Fields f(node, {"domains", "profiles", "defaultProfile"}, "an object");
    // Profiles first: associations name them.
    if (auto n = f.find("profiles")) profiles(*n);
    if (auto n = f.find("defaultProfile")) {
      Fields p(*n, {"ccmInterval", "ccmEnable"}, "an object");
      config_.defaultProfile = profileSettings(p);
    }
    if (auto n = f.find("domains")) domains(*n);
  }

  Profile profileSettings(const Fields& f) {
    Profile profile;
    if (auto n = f.find("ccmInterval")) {
      const auto interval = n->value().is_string()
                                ? valueNamed(n->value().get<std::string>(), ccmIntervalNames)
                                : std::nullopt;
      if (!interval) {
        n->fail(shown(n->value()) + " is not a CCM interval (" + nameList(ccmIntervalNames) + ")");
      }
      profile.ccmInterval = *interval;
    }
    if (auto n = f.find("ccmEnable")) profile.ccmEnable = n->boolean();
    return profile;
  }

  void profiles(const Node& node) {
    std::map<std::string, std::string> seen;
    for (const Node& entry : node.elements("an array of profiles")) {
      Fields f(entry, {"name", "ccmInterval", "ccmEnable"}, "an object");
      const Node nameNode = f.get("name");
      const std::string& name = nameNode.string("a profile name");
      if (name.empty()) nameNode.fail("a profile name is not empty");
      if (auto [it, isNew] = seen.try_emplace(name, entry.path()); !isNew) {
        nameNode.fail(json(name).dump() + " is already the name of " + it->second);
      }
      config_.profiles[Cfm::CfmProfileName(name)] = profileSettings(f);
    }
  }

  // How a name may be given as a number: never, as a VLAN, or as any 16-bit value.
  enum class NumberName { no, vlan, uint16 };

  // The bytes of a name: "name" as text (or, in the two-byte formats, a number written as
  // two bytes, most significant first), or "nameHex" for formats whose names are binary.
  std::optional<std::string> nameBytes(const Fields& f, NumberName numberName) {
    const auto text = f.find("name");
    const auto hex = f.find("nameHex");
    if (text && hex) hex->fail("give either name or nameHex, not both");
    if (hex) {
      const std::string& digits = hex->string("a string of hex digits");
      auto bytes = fromHex(digits);
      if (!bytes || bytes->empty())
        hex->fail(json(digits).dump() + " is not an even number of hex digits");
      return std::string(bytes->begin(), bytes->end());
    }
    if (!text) return std::nullopt;
    if (numberName != NumberName::no && text->value().is_number()) {
      const auto value = numberName == NumberName::vlan
                             ? text->integer(1, 4094, "a VLAN")
                             : text->integer(0, 0xffff, "a 16-bit number");
      return std::string{char(value >> 8), char(value & 0xff)};
    }
    return text->string(numberName != NumberName::no ? "a string or a number" : "a string");
  }

  // The node a name problem is reported at.
  static Node nameNode(const Fields& f) {
    if (f.has("nameHex")) return f.get("nameHex");
    return f.get("name");
  }

  void checkNameLength(const Fields& f, const std::string& bytes, std::size_t max,
                       std::size_t fixed, const std::string& kind, const std::string& format) {
    const Node node = nameNode(f);
    const std::string what = "a " + format + " " + kind + " name";
    if (fixed && bytes.size() != fixed) {
      node.fail(shown(node.value()) + " is " + byteCount(bytes.size()) + "; " + what + " is " +
                byteCount(fixed));
    }
    if (bytes.empty()) node.fail(what + " is not empty");
    if (bytes.size() > max) {
      node.fail(shown(node.value()) + " is " + byteCount(bytes.size()) + "; " + what +
                " holds at most " + std::to_string(max));
    }
  }

  void domains(const Node& node) {
    std::map<Cfm::MdLevel, std::string> seen;
    for (const Node& entry : node.elements("an array of domains")) {
      Fields f(entry, {"level", "name", "nameHex", "format", "defaultMip", "associations"},
               "an object");
      const Node levelNode = f.get("level");
      const Cfm::MdLevel level(std::uint8_t(levelNode.integer(0, 7, "an MD level")));
      if (auto [it, isNew] = seen.try_emplace(level, entry.path()); !isNew) {
        levelNode.fail("level " + std::to_string(level.value()) + " is already configured by " +
                       it->second);
      }
      Domain domain;
      const auto bytes = nameBytes(f, NumberName::no);
      domain.name.format = bytes ? Cfm::mdNameFormatCharacterString : Cfm::mdNameFormatNone;
      if (auto n = f.find("format")) {
        const std::string& text = n->string("an MD name format");
        auto format = valueNamed(text, mdNameFormatNames);
        if (!format) {
          n->fail(json(text).dump() + " is not an MD name format (" +
                  nameList(mdNameFormatNames) + ")");
        }
        domain.name.format = *format;
      }
      if (domain.name.format == Cfm::mdNameFormatNone) {
        if (bytes) nameNode(f).fail("an MD name of format none has no name");
      } else {
        if (!bytes) entry.fail("\"name\" is missing (the MD name format is not none)");
        const std::size_t fixed = domain.name.format == Cfm::mdNameFormatMacAddressAndUint ? 8 : 0;
        checkNameLength(f, *bytes, Cfm::MdName::maxBytes, fixed, "MD",
                        mdNameFormatName(domain.name.format));
        domain.name.name = Cfm::MdName(*bytes);
      }
      if (auto n = f.find("defaultMip")) domain.defaultMip = n->boolean();
      if (auto n = f.find("associations")) associations(*n, domain);
      config_.domains[level] = std::move(domain);
    }
  }

  void associations(const Node& node, Domain& domain) {
    std::map<Cfm::MaName, std::string> seen;
    for (const Node& entry : node.elements("an array of associations")) {
      Fields f(entry,
               {"name", "nameHex", "format", "direction", "primaryVlan", "profile", "localMeps",
                "faultAlarm"},
               "an object");
      Association ma;
      if (auto n = f.find("format")) {
        const std::string& text = n->string("an MA name format");
        auto format = valueNamed(text, maNameFormatNames);
        if (!format) {
          n->fail(json(text).dump() + " is not an MA name format (" +
                  nameList(maNameFormatNames) + ")");
        }
        ma.name.format = *format;
      }
      const auto bytes =
          nameBytes(f, ma.name.format == Cfm::maNameFormatPrimaryVid ? NumberName::vlan
                       : ma.name.format == Cfm::maNameFormatUint16   ? NumberName::uint16
                                                                     : NumberName::no);
      if (!bytes) entry.fail("\"name\" is missing");
      checkNameLength(f, *bytes, maxMaNameBytes(ma.name.format), fixedMaNameBytes(ma.name.format),
                      "MA", maNameFormatName(ma.name.format));
      // The two names share the MAID.
      const std::size_t md = domain.name.name.stringValue().size();
      const std::size_t room = Cfm::CCMPdu::maxMaNameLenFor(domain.name.format, md);
      if (bytes->size() > room) {
        nameNode(f).fail("the MD name (" + byteCount(md) + ") and this MA name (" +
                         byteCount(bytes->size()) + ") exceed the " + std::to_string(md + room) +
                         " bytes a MAID holds for both");
      }
      ma.name.name = Cfm::MaName(*bytes);
      if (auto [it, isNew] = seen.try_emplace(ma.name.name, entry.path()); !isNew) {
        nameNode(f).fail("the same name as " + it->second);
      }
      if (auto n = f.find("direction")) {
        const std::string& text = n->string("a MEP direction");
        auto direction = valueNamed(text, directionNames);
        if (!direction) n->fail(json(text).dump() + " is not a MEP direction (down, up)");
        ma.direction = *direction;
      }
      if (auto n = f.find("primaryVlan")) {
        ma.primaryVlan = Lumen::VlanIdOrNone(vlanOrNone(*n, "a primary VLAN"));
      }
      if (auto n = f.find("profile")) {
        const std::string& name = n->string("a profile name");
        if (!config_.profiles.contains(Cfm::CfmProfileName(name))) {
          n->fail("no profile named " + json(name).dump() + " in cfm.profiles");
        }
        ma.profile = Cfm::CfmProfileName(name);
      }
      if (auto n = f.find("faultAlarm")) ma.faultAlarm = faultAlarm(*n);
      if (auto n = f.find("localMeps")) localMeps(*n, ma);
      domain.associations[ma.name.name] = std::move(ma);
    }
  }

  Cfm::MepId mepId(const Node& node) {
    return Cfm::MepId(std::uint16_t(node.integer(Cfm::MepId::min, Cfm::MepId::max, "a MEP id")));
  }

  void localMeps(const Node& node, Association& ma) {
    for (const Node& entry : node.elements("an array of local MEPs")) {
      Fields f(entry, {"id", "interface", "remoteMeps", "faultAlarm", "pmSessions"}, "an object");
      const Node idNode = f.get("id");
      const Cfm::MepId id = mepId(idNode);
      if (ma.localMeps.contains(id)) {
        idNode.fail("MEP " + std::to_string(id.value()) +
                    " is already a local MEP of this association");
      }
      LocalMep mep;
      const Node intfNode = f.get("interface");
      mep.intf = knownIntf(intfNode, intfNode.string("an interface name"));
      if (auto n = f.find("remoteMeps")) {
        auto add = [&](const Node& at, Cfm::MepId remote, bool value) {
          if (remote == id) at.fail("MEP " + std::to_string(id.value()) + " is this local MEP");
          mep.remoteMeps[remote] = value;
        };
        if (n->value().is_object()) {
          for (const auto& [key, valueNode] : n->members("")) {
            const bool digits =
                !key.empty() && key.size() <= 4 && key[0] != '0' &&
                std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
            const int remote = digits ? std::stoi(key) : 0;
            if (remote < Cfm::MepId::min || remote > Cfm::MepId::max)
              valueNode.fail(json(key).dump() + " is not a MEP id (1-8191)");
            add(valueNode, Cfm::MepId(std::uint16_t(remote)), valueNode.boolean());
          }
        } else {
          std::set<Cfm::MepId> listed;
          for (const Node& r :
               n->elements("an array of MEP ids, or an object of MEP id -> true/false")) {
            const Cfm::MepId remote = mepId(r);
            if (!listed.insert(remote).second)
              r.fail(std::to_string(remote.value()) + " is listed twice");
            add(r, remote, true);
          }
        }
      }
      if (auto n = f.find("faultAlarm")) mep.faultAlarm = faultAlarm(*n);
      if (auto n = f.find("pmSessions")) pmSessions(*n, mep);
      ma.localMeps[id] = std::move(mep);
    }
  }

  // A time as "500us", "100ms", "1s", "15min" or "1h", within [lo, hi] seconds.
  double duration(const Node& node, double lo, double hi, const std::string& what) {
    static constexpr std::pair<std::string_view, double> units[] = {
        {"us", 1e-6}, {"ms", 1e-3}, {"min", 60}, {"s", 1}, {"h", 3600}};
    const std::string& text = node.string(what + " (a number and us, ms, s, min or h)");
    std::optional<double> value;
    for (const auto& [unit, scale] : units) {
      if (text.size() <= unit.size() || !text.ends_with(unit)) continue;
      const std::string number = text.substr(0, text.size() - unit.size());
      const bool digits = std::all_of(number.begin(), number.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
      if (digits && std::count(number.begin(), number.end(), '.') <= 1 && number.front() != '.' && number.back() != '.') {
        value = std::strtod(number.c_str(), nullptr) * scale;  // too long a number: infinity, refused
      }
      break;
    }
    const auto shownSeconds = [](double v) {
      std::ostringstream out;
      out << v << "s";
      return out.str();
    };
    if (!value || *value < lo || *value > hi) {
      node.fail(shown(node.value()) + " is not " + what + " (" + shownSeconds(lo) + " to " + shownSeconds(hi) +
                ", written as 100ms, 1s, 15min)");
    }
    return *value;
  }

  void pmSessions(const Node& node, LocalMep& mep) {
    std::set<std::string> names;
    std::set<std::pair<std::string, std::uint32_t>> slmTests;
    for (const Node& entry : node.elements("an array of measurement sessions")) {
      Fields f(entry,
               {"name", "kind", "target", "priority", "interval", "dataBytes", "testId", "measurementInterval",
                "history", "thresholds"},
               "an object");
      SoftAle::PmSessionSettings s;
      const Node kindNode = f.get("kind");
      const auto kind = Cfm::pmKindOf(kindNode.string("a session kind"));
      if (!kind) kindNode.fail(shown(kindNode.value()) + " is not a session kind (dmm, slm, 1dm)");
      s.kind = *kind;
      const Node targetNode = f.get("target");
      std::string target;
      if (targetNode.value().is_string()) {
        s.targetMac = mac(targetNode, targetNode.value().get<std::string>());
        if (!s.targetMac->isUnicast() || s.targetMac->isZero()) {
          targetNode.fail(s.targetMac->stringValue() + " is not a unicast address; a session measures one MEP");
        }
        target = s.targetMac->stringValue();
      } else {
        s.targetMepId = mepId(targetNode);
        const auto listed = mep.remoteMeps.find(s.targetMepId);
        if (listed == mep.remoteMeps.end() || !listed->second) {
          targetNode.fail("MEP " + std::to_string(s.targetMepId.value()) +
                          " is not a remote MEP of this MEP's list: its address is learnt from its CCMs");
        }
        target = std::to_string(s.targetMepId.value());
      }
      s.name = Cfm::stringValue(s.kind) + "-" + target;
      if (auto n = f.find("name")) {
        s.name = n->string("a session name");
        const bool printable = std::all_of(s.name.begin(), s.name.end(), [](char c) { return c > ' ' && c < 0x7f; });
        if (s.name.empty() || s.name.size() > 64 || !printable) {
          n->fail(shown(n->value()) + " is not a session name (1-64 printable characters, no spaces)");
        }
      }
      if (!names.insert(s.name).second) {
        (f.has("name") ? f.get("name") : entry).fail("a second session named " + json(s.name).dump());
      }
      if (auto n = f.find("priority")) s.priority = std::uint8_t(n->integer(0, 7, "a VLAN priority"));
      if (auto n = f.find("interval")) s.interval = duration(*n, 0.01, 3600, "a message interval");
      if (auto n = f.find("dataBytes")) {
        s.dataBytes = n->integer(0, SoftAle::PmSessionSettings::maxDataBytes, "a Data TLV length");
      }
      if (auto n = f.find("testId")) {
        if (s.kind != Cfm::PmKind::slm) n->fail("a test id is SLM's; this session is " + Cfm::stringValue(s.kind));
        s.testId = std::uint32_t(n->integer(0, 0xffffffff, "a test id"));
      }
      if (s.kind == Cfm::PmKind::slm && !slmTests.emplace(target, s.testId).second) {
        entry.fail("a second SLM session to " + target + " with test id " + std::to_string(s.testId) +
                   "; the replies could not be told apart");
      }
      if (auto n = f.find("measurementInterval")) {
        s.measurementInterval = duration(*n, 1, 86400, "a measurement interval");
      }
      if (auto n = f.find("history")) s.history = n->integer(1, 1000, "a count of intervals kept");
      if (auto n = f.find("thresholds")) s.thresholds = thresholds(*n);
      mep.pmSessions.push_back(std::move(s));
    }
  }

  SoftAle::PmThresholds thresholds(const Node& node) {
    Fields f(node, {"delayMax", "delayP99", "delayVariation", "farEndLossPercent", "nearEndLossPercent"}, "an object");
    SoftAle::PmThresholds t;
    const auto ns = [&](const char* key, std::optional<std::int64_t>& into) {
      if (auto n = f.find(key)) into = std::int64_t(std::llround(duration(*n, 0, 60, "a delay") * 1e9));
    };
    ns("delayMax", t.delayMax);
    ns("delayP99", t.delayP99);
    ns("delayVariation", t.delayVariation);
    const auto percent = [&](const char* key, std::optional<double>& into) {
      if (auto n = f.find(key)) {
        if (!n->value().is_number() || n->value().get<double>() < 0 || n->value().get<double>() > 100) {
          n->fail(shown(n->value()) + " is not a loss ratio (0-100 percent)");
        }
        into = n->value().get<double>();
      }
    };
    percent("farEndLossPercent", t.farEndLoss);
    percent("nearEndLossPercent", t.nearEndLoss);
    return t;
  }

  FaultAlarm faultAlarm(const Node& node) {
    Fields f(node, {"lowestAlarmPri", "fngAlarmTime", "fngResetTime"}, "an object");
    FaultAlarm alarm;
    if (auto n = f.find("lowestAlarmPri")) {
      const auto pri = n->value().is_string() ? Cfm::lowestAlarmPriOf(n->value().get_ref<const std::string&>())
                                              : std::nullopt;
      if (!pri) {
        std::string names;
        for (auto p = unsigned(Cfm::LowestAlarmPri::allDef); p <= unsigned(Cfm::LowestAlarmPri::noXcon); ++p) {
          names += (names.empty() ? "" : ", ") + Cfm::stringValue(Cfm::LowestAlarmPri(p));
        }
        n->fail(shown(n->value()) + " is not a lowest alarm priority (" + names + ")");
      }
      alarm.lowestAlarmPri = *pri;
    }
    // The bounds IEEE 802.1ag's managed objects give both times.
    const auto seconds = [](const Node& n, const std::string& what) {
      if (!n.value().is_number() || n.value().get<double>() < 2.5 || n.value().get<double>() > 10) {
        n.fail(shown(n.value()) + " is not " + what + " (2.5-10 seconds)");
      }
      return n.value().get<double>();
    };
    if (auto n = f.find("fngAlarmTime")) alarm.fngAlarmTime = seconds(*n, "an alarm time");
    if (auto n = f.find("fngResetTime")) alarm.fngResetTime = seconds(*n, "a reset time");
    return alarm;
  }

  void aleStatus(const Node& node) {
    std::map<Cfm::MdLevel, std::string> seen;
    for (const Node& entry : node.elements("an array of {\"level\": ..., \"defaultMip\": ...}")) {
      Fields f(entry, {"level", "defaultMip"}, "an object");
      const Node levelNode = f.get("level");
      const Cfm::MdLevel level(std::uint8_t(levelNode.integer(0, 7, "an MD level")));
      if (auto [it, isNew] = seen.try_emplace(level, entry.path()); !isNew) {
        levelNode.fail("level " + std::to_string(level.value()) + " is already given by " +
                       it->second);
      }
      config_.aleStatus[level] = f.has("defaultMip") && f.get("defaultMip").boolean();
    }
  }

  const std::string& file_;
  const json& root_;
  std::string bridgeOverride_;
  RunnerConfig config_;
};

}  // namespace

std::string RunnerConfig::deviceName(IntfId intf) const {
  auto it = interfaces.find(intf);
  return it == interfaces.end() ? std::string() : it->second;
}

std::map<SoftAle::MepKey, SoftAle::AlarmSettings> alarmSettings(const RunnerConfig& config) {
  std::map<SoftAle::MepKey, SoftAle::AlarmSettings> settings;
  const auto resolved = [](auto& value, const auto& mep, const auto& ma) {
    if (mep) {
      value = *mep;
    } else if (ma) {
      value = *ma;
    }
  };
  for (const auto& [level, domain] : config.domains) {
    for (const auto& [name, ma] : domain.associations) {
      for (const auto& [id, mep] : ma.localMeps) {
        SoftAle::AlarmSettings& s = settings[{level, name, id}];
        resolved(s.lowestAlarmPri, mep.faultAlarm.lowestAlarmPri, ma.faultAlarm.lowestAlarmPri);
        resolved(s.fngAlarmTime, mep.faultAlarm.fngAlarmTime, ma.faultAlarm.fngAlarmTime);
        resolved(s.fngResetTime, mep.faultAlarm.fngResetTime, ma.faultAlarm.fngResetTime);
      }
    }
  }
  return settings;
}

std::map<SoftAle::MepKey, std::vector<SoftAle::PmSessionSettings>> pmSessions(const RunnerConfig& config) {
  std::map<SoftAle::MepKey, std::vector<SoftAle::PmSessionSettings>> sessions;
  for (const auto& [level, domain] : config.domains) {
    for (const auto& [name, ma] : domain.associations) {
      for (const auto& [id, mep] : ma.localMeps) {
        if (!mep.pmSessions.empty()) sessions[{level, name, id}] = mep.pmSessions;
      }
    }
  }
  return sessions;
}

RunnerConfig parseText(std::string_view text, const std::string& fileName) {
  const json root = Json::parse(text, fileName);
  return ConfigParser(fileName, root).parse();
}

RunnerConfig parseText(std::string_view text, const std::string& fileName, const std::string& bridge) {
  const json root = Json::parse(text, fileName);
  return ConfigParser(fileName, root, bridge).parse();
}

RunnerConfig parse(const std::string& file) { return parse(file, {}); }

RunnerConfig parse(const std::string& file, const std::string& bridge) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ConfigError(file + ": cannot read: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ConfigError(file + ": cannot read: " + std::strerror(errno));
  return parseText(text.str(), file, bridge);
}

}  // namespace Runner
