// ccmecho: the far end of many CCM sessions at once, for bench/ale-scale.sh. It watches
// every CCM that arrives on IFNAME, per (VLAN, MEP id), and can answer each with a CCM of
// the remote MEP that MEP expects: MEP id + OFFSET, the same MAID, MD level, VLAN tag and
// interval, from this device's own address to the level's CCM group address, numbered per
// MEP from 1. So one process stands in for as many remote MEPs as the daemon runs local ones.
//
// The gaps between two CCMs of one MEP are taken from the kernel's receive timestamps (a
// TPACKET_V2 ring), not from when this program gets round to them: what is measured is the
// sender, not this reader.
//
//   ccmecho IFNAME OFFSET EXPECT
//
// Starts silent (watching only). Signals:
//   SIGUSR1  echo from now on, and start the gap statistics afresh
//   SIGUSR2  stop echoing (the cut); prints `cut` (CLOCK_REALTIME of the moment after the
//            last echo went), each MEP's last echo (`lastEcho VLAN/MEP TIME`, TIME just
//            before the call that sent it) and the gap statistics up to it, prefixed
//            `cut.`. Then, once every MEP has sent a CCM with the RDI flag since the cut (it
//            has noticed its remote MEP gone), prints `allRdi TIME` and the worst and median
//            time from the cut to that CCM (`rdiWorstMs`, `rdiMedianMs`)
//   SIGTERM  prints the gap statistics since the last SIGUSR1, prefixed `end.`, and exits
// Prints `stall START GAPMS VLAN/MEP` for a gap of two intervals or more (one line for the
// gaps of all MEPs that one stall made, at most 1,000 lines), flushed with the next output.
// Prints `ready 1` once it receives, and `allSeen TIME` once EXPECT distinct (VLAN, MEP id)
// have sent a CCM. Every line is `key value`, flushed at once.
//
// Light by design, since at 1,000 MEPs every 3.3 ms it sees 300,000 CCMs a second: a wake
// takes every frame the ring holds by then and their echoes go out in one sendmmsg, so the
// daemon's burst of one tick costs one wake and one call, not one per CCM. A frame-by-frame
// ring rather than TPACKET_V3's blocks: a block is handed over when full or when its timer
// runs out, and that timer counts in jiffies (4 ms at 250 Hz), which held echoes up to 7 ms
// and stretched the gaps the daemon sees from its remote MEPs by as much.
#define _GNU_SOURCE
#include <errno.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "rawsock.h"

enum {
  frameBytes = 256,      // the ring's header, a tagged CCM and room to spare
  frameCount = 32768,    // 8 MB: 110 ms at 300,000 CCMs a second
  ringBlockBytes = 1 << 16,
  maxMeps = 16384,
  tableSlots = 1 << 15,  // open addressing, at most half full
  batchMax = 1024,
  echoBytes = 14 + 4 + 74 + 1,  // tagged Ethernet header, CCM fixed part, End TLV
  histBinsPerInterval = 10000,  // a bin is a ten-thousandth of the interval
  histIntervals = 20,           // gaps past 20 intervals are counted beyond the histogram
};

// The seven CCM intervals by their code, in ns.
static const int64_t intervalNs[8] = {0, 3333333, 10000000, 100000000, 1000000000LL, 10000000000LL,
                                      60000000000LL, 600000000000LL};

struct Mep {
  uint16_t vlan, mepId;
  uint32_t txSeq;
  int64_t lastNs;        // receive time of its latest CCM
  uint64_t phaseCcms;    // CCMs since the statistics started
  int64_t rdiAfterCutNs; // from the cut to its first CCM with RDI; 0 while none came
  int64_t lastEchoNs;    // just before the call that sent its latest echo: it cannot have
                         // reached the daemon earlier
};

static struct Mep meps[maxMeps];
static int32_t table[tableSlots];  // index into meps + 1; 0 is free
static int mepCount;

// Gap statistics since the last SIGUSR1 (or the start).
static uint32_t *hist;
static uint64_t gaps, beyond, within10, missed, otherInterval;
static double gapSumNs;
static int64_t worstNs, worstVlan, worstMep, statsFromNs;
static int intervalCode;  // the interval of the first CCM; gaps of others are not taken

