#include "meter/kernel_counters.h"

#include "platform/proc/address_text.h"
#include "socket_meter.skel.h"
#include "socket_meter_record.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <numeric>

namespace korvel::meter {
namespace {

using platform::proc::Family;

std::string addressOf(const uint32_t (&words)[4], Family family) {
    std::array<uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), words, bytes.size());
    return platform::proc::addressText(family, bytes);
}

MeterSocket socketOf(uint64_t cookie, const korvel_meter_record& record, bool ended) {
    const bool v6 = record.family == AF_INET6;
    const Family family = v6 ? Family::inet6 : Family::inet;
    const bool tcp = record.protocol == IPPROTO_TCP;
    MeterSocket s;
    s.cookie = cookie;
    s.pid = static_cast<int32_t>(record.pid);
    s.uid = record.uid;
    s.proto = tcp ? (v6 ? "TCP6" : "TCP") : (v6 ? "UDP6" : "UDP");
    s.localAddr = addressOf(record.local_ip, family);
    s.localPort = static_cast<uint16_t>(record.local_port);
    s.remoteAddr = addressOf(record.remote_ip, family);
    s.remotePort = static_cast<uint16_t>(record.remote_port);
    s.bytesIn = record.bytes_in;
    s.bytesOut = record.bytes_out;
    s.packetsIn = record.packets_in;
    s.packetsOut = record.packets_out;
    s.ended = ended;
    return s;
}

// Every entry of a hash map, with or without taking it out, a few thousand
// per system call.
std::vector<MeterSocket> readMap(int fd, bool take) {
    constexpr uint32_t kChunk = 4096;
    std::vector<uint64_t> keys(kChunk);
    std::vector<korvel_meter_record> values(kChunk);
    std::vector<MeterSocket> out;
    uint64_t in = 0;
    uint64_t next = 0;
    for (bool first = true;; first = false) {
        uint32_t count = kChunk;
        const int status = (take ? bpf_map_lookup_and_delete_batch : bpf_map_lookup_batch)(
            fd, first ? nullptr : &in, &next, keys.data(), values.data(), &count, nullptr);
        const int error = status < 0 ? errno : 0;
        for (uint32_t i = 0; i < count && (status == 0 || error == ENOENT); ++i) {
            out.push_back(socketOf(keys[i], values[i], take));
        }
        if (status < 0) {
            return out; // ENOENT: the whole map is read
        }
        in = next;
    }
}

size_t countKeys(int fd) {
    size_t count = 0;
    uint64_t key = 0;
    uint64_t next = 0;
    const uint64_t* previous = nullptr;
    while (bpf_map_get_next_key(fd, previous, &next) == 0) {
        key = next;
        previous = &key;
        ++count;
    }
    return count;
}

uint64_t tallied(int fd, uint32_t which) {
    const int cpus = libbpf_num_possible_cpus();
    if (cpus <= 0) {
        return 0;
    }
    std::vector<uint64_t> perCpu(static_cast<size_t>(cpus));
    if (bpf_map_lookup_elem(fd, &which, perCpu.data()) != 0) {
        return 0;
    }
    return std::accumulate(perCpu.begin(), perCpu.end(), uint64_t{0});
}

} // namespace

std::unique_ptr<KernelCounters> KernelCounters::attach(const std::string& cgroupDirectory,
                                                       std::string& why) {
    socket_meter* skeleton = socket_meter__open_and_load();
    if (skeleton == nullptr) {
        why = std::string("the kernel refused the counting programs: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<KernelCounters> counters(new KernelCounters(skeleton));
    const int cgroup = ::open(cgroupDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgroup < 0) {
        why = "cannot open " + cgroupDirectory + ": " + std::strerror(errno);
        return nullptr;
    }
    bpf_program* programs[] = {skeleton->progs.note_creator, skeleton->progs.note_release,
                               skeleton->progs.count_ingress, skeleton->progs.count_egress};
    bpf_link** links[] = {&skeleton->links.note_creator, &skeleton->links.note_release,
                          &skeleton->links.count_ingress, &skeleton->links.count_egress};
    for (size_t i = 0; i < std::size(programs); ++i) {
        *links[i] = bpf_program__attach_cgroup(programs[i], cgroup);
        if (*links[i] == nullptr) {
            why = std::string("the kernel refused to attach ") + bpf_program__name(programs[i]) +
                  " to " + cgroupDirectory + ": " + std::strerror(errno);
            ::close(cgroup);
            return nullptr;
        }
    }
    ::close(cgroup);
    return counters;
}

KernelCounters::~KernelCounters() {
    socket_meter__destroy(skeleton_);
}

std::vector<MeterSocket> KernelCounters::openSockets() const {
    return readMap(bpf_map__fd(skeleton_->maps.sockets), false);
}

std::vector<MeterSocket> KernelCounters::takeEnded() {
    std::vector<MeterSocket> ended = readMap(bpf_map__fd(skeleton_->maps.ended), true);
    taken_ += ended.size();
    return ended;
}

uint64_t KernelCounters::lost(size_t open) const {
    // Every socket counted was either released into the ended map or is
    // still open; the rest were pushed out of a full map. Likewise every
    // ended record was read out or waits.
    const int tally = bpf_map__fd(skeleton_->maps.tally);
    const uint64_t added = tallied(tally, KORVEL_METER_TALLY_ADDED);
    const uint64_t released = tallied(tally, KORVEL_METER_TALLY_RELEASED);
    const uint64_t waiting = countKeys(bpf_map__fd(skeleton_->maps.ended));
    const uint64_t pushedOut = added > released + open ? added - released - open : 0;
    const uint64_t endedLost = released > taken_ + waiting ? released - taken_ - waiting : 0;
    return pushedOut + endedLost;
}

} // namespace korvel::meter
