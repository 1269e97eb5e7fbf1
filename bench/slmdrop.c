// slmdrop: a Y.1731 far end that loses a known share of synthetic loss frames, for measuring
// how right a synthetic loss measurement is. Of the untagged SLMs to IFNAME it ignores
// FORWARD_PCT percent (lost on the way there: not counted), and of the SLRs it counts as
// sent it drops BACKWARD_PCT percent (lost on the way back). The shares are exact, spread
// evenly (every 20th frame for 5%), so a run of N frames loses N times the share, rounded.
// One test at a time: TxFCb counts the SLRs of the test of the last SLM. Runs until killed.
//   slmdrop IFNAME FORWARD_PCT BACKWARD_PCT
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "rawsock.h"

// Whether the next frame is one of the `pct` percent lost: every frame adds its share, and
// a frame that brings the sum past 100 is lost.
static int lost(int *sum, int pct) {
  *sum += pct;
  if (*sum < 100) return 0;
  *sum -= 100;
  return 1;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: slmdrop IFNAME FORWARD_PCT BACKWARD_PCT\n");
    return 2;
  }
  const int forward = atoi(argv[2]), backward = atoi(argv[3]);
  unsigned char self[6];
  const int s = openRawSocket(argv[1], self);
  printf("slmdrop on %s: forward %d%%, backward %d%%\n", argv[1], forward, backward);
  fflush(stdout);

  unsigned char f[2048];
  uint32_t test = 0, txFcb = 0;
  int forwardSum = 0, backwardSum = 0;
  for (;;) {
    ssize_t n = recv(s, f, sizeof f, 0);
    // An untagged SLM to us, whole: Ethernet header, common header, 16 bytes of fixed part.
    if (n < 34 || f[12] != 0x89 || f[13] != 0x02 || f[15] != 55 || memcmp(f, self, 6)) continue;
    if (lost(&forwardSum, forward)) continue;
    uint32_t id;
    memcpy(&id, f + 22, 4);
    if (id != test) test = id, txFcb = 0;
    const uint32_t count = htonl(++txFcb);
    if (lost(&backwardSum, backward)) continue;
    memcpy(f, f + 6, 6), memcpy(f + 6, self, 6);
    f[15] = 54;
    f[20] = 0, f[21] = 1;  // the responder's MEP id
    memcpy(f + 30, &count, 4);
    if (send(s, f, (size_t)n, 0) < 0) { perror("send"); return 1; }
  }
}