// From a CCM's receive time to the return of the call that sent its echo, since the
// statistics started: what this program adds to the remote MEP's gaps.
static int64_t delayWorstNs, delaySlow;
static double delaySumNs;
static uint64_t ccmsSeen, echoed, phaseEchoed, sendErrors, notCcm, unechoable, tableFull;
static int64_t cutNs;  // the last cut, while waiting for every MEP's RDI; 0 otherwise
static int rdiSeen;

static volatile sig_atomic_t gotUsr1, gotUsr2, gotTerm;
static void onSignal(int sig) {
  if (sig == SIGUSR1) gotUsr1 = 1;
  if (sig == SIGUSR2) gotUsr2 = 1;
  if (sig == SIGTERM || sig == SIGINT) gotTerm = 1;
}

static int64_t realNs(void) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static struct Mep *mepOf(uint16_t vlan, uint16_t mepId) {
  uint32_t key = (uint32_t)vlan << 13 | mepId;
  uint32_t slot = (key * 2654435761u) >> 17;
  for (;; slot = (slot + 1) & (tableSlots - 1)) {
    int32_t i = table[slot];
    if (i == 0) break;
    if (meps[i - 1].vlan == vlan && meps[i - 1].mepId == mepId) return &meps[i - 1];
  }
  if (mepCount == maxMeps) return NULL;
  struct Mep *m = &meps[mepCount++];
  m->vlan = vlan, m->mepId = mepId;
  table[slot] = mepCount;
  return m;
}

static void resetStats(int64_t now) {
  memset(hist, 0, sizeof(uint32_t) * histBinsPerInterval * histIntervals);
  gaps = beyond = within10 = missed = otherInterval = phaseEchoed = 0;
  delayWorstNs = delaySlow = 0;
  delaySumNs = 0;
  gapSumNs = 0;
  worstNs = worstVlan = worstMep = 0;
  statsFromNs = now;
  for (int i = 0; i < mepCount; i++) meps[i].phaseCcms = 0;
}

// The last gap of two intervals or more that was printed, and how many were.
static int64_t stallPrintedNs;
static int stallsPrinted;

static void noteGap(struct Mep *m, int64_t gap, int64_t ts) {
  const int64_t iv = intervalNs[intervalCode];
  // A sender that stops for two intervals stops every MEP at once, usually: one line per
  // stall, so that when they come can be seen (periodic work, another process).
  if (gap >= 2 * iv && ts - stallPrintedNs > gap && stallsPrinted < 1000) {
    stallPrintedNs = ts;
    stallsPrinted++;
    printf("stall %.6f %.3f %d/%d\n", (ts - gap) / 1e9, gap / 1e6, m->vlan, m->mepId);
  }
  gaps++;
  gapSumNs += gap;
  if (gap > worstNs) worstNs = gap, worstVlan = m->vlan, worstMep = m->mepId;
  if (llabs(gap - iv) * 10 <= iv) within10++;
  if (gap * 2 > iv * 3) missed++;  // a CCM left out, or one so late it might as well be
  int64_t bin = gap * histBinsPerInterval / iv;
  if (bin >= histBinsPerInterval * histIntervals) beyond++;
  else hist[bin]++;
}

static int cmpi64(const void *a, const void *b) {
  int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
  return x < y ? -1 : x > y;
}

static void noteRdi(struct Mep *m, int64_t ts) {
  m->rdiAfterCutNs = ts - cutNs > 0 ? ts - cutNs : 1;
  if (++rdiSeen < mepCount) return;
  int64_t *d = malloc(sizeof(int64_t) * mepCount);
  for (int i = 0; i < mepCount; i++) d[i] = meps[i].rdiAfterCutNs;
  qsort(d, mepCount, sizeof *d, cmpi64);
  printf("allRdi %.6f\nrdiWorstMs %.4f\nrdiMedianMs %.4f\n", realNs() / 1e9, d[mepCount - 1] / 1e6,
         d[mepCount / 2] / 1e6);
  fflush(stdout);
  free(d);
  cutNs = 0;
}

