// The state export: its sections and keys as documented, and the counter table made from it.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "apps/runner/StateJson.h"
#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmStatus.h"

namespace {

using CfmAgent::CounterId;
using Lumen::IntfId;
using nlohmann::json;

const Lumen::EthAddr hostA = *Lumen::EthAddr::fromString("02:00:00:00:00:0a");

TEST(StateJson, SectionsHaveTheDocumentedShape) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  const json none =
      json::parse(R"({"counters": {}, "ccmDatabase": {}, "mipCcmDatabase": {}, "databaseFill": {}, "aleConfig": {},
                      "mdStatus": {}, "aleMeps": {}, "pm": {}, "sockets": {}, "bridging": {}})");
  EXPECT_EQ(Runner::stateJson(*manager), none);
  // A status whose children were never made is as empty.
  auto status = Kiln::ptrCast<CfmAgent::Status>(manager->entityIs("cfm/status", "CfmAgent::Status"));
  EXPECT_EQ(Runner::stateJson(*manager), none);

  // A status and ALE configuration as a running agent leaves them.
  auto counter = status->counterIs();
  auto e2 = counter->intfCounterIs(IntfId("Ethernet2"));
  auto early = e2->mdCounterIs(Cfm::MdLevel(Cfm::MdLevel::invalid))->opCodeCounterIs(Cfm::opCodeNone);
  early->counterIs(CounterId::inErrorEthHdrTooShort_, 2);
  early->counterIs(CounterId(31), 1);  // read from the database without a name
  early->counterIs(CounterId::in_, 0);  // a provisional count moved on to its opcode
  auto ccm = e2->mdCounterIs(Cfm::MdLevel(3))->opCodeCounterIs(Cfm::opCodeCcm);
  ccm->counterIs(CounterId::out_, 7);
  ccm->counterIs(CounterId::in_, 18446744073709551615ull);
  counter->intfCounterIs(IntfId("Ethernet10"))->mdCounterIs(Cfm::MdLevel(3))->opCodeCounterIs(Cfm::opCodeLbm)
      ->counterIs(CounterId::in_, 1);

  auto md3 = status->ccmDbIs()->ccmMdIs(Cfm::MdLevel(3));
  auto info = md3->ccmMaIs(Cfm::MaName("demo-ma"))->ccmMepInfoIs(Cfm::MepId(200));
  info->vlanIdIs(Lumen::VlanId(10));
  info->intfIs(IntfId("Ethernet1"));
  info->srcMacIs(hostA);
  info->lastCcmReceivedTimeIs(1700000000.25);
  // Names come from frames: any bytes.
  md3->ccmMaIs(Cfm::MaName(std::string("a\\b\x01\xff", 5)))->ccmMepInfoIs(Cfm::MepId(7));
  status->mipCcmDbIs()->vlanIs(Lumen::VlanId(10))->entryIs(hostA, IntfId("Ethernet1"));
  status->mdStatusIs(Cfm::MdLevel(3))->defaultMipIs(true);
  status->mdStatusIs(Cfm::MdLevel(5));
  // The configuration's limits; the MIP CCM database's is left at the default.
  Kiln::ptrCast<CfmAgent::Config>(manager->entityIs("cfm/config", "CfmAgent::Config"))->ccmDbEntryLimitIs(2);

  auto ale = Kiln::ptrCast<Cfm::AleConfig>(manager->entityIs("cfm/aleConfig", "Cfm::AleConfig"));
  auto md = ale->mdConfigIs(Cfm::MdLevel(3));
  md->mdNameIs({Cfm::MdName("demo-md"), Cfm::mdNameFormatCharacterString});
  md->defaultMipIs(true);
  auto ma = md->maConfigIs(Cfm::MaName("demo-ma"));
  ma->maNameIs({Cfm::MaName("demo-ma"), Cfm::maNameFormatCharacterString});
  ma->directionIs(Cfm::mepDirectionUp);
  ma->primaryVlanIdIs(Lumen::VlanIdOrNone(10));
  ma->ccmEnableIs(true);
  ma->ccmTxIntervalIs(Cfm::CcmTxInterval(0.1));
  auto mep = ma->localMepConfigIs(Cfm::MepId(100));
  mep->intfIdIs(IntfId("Ethernet1"));
  mep->remoteMepConfigIs(Cfm::MepId(200), true);
  mep->remoteMepConfigIs(Cfm::MepId(201), false);
  const json expected = json::parse(R"({
    "counters": { "Ethernet10": { "3": { "3": { "in": 1 } } },
                  "Ethernet2": { "3": { "1": { "in": 18446744073709551615, "out": 7 } },
                                 "8": { "0": { "in": 0, "inErrorEthHdrTooShort": 2, "31": 1 } } } },
    "ccmDatabase": { "3": {
      "demo-ma": { "200": { "vlanId": 10, "intf": "Ethernet1", "srcMac": "02:00:00:00:00:0a",
                            "lastCcmReceivedTime": 1700000000.25 } },
      "a\\\\b\\x01\\xff": { "7": { "vlanId": 1, "intf": "", "srcMac": "00:00:00:00:00:00",
                                   "lastCcmReceivedTime": 0.0 } } } },
    "mipCcmDatabase": { "10": { "02:00:00:00:00:0a": "Ethernet1" } },
    "databaseFill": { "ccmDatabase": { "entries": 2, "limit": 2 }, "mipCcmDatabase": { "entries": 1, "limit": 65536 } },
    "aleConfig": { "3": { "mdName": "demo-md", "mdNameFormat": "characterString", "defaultMip": true,
      "maConfig": { "demo-ma": { "maName": "demo-ma", "maNameFormat": "characterString", "direction": "up",
        "primaryVlanId": 10, "ccmEnable": true, "ccmTxInterval": 0.1,
        "localMepConfig": { "100": { "intfId": "Ethernet1",
                                     "remoteMepConfig": { "200": true, "201": false } } } } } } },
    "mdStatus": { "3": { "defaultMip": true }, "5": { "defaultMip": false } },
    "aleMeps": {},
    "pm": {},
    "sockets": {},
    "bridging": {}
  })");
  const json state = Runner::stateJson(*manager);
  // Whatever bytes a frame carried, the export is text that serialises.
  EXPECT_EQ(state, expected) << state.dump(2);

  // Each database's table says how full it is.
  const auto firstLine = [](const std::string& table) { return table.substr(0, table.find('\n')); };
  EXPECT_EQ(firstLine(Runner::showCcmDatabase(state)), "Entries: 2 of 2 (full: new ones are not learnt)");
  EXPECT_EQ(firstLine(Runner::showMipCcmDatabase(state)), "Entries: 1 of 65536");

  // The counter table reads in natural order (Ethernet2 before Ethernet10) and shows what
  // was counted: not the 0 a provisional count leaves behind.
  EXPECT_EQ(Runner::showCounters(state),
            "Interface   Level  Opcode  Counter                               Value\n"
            "----------  -----  ------  ---------------------  --------------------\n"
            "Ethernet2   3      1 CCM   in                     18446744073709551615\n"
            "Ethernet2   3      1 CCM   out                                       7\n"
            "Ethernet2   -      -       inErrorEthHdrTooShort                     2\n"
            "Ethernet2   -      -       31                                        1\n"
            "Ethernet10  3      3 LBM   in                                        1\n");
}

