// An independent 802.1ag peer for the e2e tests: the Linux bridge's own CFM
// (CONFIG_BRIDGE_CFM), driven over rtnetlink. It runs as init of a User-mode Linux kernel
// built with it, whose root is the host's filesystem (scripts/build-kernel-peer.sh):
//
//   linux ... init=kernel-cfm-peer -- PORT MAC LEVEL MEPID PEERID INTERVAL MDNAME MANAME
//
// It bridges PORT, puts one down MEP on it expecting PEERID and sends CCMs. Then it prints
// the MEP's status whenever it changes, and reads commands, one a line: "tx SECONDS" (send
// CCMs for that long; 0 stops them) and "quit".
#include <errno.h>
#include <linux/cfm_bridge.h>
#include <linux/if_bridge.h>
#include <linux/netlink.h>
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

static int nl, bridge;
static unsigned seq;

static void fail(const char* what, const char* why) {
  printf("kernel peer: %s: %s\n", what, why);
  fflush(stdout);
  reboot(RB_POWER_OFF);
  _exit(1);
}

struct msg {
  _Alignas(4) char buf[4096];
  unsigned len;
};

static struct nlattr* put(struct msg* m, int type, const void* data, unsigned len) {
  struct nlattr* a = (struct nlattr*)(m->buf + m->len);
  a->nla_type = type;
  a->nla_len = NLA_HDRLEN + len;
  if (len) memcpy(a + 1, data, len);
  m->len += NLA_ALIGN(a->nla_len);
  return a;
}
static void u32(struct msg* m, int type, uint32_t v) { put(m, type, &v, 4); }
static void u8(struct msg* m, int type, uint8_t v) { put(m, type, &v, 1); }
static struct nlattr* nest(struct msg* m, int type) { return put(m, type | NLA_F_NESTED, NULL, 0); }
static void end(struct msg* m, struct nlattr* a) { a->nla_len = (uint16_t)(m->buf + m->len - (char*)a); }

// A request to the bridge: the header and ifinfomsg, then the caller's attributes.
static void start(struct msg* m, int type, int flags, int index) {
  memset(m, 0, sizeof *m);
  struct nlmsghdr* h = (struct nlmsghdr*)m->buf;
  h->nlmsg_type = type;
  h->nlmsg_flags = NLM_F_REQUEST | flags;
  h->nlmsg_seq = ++seq;
  struct ifinfomsg* i = (struct ifinfomsg*)(h + 1);
  i->ifi_family = AF_BRIDGE;
  i->ifi_index = index;
  m->len = NLMSG_LENGTH(sizeof *i);
}

// Sends `m` and hands each answer to `each`, until the kernel's ack or the dump's end. A
// refusal ends the peer with the kernel's own words.
static void request(struct msg* m, const char* what, void (*each)(struct nlmsghdr*)) {
  ((struct nlmsghdr*)m->buf)->nlmsg_len = m->len;
  if (send(nl, m->buf, m->len, 0) < 0) fail(what, strerror(errno));
  static _Alignas(4) char in[1 << 16];
  for (;;) {
    int n = recv(nl, in, sizeof in, 0);
    if (n < 0) fail(what, strerror(errno));
    for (struct nlmsghdr* h = (struct nlmsghdr*)in; NLMSG_OK(h, (unsigned)n); h = NLMSG_NEXT(h, n)) {
      if (h->nlmsg_seq != seq) continue;
      if (h->nlmsg_type == NLMSG_DONE) return;
      if (h->nlmsg_type != NLMSG_ERROR) {
        each(h);
        continue;
      }
      struct nlmsgerr* e = NLMSG_DATA(h);
      if (e->error == 0) return;
      const char* said = strerror(-e->error);
      int left = h->nlmsg_len - NLMSG_LENGTH(sizeof *e);  // NETLINK_CAP_ACK: no echo of ours
      for (struct nlattr* a = (struct nlattr*)(e + 1); left >= NLA_HDRLEN && a->nla_len >= NLA_HDRLEN;
           left -= NLA_ALIGN(a->nla_len), a = (struct nlattr*)((char*)a + NLA_ALIGN(a->nla_len)))
        if (a->nla_type == NLMSGERR_ATTR_MSG) said = (const char*)(a + 1);
      fail(what, said);
    }
  }
}

// A change to the bridge's CFM: `fill` adds one IFLA_BRIDGE_CFM_* nest.
static struct msg change;
static struct nlattr *spec, *cfm;
static void begin(void) {
  start(&change, RTM_SETLINK, NLM_F_ACK, bridge);
  spec = nest(&change, IFLA_AF_SPEC);
  const uint16_t self = BRIDGE_FLAGS_SELF;  // the bridge's own CFM, not its master's
  put(&change, IFLA_BRIDGE_FLAGS, &self, sizeof self);
  cfm = nest(&change, IFLA_BRIDGE_CFM);
}
static void commit(const char* what) {
  end(&change, cfm);
  end(&change, spec);
  request(&change, what, NULL);
}

