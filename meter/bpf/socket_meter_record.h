// One socket's counts as the kernel programs keep them; shared with the
// meter, which reads the maps.
#pragma once

#include <linux/types.h>

#define KORVEL_METER_MAX_SOCKETS 65536
#define KORVEL_METER_MAX_ENDED 16384

#define KORVEL_METER_TALLY_ADDED 0
#define KORVEL_METER_TALLY_RELEASED 1
#define KORVEL_METER_TALLIES 2

struct korvel_meter_record {
    __u64 bytes_in;
    __u64 bytes_out;
    __u64 packets_in;
    __u64 packets_out;
    __u32 pid; // the creator's process (thread group); 0 when unknown
    __u32 uid; // the socket's owner
    __u32 family;
    __u32 protocol;
    __u32 local_ip[4]; // network order, as the kernel keeps them
    __u32 remote_ip[4];
    __u32 local_port;  // host order
    __u32 remote_port; // host order
};
