#pragma once
// How values are named in the configuration file, in the state export and in the tables
// and messages of cfmagentd and cfmctl: one table per kind of value, read both ways.

#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types/Bridging.h"
#include "platform/types/CfmTypes.h"

namespace Runner {

template <class T>
struct Named {
  T value;
  const char* name;
};

inline constexpr Named<Cfm::MdNameFormat> mdNameFormatNames[] = {
    {Cfm::mdNameFormatNone, "none"},
    {Cfm::mdNameFormatDnsLikeName, "dnsLikeName"},
    {Cfm::mdNameFormatMacAddressAndUint, "macAddressAndUint"},
    {Cfm::mdNameFormatCharacterString, "characterString"},
};
inline constexpr Named<Cfm::MaNameFormat> maNameFormatNames[] = {
    {Cfm::maNameFormatPrimaryVid, "primaryVid"},
    {Cfm::maNameFormatCharacterString, "characterString"},
    {Cfm::maNameFormatUint16, "uint16"},
    {Cfm::maNameFormatRfc2685VpnId, "rfc2685VpnId"},
    {Cfm::maNameFormatIccBased, "iccBased"},
};
inline constexpr Named<Cfm::MepDirection> directionNames[] = {
    {Cfm::mepDirectionDown, "down"},
    {Cfm::mepDirectionUp, "up"},
};
inline constexpr Named<Bridging::SwitchIntfMode> switchIntfModeNames[] = {
    {Bridging::switchIntfModeAccess, "access"},
    {Bridging::switchIntfModeTrunk, "trunk"},
    {Bridging::switchIntfModeDot1qTunnel, "dot1q-tunnel"},
    {Bridging::switchIntfModeTap, "tap"},
    {Bridging::switchIntfModeTool, "tool"},
    {Bridging::switchIntfModeRouted, "routed"},
};
// The intervals a CCM can carry, and only those: a profile cannot ask for another.
inline constexpr Named<Cfm::CcmTxInterval> ccmIntervalNames[] = {
    {Cfm::ccmTxIntervals[0], "3.3ms"}, {Cfm::ccmTxIntervals[1], "10ms"},
    {Cfm::ccmTxIntervals[2], "100ms"}, {Cfm::ccmTxIntervals[3], "1s"},
    {Cfm::ccmTxIntervals[4], "10s"},   {Cfm::ccmTxIntervals[5], "1min"},
    {Cfm::ccmTxIntervals[6], "10min"},
};
static_assert(std::size(ccmIntervalNames) == Cfm::ccmTxIntervals.size());

template <class T, std::size_t N>
const char* nameOf(const T& value, const Named<T> (&names)[N]) {
  for (const auto& entry : names) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

template <class T, std::size_t N>
std::optional<T> valueNamed(std::string_view name, const Named<T> (&names)[N]) {
  for (const auto& entry : names) {
    if (name == entry.name) return entry.value;
  }
  return std::nullopt;
}

// "none, dnsLikeName, ...": what a refusal offers instead.
template <class T, std::size_t N>
std::string nameList(const Named<T> (&names)[N]) {
  std::string text;
  for (const auto& entry : names) text += (text.empty() ? "" : ", ") + std::string(entry.name);
  return text;
}

// The name of a value; a value without one (read from a frame or the database) as its
// number.
std::string mdNameFormatName(Cfm::MdNameFormat format);
std::string maNameFormatName(Cfm::MaNameFormat format);
std::string directionName(Cfm::MepDirection direction);
std::string switchIntfModeName(Bridging::SwitchIntfMode mode);
// "1s", "100ms", ...; seconds with an "s" for an interval that is none of the standard ones.
std::string ccmIntervalName(Cfm::CcmTxInterval interval);

// A name's bytes as text that is valid UTF-8 whatever the bytes: printable ASCII as is, a
// backslash doubled, any other byte as \xNN. Names come from frames as well as from files.
std::string nameText(std::string_view bytes);

}  // namespace Runner
