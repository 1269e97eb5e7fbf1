// An independent 802.1ag peer for the e2e tests: the Linux bridge's own CFM
// (CONFIG_BRIDGE_CFM), driven over rtnetlink. It runs as init of a User-mode Linux kernel
// built with it, whose root is the host's filesystem (scripts/build-kernel-peer.sh):
//
//   linux ... init=kernel-cfm-peer -- PORT MAC LEVEL MEPID PEERID INTERVAL MDNAME MANAME
//
// It bridges PORT, puts one down MEP on it expecting PEERID and sends CCMs. Then it prints
// its view of the peer whenever that changes, and reads commands, one a line: "tx SECONDS"
// (send CCMs for that long; 0 stops them) and "quit".
#include <errno.h>
#include <linux/cfm_bridge.h>
#include <linux/if_bridge.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

static int nl, bridge, instance = 1;
static unsigned seq, level;

static void fail(const char* what, const char* why) {
  printf("kernel peer: %s: %s\n", what, why);
  fflush(stdout);
  reboot(RB_POWER_OFF);
  _exit(1);
}

// The request being built, and its open nests.
static struct {
  _Alignas(4) char buf[4096];
  unsigned len, depth;
  struct nlattr* open[4];
} m;

static void put(int type, const void* data, unsigned len) {
  struct nlattr* a = (struct nlattr*)(m.buf + m.len);
  a->nla_type = (uint16_t)type;
  a->nla_len = (uint16_t)(NLA_HDRLEN + len);
  memcpy(a + 1, data, len);
  m.len += NLA_ALIGN(a->nla_len);
}
static void u32(int type, uint32_t v) { put(type, &v, 4); }
static void u8(int type, uint8_t v) { put(type, &v, 1); }
static void nest(int type) {
  m.open[m.depth++] = (struct nlattr*)(m.buf + m.len);
  put(type | NLA_F_NESTED, NULL, 0);
}

static void start(int type, int flags, int index) {
  memset(&m, 0, sizeof m);
  struct nlmsghdr* h = (struct nlmsghdr*)m.buf;
  h->nlmsg_type = (uint16_t)type;
  h->nlmsg_flags = (uint16_t)(NLM_F_REQUEST | flags);
  h->nlmsg_seq = ++seq;
  struct ifinfomsg* i = NLMSG_DATA(h);
  i->ifi_family = AF_BRIDGE;
  i->ifi_index = index;
  m.len = NLMSG_LENGTH(sizeof *i);
}

// Closes the open nests, sends the request and hands each answer to `each`, until the
// kernel's ack or the dump's end. A refusal ends the peer with the kernel's own words.
static void request(const char* what, void (*each)(const struct nlmsghdr*)) {
  for (struct nlattr* a; m.depth && (a = m.open[--m.depth]);) a->nla_len = (uint16_t)(m.buf + m.len - (char*)a);
  ((struct nlmsghdr*)m.buf)->nlmsg_len = m.len;
  if (send(nl, m.buf, m.len, 0) < 0) fail(what, strerror(errno));
  static _Alignas(4) char in[1 << 16];
  for (;;) {
    int n = (int)recv(nl, in, sizeof in, 0);
    if (n < 0) fail(what, strerror(errno));
    for (struct nlmsghdr* h = (struct nlmsghdr*)in; NLMSG_OK(h, (unsigned)n); h = NLMSG_NEXT(h, n)) {
      if (h->nlmsg_seq != seq) continue;
      if (h->nlmsg_type == NLMSG_DONE) return;
      if (h->nlmsg_type != NLMSG_ERROR) {
        each(h);
        continue;
      }
      const struct nlmsgerr* e = NLMSG_DATA(h);
      if (e->error == 0) return;
      const char* said = strerror(-e->error);
      // NETLINK_CAP_ACK: the extended ack's attributes follow at once.
      int left = (int)(h->nlmsg_len - NLMSG_LENGTH(sizeof *e));
      for (const struct nlattr* a = (const void*)(e + 1); left >= NLA_HDRLEN && a->nla_len >= NLA_HDRLEN;
           left -= NLA_ALIGN(a->nla_len), a = (const void*)((const char*)a + NLA_ALIGN(a->nla_len)))
        if (a->nla_type == NLMSGERR_ATTR_MSG) said = (const char*)(a + 1);
      fail(what, said);
    }
  }
}

// A change to the bridge's own CFM (not its master's): one IFLA_BRIDGE_CFM_* nest follows,
// its instance first.
static void change(int kind) {
  start(RTM_SETLINK, NLM_F_ACK, bridge);
  nest(IFLA_AF_SPEC);
  const uint16_t self = BRIDGE_FLAGS_SELF;
  put(IFLA_BRIDGE_FLAGS, &self, sizeof self);
  nest(IFLA_BRIDGE_CFM);
  nest(kind);
  u32(1, instance);
}