static unsigned level;
static void transmit(uint32_t seconds) {
  begin();
  struct nlattr* tx = nest(&change, IFLA_BRIDGE_CFM_CC_CCM_TX);
  u32(&change, IFLA_BRIDGE_CFM_CC_CCM_TX_INSTANCE, 1);
  const uint8_t group[ETH_ALEN] = {0x01, 0x80, 0xc2, 0x00, 0x00, (uint8_t)(0x30 + level)};
  put(&change, IFLA_BRIDGE_CFM_CC_CCM_TX_DMAC, group, ETH_ALEN);
  u32(&change, IFLA_BRIDGE_CFM_CC_CCM_TX_SEQ_NO_UPDATE, 1);
  u32(&change, IFLA_BRIDGE_CFM_CC_CCM_TX_PERIOD, seconds);
  u32(&change, IFLA_BRIDGE_CFM_CC_CCM_TX_IF_TLV, 1);
  u8(&change, IFLA_BRIDGE_CFM_CC_CCM_TX_IF_TLV_VALUE, 1);  // isUp
  u32(&change, IFLA_BRIDGE_CFM_CC_CCM_TX_PORT_TLV, 1);
  u8(&change, IFLA_BRIDGE_CFM_CC_CCM_TX_PORT_TLV_VALUE, 2);  // psUp
  end(&change, tx);
  commit("ccm tx");
}

// What the status dump said. The kernel clears its "seen" flags as it reports them, so
// they are counted across dumps.
static struct {
  unsigned peer, defect, rdi, portTlv, ifTlv, seen, seqUnexpected;
  int listed;
} peer;
static unsigned opcodeUnexpected, versionUnexpected, levelLow;

static unsigned value(const struct nlattr* a) {
  return a->nla_len - NLA_HDRLEN == 1 ? *(const uint8_t*)(a + 1) : *(const uint32_t*)(a + 1);
}
#define EACH_IN(a, first, bytes)                                                              \
  for (const struct nlattr* a = (first); (char*)a + NLA_HDRLEN <= (char*)(first) + (bytes) && \
                                         a->nla_len >= NLA_HDRLEN;                            \
       a = (const struct nlattr*)((const char*)a + NLA_ALIGN(a->nla_len)))
#define EACH(a, parent) EACH_IN(a, (const struct nlattr*)((parent) + 1), (parent)->nla_len - NLA_HDRLEN)

static void status(struct nlmsghdr* h) {
  const struct ifinfomsg* i = NLMSG_DATA(h);
  if (h->nlmsg_type != RTM_NEWLINK || i->ifi_index != bridge) return;
  const struct nlattr* attrs = (const struct nlattr*)((const char*)i + NLMSG_ALIGN(sizeof *i));
  EACH_IN(s, attrs, h->nlmsg_len - NLMSG_LENGTH(sizeof *i)) {
    if ((s->nla_type & NLA_TYPE_MASK) != IFLA_AF_SPEC) continue;
    EACH(c, s) {
      if ((c->nla_type & NLA_TYPE_MASK) != IFLA_BRIDGE_CFM) continue;
      EACH(info, c) {
        const int kind = info->nla_type & NLA_TYPE_MASK;
        EACH(f, info) {
          const unsigned v = value(f);
          if (kind == IFLA_BRIDGE_CFM_CC_PEER_STATUS_INFO) {
            peer.listed = 1;
            switch (f->nla_type) {
              case IFLA_BRIDGE_CFM_CC_PEER_STATUS_PEER_MEPID: peer.peer = v; break;
              case IFLA_BRIDGE_CFM_CC_PEER_STATUS_CCM_DEFECT: peer.defect = v; break;
              case IFLA_BRIDGE_CFM_CC_PEER_STATUS_RDI: peer.rdi = v; break;
              case IFLA_BRIDGE_CFM_CC_PEER_STATUS_PORT_TLV_VALUE: peer.portTlv = v; break;
              case IFLA_BRIDGE_CFM_CC_PEER_STATUS_IF_TLV_VALUE: peer.ifTlv = v; break;
              case IFLA_BRIDGE_CFM_CC_PEER_STATUS_SEEN: peer.seen += v; break;
              case IFLA_BRIDGE_CFM_CC_PEER_STATUS_SEQ_UNEXP_SEEN: peer.seqUnexpected += v; break;
            }
          } else if (kind == IFLA_BRIDGE_CFM_MEP_STATUS_INFO) {
            switch (f->nla_type) {
              case IFLA_BRIDGE_CFM_MEP_STATUS_OPCODE_UNEXP_SEEN: opcodeUnexpected += v; break;
              case IFLA_BRIDGE_CFM_MEP_STATUS_VERSION_UNEXP_SEEN: versionUnexpected += v; break;
              case IFLA_BRIDGE_CFM_MEP_STATUS_RX_LEVEL_LOW_SEEN: levelLow += v; break;
            }
          }
        }
      }
    }
  }
}

