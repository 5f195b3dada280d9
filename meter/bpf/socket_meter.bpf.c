// Counts each socket's payload bytes and packets in the kernel, keyed by the
// socket's cookie (the one sock_diag reports), for every socket of every
// network namespace below the cgroup v2 root it is attached to. No packet
// leaves the kernel: user space reads the two maps.
#include <linux/bpf.h>
#include <linux/in.h>
#include <bpf/bpf_helpers.h>

#include "socket_meter_record.h"

// Live sockets. Least recently used entries give way when full: the meter
// counts the sockets that vanish that way.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, KORVEL_METER_MAX_SOCKETS);
    __type(key, __u64);
    __type(value, struct korvel_meter_record);
} sockets SEC(".maps");

// Sockets released since user space last drained them.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, KORVEL_METER_MAX_ENDED);
    __type(key, __u64);
    __type(value, struct korvel_meter_record);
} ended SEC(".maps");

// What the programs did, per CPU: sockets added to the map, sockets released.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, KORVEL_METER_TALLIES);
    __type(key, __u32);
    __type(value, __u64);
} tally SEC(".maps");

static __always_inline void add_to_tally(__u32 which)
{
    __u64 *value = bpf_map_lookup_elem(&tally, &which);
    if (value)
        *value += 1;
}

static __always_inline void note_addresses(struct korvel_meter_record *record,
                                           const struct bpf_sock *sk)
{
    record->family = sk->family;
    record->protocol = sk->protocol;
    record->local_port = sk->src_port;
    record->remote_port = __builtin_bswap16((__u16)sk->dst_port);
    if (sk->family == 2 /* AF_INET */) {
        record->local_ip[0] = sk->src_ip4;
        record->remote_ip[0] = sk->dst_ip4;
    } else {
        for (int i = 0; i < 4; i++) {
            record->local_ip[i] = sk->src_ip6[i];
            record->remote_ip[i] = sk->dst_ip6[i];
        }
    }
}

// The transport payload of the packet: what the sockets' owners count. A
// segmentation-offloaded packet carries its headers once, so this holds for
// those too. IPv6 extension headers are taken for payload.
static __always_inline int still_open(__u32 state)
{
    return state == BPF_TCP_ESTABLISHED || state == BPF_TCP_SYN_SENT ||
           state == BPF_TCP_SYN_RECV || state == BPF_TCP_CLOSE_WAIT || state == BPF_TCP_LISTEN ||
           state == BPF_TCP_NEW_SYN_RECV;
}

static __always_inline __u32 payload_bytes(struct __sk_buff *skb, __u32 protocol)
{
    __u32 header = 40;
    if (skb->protocol == __builtin_bswap16(0x0800)) {
        __u8 first = 0;
        if (bpf_skb_load_bytes(skb, 0, &first, 1) < 0)
            return 0;
        header = (first & 0x0f) * 4;
    }
    if (protocol == IPPROTO_TCP) {
        __u8 offset = 0;
        if (bpf_skb_load_bytes(skb, header + 12, &offset, 1) < 0)
            return 0;
        header += (offset >> 4) * 4;
    } else {
        header += 8;
    }
    return skb->len > header ? skb->len - header : 0;
}

static __always_inline int count(struct __sk_buff *skb, int outgoing)
{
    struct bpf_sock *sk = skb->sk;
    if (!sk)
        return 1;
    sk = bpf_sk_fullsock(sk);
    if (!sk || (sk->protocol != IPPROTO_TCP && sk->protocol != IPPROTO_UDP))
        return 1;
    __u64 cookie = bpf_get_socket_cookie(skb);
    struct korvel_meter_record *record = bpf_map_lookup_elem(&sockets, &cookie);
    // A closed TCP socket still sends what its owner left in it, and its
    // FIN: that counts to its ended record while user space has not taken it.
    if (!record)
        record = bpf_map_lookup_elem(&ended, &cookie);
    if (!record) {
        // Never counted (open before the meter started): a closing one is not
        // taken in, or it would stay in the map after its end.
        if (sk->protocol == IPPROTO_TCP && !still_open(sk->state))
            return 1;
        struct korvel_meter_record fresh = {};
        fresh.uid = bpf_get_socket_uid(skb);
        // Another CPU may have added it meanwhile: either way, look again.
        if (bpf_map_update_elem(&sockets, &cookie, &fresh, BPF_NOEXIST) == 0)
            add_to_tally(KORVEL_METER_TALLY_ADDED);
        record = bpf_map_lookup_elem(&sockets, &cookie);
        if (!record)
            return 1;
    }
    // Addresses are noted on every packet: a socket connects or binds after
    // it is created.
    note_addresses(record, sk);
    __u64 bytes = payload_bytes(skb, sk->protocol);
    __u64 packets = skb->gso_segs > 1 ? skb->gso_segs : 1;
    if (outgoing) {
        __sync_fetch_and_add(&record->bytes_out, bytes);
        __sync_fetch_and_add(&record->packets_out, packets);
    } else {
        __sync_fetch_and_add(&record->bytes_in, bytes);
        __sync_fetch_and_add(&record->packets_in, packets);
    }
    return 1;
}

SEC("cgroup_skb/ingress")
int count_ingress(struct __sk_buff *skb)
{
    return count(skb, 0);
}

SEC("cgroup_skb/egress")
int count_egress(struct __sk_buff *skb)
{
    return count(skb, 1);
}

// The process that creates a socket owns its bytes; an accepted socket is
// created by the kernel and takes the process that releases it instead.
SEC("cgroup/sock_create")
int note_creator(struct bpf_sock *sk)
{
    if (sk->protocol != IPPROTO_TCP && sk->protocol != IPPROTO_UDP)
        return 1;
    __u64 cookie = bpf_get_socket_cookie(sk);
    struct korvel_meter_record fresh = {};
    fresh.pid = bpf_get_current_pid_tgid() >> 32;
    fresh.uid = (__u32)bpf_get_current_uid_gid();
    fresh.family = sk->family;
    fresh.protocol = sk->protocol;
    if (bpf_map_update_elem(&sockets, &cookie, &fresh, BPF_ANY) == 0)
        add_to_tally(KORVEL_METER_TALLY_ADDED);
    return 1;
}

SEC("cgroup/sock_release")
int note_release(struct bpf_sock *sk)
{
    __u64 cookie = bpf_get_socket_cookie(sk);
    struct korvel_meter_record *record = bpf_map_lookup_elem(&sockets, &cookie);
    if (!record)
        return 1;
    struct korvel_meter_record last = *record;
    if (last.pid == 0)
        last.pid = bpf_get_current_pid_tgid() >> 32;
    bpf_map_update_elem(&ended, &cookie, &last, BPF_ANY);
    if (bpf_map_delete_elem(&sockets, &cookie) == 0)
        add_to_tally(KORVEL_METER_TALLY_RELEASED);
    return 1;
}

char LICENSE[] SEC("license") = "GPL";