static void transmit(uint32_t seconds) {
  change(IFLA_BRIDGE_CFM_CC_CCM_TX);
  const uint8_t group[ETH_ALEN] = {0x01, 0x80, 0xc2, 0x00, 0x00, (uint8_t)(0x30 + level)};
  put(IFLA_BRIDGE_CFM_CC_CCM_TX_DMAC, group, ETH_ALEN);
  u32(IFLA_BRIDGE_CFM_CC_CCM_TX_SEQ_NO_UPDATE, 1);
  u32(IFLA_BRIDGE_CFM_CC_CCM_TX_PERIOD, seconds);
  u32(IFLA_BRIDGE_CFM_CC_CCM_TX_IF_TLV, 1);
  u8(IFLA_BRIDGE_CFM_CC_CCM_TX_IF_TLV_VALUE, 1);  // isUp
  u32(IFLA_BRIDGE_CFM_CC_CCM_TX_PORT_TLV, 1);
  u8(IFLA_BRIDGE_CFM_CC_CCM_TX_PORT_TLV_VALUE, 2);  // psUp
  request("ccm tx", NULL);
}

// What the status dumps said. The kernel clears its "seen" flags as it reports them, so
// those are counted across dumps.
static unsigned peer[IFLA_BRIDGE_CFM_CC_PEER_STATUS_MAX + 1], mep[IFLA_BRIDGE_CFM_MEP_STATUS_MAX + 1];
static int listed;

#define EACH_IN(a, first, bytes)                                                                \
  for (const struct nlattr* a = (first); (const char*)a + NLA_HDRLEN <= (const char*)(first) + (bytes) && \
                                         a->nla_len >= NLA_HDRLEN;                                \
       a = (const void*)((const char*)a + NLA_ALIGN(a->nla_len)))
#define EACH(a, parent) EACH_IN(a, (const struct nlattr*)((parent) + 1), (parent)->nla_len - NLA_HDRLEN)