static double percentileMs(double q) {
  const double binMs = intervalNs[intervalCode] / 1e6 / histBinsPerInterval;
  uint64_t want = (uint64_t)(q * gaps), sum = 0;
  if (want == 0) want = 1;
  for (int b = 0; b < histBinsPerInterval * histIntervals; b++) {
    sum += hist[b];
    if (sum >= want) return (b + 1) * binMs;  // the bin's upper edge: never below the truth
  }
  return worstNs / 1e6;  // among the gaps past the histogram: at most the worst
}

static void printStats(const char *prefix, int64_t now) {
  uint64_t phaseCcms = 0, fewest = UINT64_MAX, most = 0;
  int silent = 0;
  const int64_t iv = intervalNs[intervalCode];
  for (int i = 0; i < mepCount; i++) {
    phaseCcms += meps[i].phaseCcms;
    if (meps[i].phaseCcms < fewest) fewest = meps[i].phaseCcms;
    if (meps[i].phaseCcms > most) most = meps[i].phaseCcms;
    // Nothing for 3.5 intervals: its remote MEP would be failed for want of the original.
    if (iv && (now - meps[i].lastNs) * 2 > iv * 7) silent++;
  }
  printf("%s.seconds %.3f\n", prefix, (now - statsFromNs) / 1e9);
  printf("%s.meps %d\n", prefix, mepCount);
  printf("%s.ccms %llu\n", prefix, (unsigned long long)phaseCcms);
  printf("%s.echoes %llu\n", prefix, (unsigned long long)phaseEchoed);
  printf("%s.mepCcmsMin %llu\n", prefix, (unsigned long long)(mepCount ? fewest : 0));
  printf("%s.mepCcmsMax %llu\n", prefix, (unsigned long long)most);
  printf("%s.silentMeps %d\n", prefix, silent);
  printf("%s.intervalMs %.4f\n", prefix, iv / 1e6);
  printf("%s.gaps %llu\n", prefix, (unsigned long long)gaps);
  if (gaps) {
    printf("%s.gapMeanMs %.5f\n", prefix, gapSumNs / gaps / 1e6);
    printf("%s.gapP50Ms %.4f\n", prefix, percentileMs(0.5));
    printf("%s.gapP99Ms %.4f\n", prefix, percentileMs(0.99));
    printf("%s.gapP999Ms %.4f\n", prefix, percentileMs(0.999));
    printf("%s.gapWorstMs %.4f\n", prefix, worstNs / 1e6);
    printf("%s.gapWorstAt %lld/%lld\n", prefix, (long long)worstVlan, (long long)worstMep);
    printf("%s.gapWithin10pct %.3f\n", prefix, 100.0 * within10 / gaps);
    printf("%s.gapsPast1.5x %llu\n", prefix, (unsigned long long)missed);
    printf("%s.gapsPast20x %llu\n", prefix, (unsigned long long)beyond);
  }
  if (phaseEchoed) {
    printf("%s.echoDelayMeanMs %.4f\n", prefix, delaySumNs / phaseEchoed / 1e6);
    printf("%s.echoDelayWorstMs %.4f\n", prefix, delayWorstNs / 1e6);
    printf("%s.echoesPast1ms %llu\n", prefix, (unsigned long long)delaySlow);
  }
  printf("%s.otherIntervalCcms %llu\n", prefix, (unsigned long long)otherInterval);
  fflush(stdout);
}

static void printTotals(int s) {
  struct tpacket_stats st;
  socklen_t len = sizeof st;
  memset(&st, 0, sizeof st);
  getsockopt(s, SOL_PACKET, PACKET_STATISTICS, &st, &len);
  printf("ccmsSeen %llu\necho %llu\nsendErrors %llu\nnotCcm %llu\nunechoable %llu\ntableFull %llu\n"
         "ringDrops %u\n",
         (unsigned long long)ccmsSeen, (unsigned long long)echoed, (unsigned long long)sendErrors,
         (unsigned long long)notCcm, (unsigned long long)unechoable, (unsigned long long)tableFull, st.tp_drops);
  fflush(stdout);
}

// Echoes of one wake's frames, sent together.
static unsigned char batch[batchMax][echoBytes];
static struct iovec iov[batchMax];
static struct mmsghdr msgs[batchMax];
static struct Mep *batchMeps[batchMax];
static int64_t batchRxNs[batchMax];
static int batched;

