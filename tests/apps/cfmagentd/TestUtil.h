#pragma once
// What the runner's suites share: scratch directories, frames as a peer sends them, the
// demo configuration with edits, and counters read from a state export.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace RunnerTest {

// A directory of its own, removed unless the test failed (what was left helps).
class ScratchDir {
 public:
  ScratchDir() {
    std::string dir = testing::TempDir() + "cfmagentd-test-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = dir;
  }
  ~ScratchDir() {
    if (!testing::Test::HasFailure()) std::filesystem::remove_all(path_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline nlohmann::json demoConfig() { return nlohmann::json::parse(readFile(CFM_DEMO_CONFIG)); }

// ---- frames

inline std::string mac(std::uint64_t v) {
  std::string m;
  for (int shift = 40; shift >= 0; shift -= 8) m += char(v >> shift);
  return m;
}
inline std::string u16(std::uint16_t v) { return {char(v >> 8), char(v)}; }
inline std::string u32(std::uint32_t v) { return u16(std::uint16_t(v >> 16)) + u16(std::uint16_t(v)); }

const std::string hostA = mac(0x02000000000a);
const std::string bridgeMac = mac(0x020000000001);  // the demo configuration's
inline std::string ccmGroup(int level) { return mac(0x0180c2000030 + std::uint64_t(level)); }

// dst, src, an 802.1Q tag when vlan is not 0 (TPID as given), EtherType 0x8902, payload.
inline std::string ethernet(const std::string& dst, const std::string& src, std::uint16_t vlan,
                            const std::string& cfm, std::uint16_t tpid = 0x8100) {
  std::string f = dst + src;
  if (vlan) f += u16(tpid) + u16(vlan);
  return f + u16(0x8902) + cfm;
}

// A CCM with a character-string MD and MA name, interval 1 s, and the End TLV.
inline std::string ccm(int level, std::uint16_t mepId, const std::string& md = "demo-md",
                       const std::string& ma = "demo-ma") {
  std::string maid = std::string{4, char(md.size())} + md + std::string{2, char(ma.size())} + ma;
  maid.resize(48, '\0');
  return std::string{char(level << 5), 1, 4, 70} + u32(1) + u16(mepId) + maid +
         std::string(16, '\0') + std::string(1, '\0');
}

// An LBM with the End TLV.
inline std::string lbm(int level, std::uint32_t transactionId) {
  return std::string{char(level << 5), 3, 0, 4} + u32(transactionId) + std::string(1, '\0');
}

// ---- counters

// The non-zero counts of a state export's "counters" section, keyed
// "interface/level/opcode/name": an entry that is absent and one at 0 read the same.
inline std::map<std::string, std::uint64_t> counts(const nlohmann::json& counters) {
  std::map<std::string, std::uint64_t> out;
  for (const auto& [intf, levels] : counters.items()) {
    for (const auto& [level, ops] : levels.items()) {
      for (const auto& [op, names] : ops.items()) {
        for (const auto& [name, value] : names.items()) {
          if (value.get<std::uint64_t>() != 0) {
            out[intf + "/" + level + "/" + op + "/" + name] = value.get<std::uint64_t>();
          }
        }
      }
    }
  }
  return out;
}

using Counts = std::map<std::string, std::uint64_t>;

}  // namespace RunnerTest