static void status(const struct nlmsghdr* h) {
  const struct ifinfomsg* i = NLMSG_DATA(h);
  if (h->nlmsg_type != RTM_NEWLINK || i->ifi_index != bridge) return;
  EACH_IN(s, (const struct nlattr*)((const char*)i + NLMSG_ALIGN(sizeof *i)), h->nlmsg_len - NLMSG_LENGTH(sizeof *i)) {
    if ((s->nla_type & NLA_TYPE_MASK) != IFLA_AF_SPEC) continue;
    EACH(c, s) {
      if ((c->nla_type & NLA_TYPE_MASK) != IFLA_BRIDGE_CFM) continue;
      EACH(info, c) {
        const int kind = info->nla_type & NLA_TYPE_MASK;
        listed |= kind == IFLA_BRIDGE_CFM_CC_PEER_STATUS_INFO;
        EACH(f, info) {
          const unsigned v = f->nla_len == NLA_HDRLEN + 1 ? *(const uint8_t*)(f + 1) : *(const uint32_t*)(f + 1);
          const int seen = f->nla_type == IFLA_BRIDGE_CFM_CC_PEER_STATUS_SEEN ||
                           f->nla_type == IFLA_BRIDGE_CFM_CC_PEER_STATUS_SEQ_UNEXP_SEEN;
          if (kind == IFLA_BRIDGE_CFM_CC_PEER_STATUS_INFO && f->nla_type <= IFLA_BRIDGE_CFM_CC_PEER_STATUS_MAX)
            peer[f->nla_type] = seen ? peer[f->nla_type] + v : v;
          else if (kind == IFLA_BRIDGE_CFM_MEP_STATUS_INFO && f->nla_type <= IFLA_BRIDGE_CFM_MEP_STATUS_MAX &&
                   f->nla_type != IFLA_BRIDGE_CFM_MEP_STATUS_INSTANCE)
            mep[f->nla_type] += v;  // each a "seen" flag
        }
      }
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 9) fail("usage", "PORT MAC LEVEL MEPID PEERID INTERVAL MDNAME MANAME");
  const char *port = argv[1], *mac = argv[2], *md = argv[7], *ma = argv[8];
  level = (unsigned)atoi(argv[3]);
  mount("proc", "/proc", "proc", 0, NULL);
  char command[512];
  snprintf(command, sizeof command,
           "/sbin/ip link add br0 type bridge && /sbin/ip link set %s address %s master br0 up && "
           "/sbin/ip link set br0 up",
           port, mac);
  if (system(command) != 0) fail("bridge", command);
  bridge = (int)if_nametoindex("br0");
  nl = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  const int on = 1;
  setsockopt(nl, SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof on);
  setsockopt(nl, SOL_NETLINK, NETLINK_EXT_ACK, &on, sizeof on);

  change(IFLA_BRIDGE_CFM_MEP_CREATE);  // port domain, down: the MEP sees the wire, untagged
  u32(IFLA_BRIDGE_CFM_MEP_CREATE_DOMAIN, BR_CFM_PORT);
  u32(IFLA_BRIDGE_CFM_MEP_CREATE_DIRECTION, BR_CFM_MEP_DIRECTION_DOWN);
  u32(IFLA_BRIDGE_CFM_MEP_CREATE_IFINDEX, if_nametoindex(port));
  request("mep create", NULL);

  change(IFLA_BRIDGE_CFM_MEP_CONFIG);
  uint8_t own[ETH_ALEN];
  sscanf(mac, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &own[0], &own[1], &own[2], &own[3], &own[4], &own[5]);
  put(IFLA_BRIDGE_CFM_MEP_CONFIG_UNICAST_MAC, own, ETH_ALEN);
  u32(IFLA_BRIDGE_CFM_MEP_CONFIG_MDLEVEL, level);
  u32(IFLA_BRIDGE_CFM_MEP_CONFIG_MEPID, (uint32_t)atoi(argv[4]));
  request("mep config", NULL);

  // The MAID of a character-string domain name and association name, built from the names
  // here, not taken from a frame.
  uint8_t maid[CFM_MAID_LENGTH] = {4, (uint8_t)strlen(md)}, *at = maid + 2 + maid[1];
  memcpy(maid + 2, md, maid[1]);
  at[0] = 2, at[1] = (uint8_t)strlen(ma);
  memcpy(at + 2, ma, at[1]);
  const char* intervals[] = {"", "3.3ms", "10ms", "100ms", "1s", "10s", "1min", "10min"};
  uint32_t interval = 0;
  while (++interval < 8 && strcmp(argv[6], intervals[interval])) {
  }
  if (interval == 8) fail("interval", argv[6]);
  change(IFLA_BRIDGE_CFM_CC_CONFIG);
  u32(IFLA_BRIDGE_CFM_CC_CONFIG_ENABLE, 1);
  u32(IFLA_BRIDGE_CFM_CC_CONFIG_EXP_INTERVAL, interval);
  put(IFLA_BRIDGE_CFM_CC_CONFIG_EXP_MAID, maid, sizeof maid);
  request("cc config", NULL);

  change(IFLA_BRIDGE_CFM_CC_PEER_MEP_ADD);
  u32(IFLA_BRIDGE_CFM_CC_PEER_MEPID, (uint32_t)atoi(argv[5]));
  request("peer mep add", NULL);
  transmit(3600);

  struct termios mode;
  if (tcgetattr(0, &mode) == 0) {
    mode.c_lflag &= ~(tcflag_t)ECHO;
    tcsetattr(0, TCSANOW, &mode);
  }
  printf("kernel peer: running\n");
  fflush(stdout);
  char shown[512] = "", line[512];
  for (;;) {
    start(RTM_GETLINK, NLM_F_DUMP, 0);
    u32(IFLA_EXT_MASK, RTEXT_FILTER_CFM_STATUS);
    request("status", status);
    snprintf(line, sizeof line,
             "kernel peer: peer %u %s defect=%u rdi=%u portTlv=%u ifTlv=%u seqUnexpected=%u; "
             "opcodeUnexpected=%u versionUnexpected=%u levelLow=%u\n",
             peer[IFLA_BRIDGE_CFM_CC_PEER_STATUS_PEER_MEPID],
             peer[IFLA_BRIDGE_CFM_CC_PEER_STATUS_SEEN] ? "heard" : "unheard",
             peer[IFLA_BRIDGE_CFM_CC_PEER_STATUS_CCM_DEFECT], peer[IFLA_BRIDGE_CFM_CC_PEER_STATUS_RDI],
             peer[IFLA_BRIDGE_CFM_CC_PEER_STATUS_PORT_TLV_VALUE], peer[IFLA_BRIDGE_CFM_CC_PEER_STATUS_IF_TLV_VALUE],
             peer[IFLA_BRIDGE_CFM_CC_PEER_STATUS_SEQ_UNEXP_SEEN], mep[IFLA_BRIDGE_CFM_MEP_STATUS_OPCODE_UNEXP_SEEN],
             mep[IFLA_BRIDGE_CFM_MEP_STATUS_VERSION_UNEXP_SEEN], mep[IFLA_BRIDGE_CFM_MEP_STATUS_RX_LEVEL_LOW_SEEN]);
    if (listed && strcmp(line, shown) != 0) {
      fputs(line, stdout);
      fflush(stdout);
      strcpy(shown, line);
    }
    struct pollfd in = {0, POLLIN, 0};
    if (poll(&in, 1, 50) <= 0) continue;
    char said[64] = "";
    unsigned seconds;
    if (read(0, said, sizeof said - 1) <= 0 || !strncmp(said, "quit", 4)) break;
    if (sscanf(said, "tx %u", &seconds) == 1) {
      transmit(seconds);
      printf("kernel peer: tx %u\n", seconds);
      fflush(stdout);
    }
  }
  reboot(RB_POWER_OFF);  // User-mode Linux exits
  return 0;
}