// The ALE layer's report of its MEPs, with the agent's loopback and linktrace counts of the
// MEP's interface and level: the export, and the two tables made from it.
TEST(StateJson, MepsAndRemoteMeps) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  auto ale = Kiln::ptrCast<Cfm::AleStatus>(manager->entityIs("cfm/aleStatus", "Cfm::AleStatus"));
  auto md = ale->mdStatusIs(Cfm::MdLevel(5));
  ale->mdStatusIs(Cfm::MdLevel(3));  // a level with no MEP is left out
  auto mep = md->maStatusIs(Cfm::MaName("ma-1"))->localMepStatusIs(Cfm::MepId(10));
  mep->intfId = IntfId("Ethernet1");
  mep->ccmsSent = 42;
  mep->rdiSent = true;
  mep->defects = (1u << unsigned(Cfm::MepDefect::rdiCcm)) | (1u << unsigned(Cfm::MepDefect::remoteCcm));
  mep->highestDefect = Cfm::MepDefect::remoteCcm;
  mep->xconCcms = 3;
  mep->pm.dmmIn = 9, mep->pm.dmrOut = 8, mep->pm.notSent = 1;
  mep->ccmSequenceErrors = 1;
  mep->lowestAlarmPri = Cfm::LowestAlarmPri::xcon;
  mep->fngAlarmTime = 2.5;
  mep->fngResetTime = 10;
  mep->fngState = Cfm::FngState::defectReported;
  mep->faultAlarm = true;
  mep->faultAlarmDefect = Cfm::MepDefect::remoteCcm;
  mep->remoteMepStatus = {
      {Cfm::MepId(20), Cfm::RemoteMepState::ok, 1700000000.5, 40, 1, true, hostA, 2, 1, 1699999990.25, 2},
      {Cfm::MepId(21), Cfm::RemoteMepState::failed, 0, 0, 0, false, Lumen::EthAddr(), 0, 0, 1699999999, 0},
  };
  auto status = Kiln::ptrCast<CfmAgent::Status>(manager->entityIs("cfm/status", "CfmAgent::Status"));
  // Another level's and another opcode's counts are not the MEP's.
  for (auto [level, op, id, n] : {std::tuple{5, Cfm::opCodeLbr, CounterId::out_, 7}, {5, Cfm::opCodeLbr, CounterId::in_, 5},
                                  {5, Cfm::opCodeLtr, CounterId::in_, 4}, {6, Cfm::opCodeLbr, CounterId::out_, 100},
                                  {5, Cfm::opCodeLbm, CounterId::in_, 100}}) {
    status->counterIs()->intfCounterIs(IntfId("Ethernet1"))->mdCounterIs(Cfm::MdLevel(level))->opCodeCounterIs(op)->counterIs(id, n);
  }
  const json state = Runner::stateJson(*manager);
  EXPECT_EQ(state.at("aleMeps"), json::parse(R"({"5": {"ma-1": {"10": {
      "intfId": "Ethernet1", "fngState": "fngDefectReported", "faultAlarm": "remoteCcm", "lowPrDef": "xcon",
      "fngAlarmTime": 2.5, "fngResetTime": 10.0, "highestPrDefect": "remoteCcm", "defects": ["rdiCcm", "remoteCcm"],
      "presentRdi": true, "cciSentCcms": 42, "ccmSequenceErrors": 1, "errorCcms": 0, "xconCcms": 3,
      "lbrIn": 5, "lbrOut": 7, "unexpLtrIn": 4, "pmResponder": {"dmmIn": 9, "dmrOut": 8, "slmIn": 0, "slrOut": 0,
      "oneDmIn": 0, "tooShort": 0, "tooLarge": 0, "notSent": 1}, "remoteMeps": {
        "20": {"rMepState": "ok", "rMepFailedOkTime": 1699999990.25, "flaps": 2, "lastCcmTime": 1700000000.5,
               "ccmsReceived": 40, "sequenceErrors": 1, "rdi": true, "macAddress": "02:00:00:00:00:0a",
               "portStatusTlv": 2, "interfaceStatusTlv": 1},
        "21": {"rMepState": "failed", "rMepFailedOkTime": 1699999999.0, "flaps": 0, "lastCcmTime": 0.0,
               "ccmsReceived": 0, "sequenceErrors": 0, "rdi": false, "macAddress": "00:00:00:00:00:00",
               "portStatusTlv": 0, "interfaceStatusTlv": 0}}}}}})")) << state.dump(2);
  EXPECT_EQ(Runner::showMeps(state),
            "Level  MA    MEP  Interface  FNG state          Fault alarm  Highest defect  Defects           RDI  "
            "CCMs sent  Seq errors  Error CCMs  Xcon CCMs\n"
            "-----  ----  ---  ---------  -----------------  -----------  --------------  ----------------  ---  "
            "---------  ----------  ----------  ---------\n"
            "    5  ma-1   10  Ethernet1  fngDefectReported  remoteCcm    remoteCcm       rdiCcm remoteCcm  yes  "
            "       42           1           0          3\n");
  EXPECT_EQ(Runner::showRemoteMeps(state),
            "Level  MA    MEP  Remote MEP  State   Since                        Flaps  Last CCM                     "
            "CCMs  RDI  MAC                Port status  Interface status\n"
            "-----  ----  ---  ----------  ------  ---------------------------  -----  ---------------------------  "
            "----  ---  -----------------  -----------  ----------------\n"
            "    5  ma-1   10          20  ok      2023-11-14 22:13:10.250 UTC      2  2023-11-14 22:13:20.500 UTC  "
            "  40  yes  02:00:00:00:00:0a            2                 1\n"
            "    5  ma-1   10          21  failed  2023-11-14 22:13:19.000 UTC      0  -                            "
            "   0  no   00:00:00:00:00:00            0                 0\n");
}

