// Card identities shared by the driver and device-management libraries.
#include <cstdio>
#include <strings.h>

#include "oxsim.h"

namespace oxsim {

bool PciBusId(int card, char* buf, size_t len) {
  if (!buf || card < 0 || card >= DeviceCount()) return false;
  // Buses from 0x1a upwards, carrying into the domain so that every card has its own id.
  const unsigned bus = 0x1au + static_cast<unsigned>(card);
  char id[32];
  const int n = snprintf(id, sizeof(id), "%04x:%02x:00.0", bus >> 8, bus & 0xffu);
  if (n < 0 || static_cast<size_t>(n) + 1 > len) return false;
  snprintf(buf, len, "%s", id);
  return true;
}

int CardFromPciBusId(const char* bus_id) {
  if (!bus_id) return -1;
  char id[32];
  for (int card = 0; card < DeviceCount(); ++card)
    if (PciBusId(card, id, sizeof(id)) && strcasecmp(id, bus_id) == 0) return card;
  return -1;
}

}  // namespace oxsim