static uint8_t interval(const char* name) {
  const char* names[] = {"", "3.3ms", "10ms", "100ms", "1s", "10s", "1min", "10min"};
  for (uint8_t i = 1; i < sizeof names / sizeof *names; ++i)
    if (!strcmp(name, names[i])) return i;
  fail("interval", name);
  return 0;
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

  begin();  // port domain, down: the MEP sees the wire, untagged
  struct nlattr* a = nest(&change, IFLA_BRIDGE_CFM_MEP_CREATE);
  u32(&change, IFLA_BRIDGE_CFM_MEP_CREATE_INSTANCE, 1);
  u32(&change, IFLA_BRIDGE_CFM_MEP_CREATE_DOMAIN, BR_CFM_PORT);
  u32(&change, IFLA_BRIDGE_CFM_MEP_CREATE_DIRECTION, BR_CFM_MEP_DIRECTION_DOWN);
  u32(&change, IFLA_BRIDGE_CFM_MEP_CREATE_IFINDEX, if_nametoindex(port));
  end(&change, a);
  commit("mep create");

  begin();
  a = nest(&change, IFLA_BRIDGE_CFM_MEP_CONFIG);
  u32(&change, IFLA_BRIDGE_CFM_MEP_CONFIG_INSTANCE, 1);
  uint8_t own[ETH_ALEN];
  sscanf(mac, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &own[0], &own[1], &own[2], &own[3], &own[4], &own[5]);
  put(&change, IFLA_BRIDGE_CFM_MEP_CONFIG_UNICAST_MAC, own, ETH_ALEN);
  u32(&change, IFLA_BRIDGE_CFM_MEP_CONFIG_MDLEVEL, level);
  u32(&change, IFLA_BRIDGE_CFM_MEP_CONFIG_MEPID, (uint32_t)atoi(argv[4]));
  end(&change, a);
  commit("mep config");

  // The MAID of a character-string domain name and association name, built here from the
  // names alone.
  uint8_t maid[CFM_MAID_LENGTH] = {4, (uint8_t)strlen(md)};
  memcpy(maid + 2, md, maid[1]);
  uint8_t* at = maid + 2 + maid[1];
  at[0] = 2, at[1] = (uint8_t)strlen(ma);
  memcpy(at + 2, ma, at[1]);
  begin();
  a = nest(&change, IFLA_BRIDGE_CFM_CC_CONFIG);
  u32(&change, IFLA_BRIDGE_CFM_CC_CONFIG_INSTANCE, 1);
  u32(&change, IFLA_BRIDGE_CFM_CC_CONFIG_ENABLE, 1);
  u32(&change, IFLA_BRIDGE_CFM_CC_CONFIG_EXP_INTERVAL, interval(argv[6]));
  put(&change, IFLA_BRIDGE_CFM_CC_CONFIG_EXP_MAID, maid, sizeof maid);
  end(&change, a);
  commit("cc config");

  begin();
  a = nest(&change, IFLA_BRIDGE_CFM_CC_PEER_MEP_ADD);
  u32(&change, IFLA_BRIDGE_CFM_CC_PEER_MEP_INSTANCE, 1);
  u32(&change, IFLA_BRIDGE_CFM_CC_PEER_MEPID, (uint32_t)atoi(argv[5]));
  end(&change, a);
  commit("peer mep add");
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
    struct msg dump;
    start(&dump, RTM_GETLINK, NLM_F_DUMP, 0);
    u32(&dump, IFLA_EXT_MASK, RTEXT_FILTER_CFM_STATUS);
    request(&dump, "status", status);
    snprintf(line, sizeof line,
             "kernel peer: peer %u %s defect=%u rdi=%u portTlv=%u ifTlv=%u seqUnexpected=%u; "
             "opcodeUnexpected=%u versionUnexpected=%u levelLow=%u\n",
             peer.peer, peer.seen ? "heard" : "unheard", peer.defect, peer.rdi, peer.portTlv, peer.ifTlv,
             peer.seqUnexpected, opcodeUnexpected, versionUnexpected, levelLow);
    if (peer.listed && strcmp(line, shown) != 0) {
      fputs(line, stdout);
      fflush(stdout);
      strcpy(shown, line);
    }
    struct pollfd in = {0, POLLIN, 0};
    if (poll(&in, 1, 50) <= 0) continue;
    char said[64] = "";
    const ssize_t n = read(0, said, sizeof said - 1);
    unsigned seconds;
    if (n <= 0 || !strncmp(said, "quit", 4)) break;
    if (sscanf(said, "tx %u", &seconds) == 1) {
      transmit(seconds);
      printf("kernel peer: tx %u\n", seconds);
      fflush(stdout);
    }
  }
  reboot(RB_POWER_OFF);  // User-mode Linux exits
  return 0;
}
