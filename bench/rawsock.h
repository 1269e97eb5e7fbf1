// The packet socket every bench program opens: all frames of IFNAME, none it sends itself,
// and the device's own MAC address in `self`. Exits the program on failure.
#pragma once
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

static int openRawSocket(const char *ifname, unsigned char self[6]) {
  int s = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  if (s < 0) { perror("socket"); exit(1); }
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
  if (ioctl(s, SIOCGIFHWADDR, &ifr) < 0) { perror("SIOCGIFHWADDR"); exit(1); }
  memcpy(self, ifr.ifr_hwaddr.sa_data, 6);
  struct sockaddr_ll sll = {0};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(ETH_P_ALL);
  sll.sll_ifindex = if_nametoindex(ifname);
  if (bind(s, (struct sockaddr *)&sll, sizeof sll) < 0) { perror("bind"); exit(1); }
  int one = 1;
  setsockopt(s, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  return s;
}
