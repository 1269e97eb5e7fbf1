// dmhold: a Y.1731 far end that holds each DMM for a known time before its DMR, for
// measuring how right a delay measurement is. Each untagged DMM on IFNAME is answered
// HOLD_US microseconds after the kernel received it (spinning on the clock for its last
// 200 µs, so that the hold does not depend on a wake-up). With `fill` the DMR says when it received and sent
// (RxTimeStampf, TxTimeStampb), so that an initiator takes the hold out; with `zero` it
// leaves both zero, and the hold is part of the delay. Runs until killed.
//   dmhold IFNAME HOLD_US fill|zero
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "rawsock.h"

static int64_t ns(struct timespec t) { return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec; }
static int64_t nowNs(void) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return ns(t);
}
// A Y.1731 time: seconds and nanoseconds, big-endian.
static void putTime(unsigned char *at, int64_t t) {
  uint32_t s = htonl((uint32_t)(t / 1000000000)), n = htonl((uint32_t)(t % 1000000000));
  memcpy(at, &s, 4), memcpy(at + 4, &n, 4);
}

int main(int argc, char **argv) {
  if (argc < 4 || (strcmp(argv[3], "fill") && strcmp(argv[3], "zero"))) {
    fprintf(stderr, "usage: dmhold IFNAME HOLD_US fill|zero\n");
    return 2;
  }
  const int64_t hold = (int64_t)(atof(argv[2]) * 1000);
  const int fill = !strcmp(argv[3], "fill");
  unsigned char self[6];
  const int s = openRawSocket(argv[1], self);
  const int one = 1;
  setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  printf("dmhold on %s: %s µs, %s\n", argv[1], argv[2], fill ? "fill" : "zero");
  fflush(stdout);

  unsigned char f[2048], control[256];
  for (;;) {
    struct iovec iov = {f, sizeof f};
    struct msghdr m = {0};
    m.msg_iov = &iov, m.msg_iovlen = 1, m.msg_control = control, m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s, &m, 0);
    // An untagged DMM to us, whole: Ethernet header, common header, four times.
    if (n < 50 || f[12] != 0x89 || f[13] != 0x02 || f[15] != 47 || memcmp(f, self, 6)) continue;
    int64_t rx = 0;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) rx = ns(*(struct timespec *)CMSG_DATA(c));
    }
    if (!rx) rx = nowNs();
    // Asleep until 200 µs before the time, then spinning: a process that spun for the whole
    // hold would use up its time slice and be preempted between its send time and its send.
    const int64_t wake = rx + hold - 200000;
    if (wake > nowNs()) {
      const struct timespec at = {wake / 1000000000, wake % 1000000000};
      clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, NULL);
    }
    while (nowNs() < rx + hold) {
    }
    memcpy(f, f + 6, 6), memcpy(f + 6, self, 6);
    f[15] = 46;
    memset(f + 26, 0, 24);  // RxTimeStampf, TxTimeStampb, RxTimeStampb
    if (fill) putTime(f + 26, rx), putTime(f + 34, nowNs());
    if (send(s, f, (size_t)n, 0) < 0) { perror("send"); return 1; }
  }
}