static void flush(int s) {
  int at = 0;
  while (at < batched) {
    const int64_t before = realNs();
    int n = sendmmsg(s, msgs + at, batched - at, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      sendErrors++;  // the rest of the batch is lost; the receiver's sequence errors show it
      at++;
      continue;
    }
    const int64_t now = realNs();
    for (int i = at; i < at + n; i++) {
      batchMeps[i]->lastEchoNs = before;
      const int64_t d = now - batchRxNs[i];
      delaySumNs += d;
      if (d > delayWorstNs) delayWorstNs = d;
      if (d > 1000000) delaySlow++;
    }
    echoed += n;
    phaseEchoed += n;
    at += n;
  }
  batched = 0;
}

static int sock, offset, expect, echoing, allSeen;
static unsigned char self[6];

// One frame from the ring: its gap, and its echo into the batch.
static void take(const struct tpacket2_hdr *h) {
  const unsigned char *f = (const unsigned char *)h + h->tp_mac;
  uint32_t len = h->tp_snaplen, at = 12;
  // The kernel takes a tag off into the header; a tag still in the frame is read there.
  uint16_t tci = (h->tp_status & TP_STATUS_VLAN_VALID) ? h->tp_vlan_tci : 0;
  int tagged = (h->tp_status & TP_STATUS_VLAN_VALID) != 0;
  if (len >= 18 && f[12] == 0x81 && f[13] == 0x00) tci = f[14] << 8 | f[15], tagged = 1, at = 16;
  const unsigned char *pdu = f + at + 2;
  if (len < at + 2 + 74 || f[at] != 0x89 || f[at + 1] != 0x02 || pdu[1] != 1) {
    notCcm++;
    return;
  }
  ccmsSeen++;
  const uint16_t vlan = tci & 0x0fff, mepId = (pdu[8] << 8 | pdu[9]) & 0x1fff;
  struct Mep *m = mepOf(vlan, mepId);
  if (!m) {
    tableFull++;
    return;
  }
  const int64_t ts = (int64_t)h->tp_sec * 1000000000LL + h->tp_nsec;
  const int code = pdu[2] & 7;
  if (intervalCode == 0 && code != 0) intervalCode = code;
  if (code != intervalCode) otherInterval++;
  else if (m->lastNs && ts >= statsFromNs) noteGap(m, ts - m->lastNs, ts);
  if (m->lastNs == 0 && !allSeen && mepCount >= expect) {
    allSeen = 1;
    printf("allSeen %.6f\n", realNs() / 1e9);
    fflush(stdout);
  }
  m->lastNs = ts;
  if (ts >= statsFromNs) m->phaseCcms++;
  if (cutNs && ts >= cutNs && (pdu[2] & 0x80) && !m->rdiAfterCutNs) noteRdi(m, ts);
  if (!echoing) return;
  if (mepId + offset < 1 || mepId + offset > 8191) {
    unechoable++;
    return;
  }
  unsigned char *e = batch[batched];
  const int level = pdu[0] >> 5;
  const unsigned char group[6] = {0x01, 0x80, 0xc2, 0x00, 0x00, (unsigned char)(0x30 | level)};
  memcpy(e, group, 6);
  memcpy(e + 6, self, 6);
  if (tagged) {
    e[12] = 0x81, e[13] = 0x00, e[14] = (tci >> 8) & 0xef, e[15] = tci & 0xff;  // CFI/DEI clear
    e += 4;
  }
  e[12] = 0x89, e[13] = 0x02;
  unsigned char *o = e + 14;
  memcpy(o, pdu, 74);  // level and version, opcode, MAID as they came
  o[2] = code;         // the interval, no RDI: this remote MEP sees its peer
  o[3] = 70;
  const uint32_t seq = ++m->txSeq;
  o[4] = seq >> 24, o[5] = seq >> 16, o[6] = seq >> 8, o[7] = seq;
  const uint16_t peer = mepId + offset;
  o[8] = peer >> 8, o[9] = peer & 0xff;
  memset(o + 58, 0, 16);  // the ITU-T area
  o[74] = 0;              // End TLV
  iov[batched].iov_len = tagged ? echoBytes : echoBytes - 4;
  batchMeps[batched] = m;
  batchRxNs[batched] = ts;
  if (++batched == batchMax) flush(sock);
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: ccmecho IFNAME OFFSET EXPECT\n");
    return 2;
  }
  offset = atoi(argv[2]), expect = atoi(argv[3]);
  const int s = sock = openRawSocket(argv[1], self);

  int v2 = TPACKET_V2;
  if (setsockopt(s, SOL_PACKET, PACKET_VERSION, &v2, sizeof v2) < 0) { perror("PACKET_VERSION"); return 1; }
  struct tpacket_req req = {0};
  req.tp_block_size = ringBlockBytes;
  req.tp_block_nr = (unsigned)frameCount * frameBytes / ringBlockBytes;
  req.tp_frame_size = frameBytes;
  req.tp_frame_nr = frameCount;
  if (setsockopt(s, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) < 0) { perror("PACKET_RX_RING"); return 1; }
  unsigned char *ring = mmap(NULL, (size_t)frameCount * frameBytes, PROT_READ | PROT_WRITE, MAP_SHARED, s, 0);
  if (ring == MAP_FAILED) { perror("mmap"); return 1; }
  int one = 1;
  setsockopt(s, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  hist = calloc((size_t)histBinsPerInterval * histIntervals, sizeof(uint32_t));
  for (int i = 0; i < batchMax; i++) {
    iov[i].iov_base = batch[i];
    iov[i].iov_len = echoBytes;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }

  // Signals are taken only inside ppoll, so that none is lost between a check and a wait.
  sigset_t blocked, waiting;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1), sigaddset(&blocked, SIGUSR2), sigaddset(&blocked, SIGTERM),
      sigaddset(&blocked, SIGINT);
  sigprocmask(SIG_BLOCK, &blocked, &waiting);
  struct sigaction sa = {0};
  sa.sa_handler = onSignal;
  sigaction(SIGUSR1, &sa, NULL), sigaction(SIGUSR2, &sa, NULL), sigaction(SIGTERM, &sa, NULL),
      sigaction(SIGINT, &sa, NULL);
  sigdelset(&waiting, SIGUSR1), sigdelset(&waiting, SIGUSR2), sigdelset(&waiting, SIGTERM),
      sigdelset(&waiting, SIGINT);

  unsigned slot = 0;
  resetStats(realNs());
  printf("ready 1\n");
  fflush(stdout);
  for (;;) {
    // A signal acts only once every echo of the frames taken so far has gone.
    if (batched && (gotUsr1 || gotUsr2 || gotTerm)) flush(s);
    if (gotUsr1) {
      gotUsr1 = 0;
      echoing = 1;
      cutNs = 0;
      int64_t now = realNs();
      resetStats(now);
      printf("echoFrom %.6f\n", now / 1e9);
      fflush(stdout);
    }
    if (gotUsr2) {
      gotUsr2 = 0;
      // Every echo so far has been handed to the kernel: nothing leaves after this time.
      echoing = 0;
      int64_t now = realNs();
      printf("cut %.6f\n", now / 1e9);
      for (int i = 0; i < mepCount; i++) {
        if (meps[i].lastEchoNs) printf("lastEcho %d/%d %.6f\n", meps[i].vlan, meps[i].mepId, meps[i].lastEchoNs / 1e9);
      }
      printStats("cut", now);
      cutNs = now;
      rdiSeen = 0;
      for (int i = 0; i < mepCount; i++) meps[i].rdiAfterCutNs = 0;
    }
    if (gotTerm) {
      printStats("end", realNs());
      printTotals(s);
      return 0;
    }
    struct tpacket2_hdr *h = (struct tpacket2_hdr *)(ring + (size_t)slot * frameBytes);
    if (!(__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)) {
      // Drained: the echoes go, then sleep until the next frame or signal.
      if (batched) {
        flush(s);
        continue;
      }
      struct pollfd p = {s, POLLIN | POLLERR, 0};
      ppoll(&p, 1, NULL, &waiting);
      continue;
    }
    take(h);
    __atomic_store_n(&h->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    slot = (slot + 1) % frameCount;
  }
}