// A MEP's sessions: every interval in the export, the current and the last in the table.
TEST(StateJson, PmSessions) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  auto ale = Kiln::ptrCast<Cfm::AleStatus>(manager->entityIs("cfm/aleStatus", "Cfm::AleStatus"));
  auto mep = ale->mdStatusIs(Cfm::MdLevel(5))->maStatusIs(Cfm::MaName("ma-1"))->localMepStatusIs(Cfm::MepId(10));
  ale->mdStatusIs(Cfm::MdLevel(5))->maStatusIs(Cfm::MaName("ma-1"))->localMepStatusIs(Cfm::MepId(11));  // none
  Cfm::PmIntervalAleStatus current{1700000900, 0, 3, 3, {3, 41'000, 2'000'000, 700'000, 60'000, 1'999'000, 12'345}};
  Cfm::PmIntervalAleStatus last{1700000000, 1700000900, 9000, 8990, {}};
  last.farEndFrames = 9000, last.farEndLost = 9, last.nearEndFrames = 8990, last.nearEndLost = 0;
  mep->pmSessions = {{"delay", Cfm::PmKind::dmm, Cfm::MepId(20), hostA, 0, 0.1, 0, 0, 2, {current}},
                     {"loss", Cfm::PmKind::slm, Cfm::MepId(), hostA, 7, 1, 4, 0, 0, {current, last}}};
  const json state = Runner::stateJson(*manager, {}, {"pm"});
  EXPECT_EQ(state.at("pm")["5"]["ma-1"].size(), 1u);
  EXPECT_EQ(state.at("pm")["5"]["ma-1"]["10"]["loss"], json::parse(R"({"kind": "slm", "targetMac": "02:00:00:00:00:0a",
      "testId": 7, "interval": 1.0, "noTarget": 4, "notSent": 0, "kernelSendTimes": 0, "intervals": [
        {"start": 1700000900.0, "end": null, "sent": 3, "received": 3, "delayNs": {"count": 3, "min": 41000,
         "max": 2000000, "mean": 700000, "p50": 60000, "p99": 1999000, "variation": 12345}},
        {"start": 1700000000.0, "end": 1700000900.0, "sent": 9000, "received": 8990,
         "farEndLoss": {"frames": 9000, "lost": 9, "percent": 0.1}, "nearEndLoss": {"frames": 8990, "lost": 0,
         "percent": 0.0}}]})")) << state.dump(2);
  EXPECT_EQ(Runner::showPm(state),
            "Level  MA    MEP  Session  Kind  Target             Interval     Sent  Received  Delay min/avg/max ms  "
            "p50 ms  p99 ms  Variation ms   Far-end loss  Near-end loss\n"
            "-----  ----  ---  -------  ----  -----------------  -----------  ----  --------  --------------------  "
            "------  ------  ------------  -------------  -------------\n"
            "    5  ma-1   10  delay    dmm   20                 current         3         3     0.041/0.700/2.000  "
            " 0.060   1.999         0.012              -              -\n"
            "    5  ma-1   10  loss     slm   02:00:00:00:00:0a  current         3         3     0.041/0.700/2.000  "
            " 0.060   1.999         0.012              -              -\n"
            "    5  ma-1   10  loss     slm   02:00:00:00:00:0a  to 22:28:20  9000      8990                     -  "
            "     -       -             -  0.10% of 9000  0.00% of 8990\n");
}

}  // namespace
