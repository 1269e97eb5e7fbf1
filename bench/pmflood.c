// pmflood: closed-loop load of one kind of CFM request (LBM or Y.1731 DMM) at a responder,
// so that two of its responders are measured by one instrument in one run. Keeps at most
// WINDOW requests unanswered, for SECONDS; prints one line:
//   sent=N replies=N stalls=N seconds=S replies_per_s=R p50_us=X p99_us=Y
// An LBM carries its number as its transaction id, a DMM in its TxTimeStampf's seconds
// (which the DMR returns as it came); a reply counts when it carries a number sent.
//   pmflood IFNAME DSTMAC MDLEVEL SECONDS WINDOW lbm|dmm
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "rawsock.h"

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}
static int cmpd(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
  if (argc < 7 || (strcmp(argv[6], "lbm") && strcmp(argv[6], "dmm"))) {
    fprintf(stderr, "usage: pmflood IFNAME DSTMAC MDLEVEL SECONDS WINDOW lbm|dmm\n");
    return 2;
  }
  const char *ifn = argv[1];
  unsigned d[6];
  sscanf(argv[2], "%x:%x:%x:%x:%x:%x", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5]);
  const int level = atoi(argv[3]), window = atoi(argv[5]), dmm = !strcmp(argv[6], "dmm");
  const double secs = atof(argv[4]);
  // The request's opcode, the reply's, the first TLV offset, and where the number goes.
  const int opCode = dmm ? 47 : 3, replyOpCode = dmm ? 46 : 2, firstTlvOffset = dmm ? 32 : 4;
  const size_t idAt = 18;

  unsigned char src[6];
  const int s = openRawSocket(ifn, src);
  int buf = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);

  // The End TLV follows the fixed part; the rest of the 60 bytes is zero.
  unsigned char f[64];
  memset(f, 0, sizeof f);
  for (int i = 0; i < 6; i++) f[i] = d[i];
  memcpy(f + 6, src, 6);
  f[12] = 0x89, f[13] = 0x02;
  f[14] = level << 5, f[15] = opCode, f[16] = 0, f[17] = firstTlvOffset;

  size_t cap = 1 << 24;
  double *sentAt = calloc(cap, sizeof(double)), *lat = calloc(cap, sizeof(double));
  uint32_t seq = 0, acked = 0, got = 0, stalls = 0;  // acked: the window's base
  double t0 = now(), tend = t0 + secs;
  unsigned char r[2048];
  while (now() < tend) {
    while ((int)(seq - acked) < window && seq < cap) {
      uint32_t be = htonl(seq);
      memcpy(f + idAt, &be, 4);
      if (send(s, f, 60, MSG_DONTWAIT) < 0) {
        if (errno == EAGAIN || errno == ENOBUFS) break;
        perror("send");
        return 1;
      }
      sentAt[seq++] = now();
    }
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) {  // a window lost: start again from what was sent
      if ((int)(seq - acked) >= window) stalls++, acked = seq;
      continue;
    }
    for (;;) {
      ssize_t n = recv(s, r, sizeof r, MSG_DONTWAIT);
      if (n < 0) break;
      if (n < (ssize_t)(idAt + 4) || r[12] != 0x89 || r[13] != 0x02 || r[15] != replyOpCode || memcmp(r, src, 6)) continue;
      uint32_t id;
      memcpy(&id, r + idAt, 4);
      id = ntohl(id);
      if (id < seq) {
        lat[got < cap ? got : cap - 1] = now() - sentAt[id];
        got++;
        if ((int)(id + 1 - acked) > 0) acked = id + 1;
      }
    }
  }
  double el = now() - t0;
  uint32_t n = got < cap ? got : cap;
  qsort(lat, n, sizeof(double), cmpd);
  printf("sent=%u replies=%u stalls=%u seconds=%.2f replies_per_s=%.0f p50_us=%.1f p99_us=%.1f\n", seq, got, stalls, el,
         got / el, n ? lat[n / 2] * 1e6 : -1, n ? lat[(size_t)(n * 0.99)] * 1e6 : -1);
  return 0;
}
