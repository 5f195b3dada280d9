#!/usr/bin/env python3
"""What the kernel meter costs and how true it counts, with and without it.

Runs the built korvel-meter (its own socket in a temporary directory, asked
once a second as a helper would) and, alternating rounds without and with it:

  loopback TCP   one connection, bulk sends for --seconds, MB/s received
  loopback UDP   1,200-byte datagrams as fast as one sender can, MB/s received
  paced UDP      10k and 100k datagrams/s: the meter's CPU, the senders' CPU
                 per datagram (the programs run in the senders' context)

then its packet programs' time per datagram from the kernel's own statistics,
the meter's RSS, the rows of its last reply and its "lost" figure, and its
bytesOut for the senders' sockets against what the senders' kernel sent.
Needs root; says why and exits 0 when it cannot run.

  meter_bench.py [--meter build/bin/korvel-meter] [--seconds 5] [--rounds 5]
                 [--paced-seconds 10] [--paced-rounds 3] [--senders 2] [--wait 90]
"""

import argparse
import ctypes
import json
import os
import resource
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

DATAGRAM = 1200
TCP_CHUNK = 1 << 20
SO_COOKIE = 57
SO_RCVBUFFORCE = 33
# Loading or unloading the programs is not part of a run.
SETTLE = 0.5
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
ME = os.path.abspath(__file__)


def cookie_of(sock):
    return struct.unpack("=Q", sock.getsockopt(socket.SOL_SOCKET, SO_COOKIE, 8))[0]


def say(result):
    print(json.dumps(result), flush=True)


# --- roles, each in a process of its own ---------------------------------

def tcp_sink():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    say({"port": server.getsockname()[1]})
    conn, _ = server.accept()
    buffer = bytearray(TCP_CHUNK)
    view = memoryview(buffer)
    got = conn.recv_into(view)
    first = time.perf_counter()
    total = got
    while got:
        got = conn.recv_into(view)
        total += got
    seconds = time.perf_counter() - first
    conn.close()
    say({"bytes": total, "seconds": seconds})


def tcp_source(port, seconds):
    conn = socket.create_connection(("127.0.0.1", port))
    chunk = b"x" * TCP_CHUNK
    sent = 0
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        conn.sendall(chunk)
        sent += len(chunk)
    # Once the sink has read all, the kernel's tally of bytes sent is final.
    conn.shutdown(socket.SHUT_WR)
    conn.recv(1)
    info = conn.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 256)
    wire, retransmitted = struct.unpack_from("=QQ", info, 200)  # tcpi_bytes_sent, _retrans
    cookie = cookie_of(conn)
    conn.close()
    say({"bytes": sent, "wire": wire, "retransmitted": retransmitted, "cookie": cookie})


def udp_sink():
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    # Root may pass rmem_max: fewer drops when the reader falls behind.
    sink.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)
    sink.bind(("127.0.0.1", 0))
    say({"port": sink.getsockname()[1]})
    buffer = bytearray(65536)
    datagrams = total = 0
    sink.settimeout(60)
    while True:
        try:
            got = sink.recv_into(buffer)
        except socket.timeout:
            break
        # The bench's own empty datagram ends the run; the timeout covers its loss.
        if got == 0:
            break
        datagrams += 1
        total += got
        sink.settimeout(3)
    say({"datagrams": datagrams, "bytes": total})


def udp_source(port, seconds, rate):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.connect(("127.0.0.1", port))
    send = sock.send
    payload = b"x" * DATAGRAM
    sent = failed = 0
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    if rate <= 0:
        while time.perf_counter() - start < seconds:
            for _ in range(256):
                try:
                    send(payload)
                    sent += 1
                except OSError:
                    failed += 1
    else:
        attempted = 0
        while True:
            elapsed = time.perf_counter() - start
            if elapsed >= seconds:
                break
            due = int(elapsed * rate) - attempted
            if due <= 0:
                time.sleep(0.0005)
                continue
            for _ in range(due):
                try:
                    send(payload)
                    sent += 1
                except OSError:
                    failed += 1
            attempted += due
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cookie = cookie_of(sock)
    sock.close()
    say({"datagrams": sent, "failed": failed, "bytes": sent * DATAGRAM, "seconds": elapsed,
         "cookie": cookie, "user": after.ru_utime - before.ru_utime,
         "sys": after.ru_stime - before.ru_stime})


def role(kind, *params):
    if kind == "tcp-sink":
        tcp_sink()
    elif kind == "tcp-source":
        tcp_source(int(params[0]), float(params[1]))
    elif kind == "udp-sink":
        udp_sink()
    elif kind == "udp-source":
        udp_source(int(params[0]), float(params[1]), float(params[2]))


class Role:
    def __init__(self, *params):
        self.process = subprocess.Popen([sys.executable, ME, "--role", *map(str, params)],
                                        stdout=subprocess.PIPE, text=True)

    def line(self):
        text = self.process.stdout.readline()
        if not text:
            raise RuntimeError("a bench process ended early")
        return json.loads(text)

    def result(self):
        result = self.line()
        self.process.wait()
        return result


# --- the meter ------------------------------------------------------------

class MeterFailed(Exception):
    pass


class MeterConnection:
    """One connection to the meter, kept from ask to ask as the helper keeps it."""

    def __init__(self, path, timeout=5.0):
        self.conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.conn.settimeout(timeout)
            self.conn.connect(path)
            if self.conn.recv(1) != b"K":
                raise OSError("no greeting")
        except BaseException:
            self.conn.close()
            raise

    def _exactly(self, n):
        data = bytearray()
        while len(data) < n:
            got = self.conn.recv(n - len(data))
            if not got:
                raise OSError("reply cut short")
            data += got
        return bytes(data)

    def ask(self):
        """The reply to one meterSockets request: the open sockets and those ended
        since this connection last asked."""
        selector = b"meterSockets"
        body = bytes([len(selector)]) + selector + b"\0"
        self.conn.sendall(struct.pack(">I", len(body)) + body)
        body = self._exactly(struct.unpack(">I", self._exactly(4))[0])
        if not body or body[0] != 1:
            raise OSError("no data in the reply")
        return json.loads(body[1:])

    def close(self):
        self.conn.close()


def ask(path, timeout=5.0):
    """One request on a connection of its own: the ended sockets of the last minutes."""
    connection = MeterConnection(path, timeout)
    try:
        return connection.ask()
    finally:
        connection.close()


def proc_fields(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()


def cpu_seconds(pid):
    """utime + stime of the whole process, in seconds (tick-sampled)."""
    fields = proc_fields(pid)
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def run_seconds(pid):
    """The time the process's live threads ran, to the nanosecond."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def memory_kb(pid):
    found = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                found[key] = int(value.split()[0])
    return found


class Meter:
    count = 0

    def __init__(self, binary, work):
        Meter.count += 1
        self.path = os.path.join(work, f"meter-{Meter.count}.sock")
        env = dict(os.environ, KORVEL_METER_SOCKET=self.path,
                   KORVEL_METER_IDLE_EXIT_MS="3600000")
        log_path = os.path.join(work, f"meter-{Meter.count}.log")
        started = time.perf_counter()
        with open(log_path, "w") as log:
            self.process = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL,
                                            stderr=log)
        while True:
            if self.process.poll() is not None:
                with open(log_path) as log:
                    why = log.read().strip() or f"exit status {self.process.returncode}"
                raise MeterFailed(why)
            try:
                ask(self.path, timeout=1)
                break
            except OSError:
                if time.perf_counter() - started > 10:
                    self.stop()
                    raise MeterFailed("its socket did not answer within 10 s")
                time.sleep(0.05)
        self.start_ms = 1000 * (time.perf_counter() - started)
        self.asks = []
        self.replies = []
        # A connection is told only the sockets that end after it is made, so
        # it is made before the runs and kept, and what it is told is kept too.
        self.told = {}
        self._lock = threading.Lock()
        self._connection = MeterConnection(self.path)
        self._stop = threading.Event()
        self._asker = threading.Thread(target=self._ask_each_second, daemon=True)
        self._asker.start()

    def ask(self):
        began = time.perf_counter()
        with self._lock:
            reply = self._connection.ask()
        self.asks.append(1000 * (time.perf_counter() - began))
        self.replies.append((len(reply["sockets"]), reply["lost"]))
        for row in reply["sockets"]:
            self.told[row["cookie"]] = row
        return reply

    def _ask_each_second(self):
        while not self._stop.wait(1.0):
            try:
                self.ask()
            except (OSError, ValueError):
                pass

    def usage(self):
        return cpu_seconds(self.process.pid), run_seconds(self.process.pid)

    def stop(self):
        if hasattr(self, "_stop"):
            self._stop.set()
            self._asker.join()
            self._connection.close()
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# --- programs attached at the cgroup v2 root ------------------------------

def cgroup2_root():
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            separator = fields.index("-")
            if fields[separator + 1] == "cgroup2" and fields[3] == "/":
                return fields[4].replace("\\040", " ")
    return "/run/korvel/cgroup2" if os.path.isdir("/run/korvel/cgroup2") else None


LIBC = ctypes.CDLL(None, use_errno=True)
BPF_PROG_QUERY, BPF_PROG_GET_FD_BY_ID, BPF_OBJ_GET_INFO_BY_FD, BPF_ENABLE_STATS = 16, 13, 15, 32
PACKET_ATTACH_TYPES = (0, 1)  # BPF_CGROUP_INET_INGRESS, BPF_CGROUP_INET_EGRESS


BPF_SYSCALL = {"x86_64": 321, "aarch64": 280}.get(os.uname().machine)


def bpf(command, attr):
    if BPF_SYSCALL is None:
        return -1
    return LIBC.syscall(BPF_SYSCALL, command, attr, ctypes.sizeof(attr))


def root_programs(root, attach_type):
    """The ids of the programs attached to the root for one hook; None when unknown."""
    descriptor = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        ids = (ctypes.c_uint32 * 64)()
        attr = ctypes.create_string_buffer(72)
        struct.pack_into("IIIIQI", attr, 0, descriptor, attach_type, 0, 0,
                         ctypes.addressof(ids), len(ids))
        if bpf(BPF_PROG_QUERY, attr) != 0:
            return None
        return list(ids[:struct.unpack_from("I", attr, 24)[0]])
    finally:
        os.close(descriptor)


def attached_packet_programs(root):
    """Ingress and egress programs on the root: anyone's meter counts here too."""
    if root is None:
        return None
    found = [root_programs(root, t) for t in PACKET_ATTACH_TYPES]
    return None if None in found else sum(map(len, found))


def program_runs(program_id):
    """(name, run_time_ns, run_cnt) of a program, as the kernel's statistics keep them."""
    attr = ctypes.create_string_buffer(12)
    struct.pack_into("I", attr, 0, program_id)
    descriptor = bpf(BPF_PROG_GET_FD_BY_ID, attr)
    if descriptor < 0:
        return None
    try:
        info = ctypes.create_string_buffer(256)
        attr = ctypes.create_string_buffer(16)
        struct.pack_into("IIQ", attr, 0, descriptor, len(info), ctypes.addressof(info))
        if bpf(BPF_OBJ_GET_INFO_BY_FD, attr) != 0:
            return None
        name = info.raw[64:80].split(b"\0")[0].decode()
        return (name, *struct.unpack_from("QQ", info, 192))
    finally:
        os.close(descriptor)


def run_statistics():
    """A descriptor that keeps the kernel timing programs until it is closed; None if refused."""
    attr = ctypes.create_string_buffer(4)
    descriptor = bpf(BPF_ENABLE_STATS, attr)  # type 0: BPF_STATS_RUN_TIME
    return descriptor if descriptor >= 0 else None


# --- the runs -------------------------------------------------------------

def end_udp_sink(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for _ in range(3):
            s.sendto(b"", ("127.0.0.1", port))
            time.sleep(0.05)


def tcp_run(seconds):
    sink = Role("tcp-sink")
    port = sink.line()["port"]
    source = Role("tcp-source", port, seconds).result()
    got = sink.result()
    return {"mbs": got["bytes"] / got["seconds"] / 1e6,
            "sources": [source]}


def udp_run(seconds, rate, senders):
    sink = Role("udp-sink")
    port = sink.line()["port"]
    sources = [Role("udp-source", port, seconds, rate / senders if rate else 0)
               for _ in range(senders)]
    results = [s.result() for s in sources]
    end_udp_sink(port)
    got = sink.result()
    sent = sum(r["datagrams"] for r in results)
    longest = max(r["seconds"] for r in results)
    return {"mbs": got["bytes"] / longest / 1e6, "rate": sent / longest,
            "received": got["datagrams"], "sent": sent,
            "sys_us": 1e6 * sum(r["sys"] for r in results) / max(sent, 1),
            "cpu_us": 1e6 * sum(r["sys"] + r["user"] for r in results) / max(sent, 1),
            "sources": results}


class Bench:
    def __init__(self, args, work, root):
        self.args, self.work, self.root = args, work, root
        self.foreign = []
        self.meter_cpu = {}
        self.start_ms, self.ask_ms, self.memory = [], [], []
        self.truth = {"TCP": [0, 0, 0], "UDP": [0, 0, 0]}  # counted, sent on the wire, metered
        self.replies = []  # (rows, lost) of every reply on the kept connections

    def without(self, run):
        # Our last meter's programs leave as its process ends; give them a moment.
        for _ in range(40):
            attached = attached_packet_programs(self.root)
            if not attached:
                break
            time.sleep(0.05)
        self.foreign.append(attached)
        time.sleep(SETTLE)
        return run()

    def with_meter(self, run, cpu_key=None):
        meter = Meter(self.args.meter, self.work)
        try:
            attached = attached_packet_programs(self.root)
            self.foreign.append(None if attached is None else attached - 2)
            self.start_ms.append(meter.start_ms)
            time.sleep(SETTLE)
            wall, cpu = time.perf_counter(), meter.usage()
            result = run()
            wall, cpu = time.perf_counter() - wall, [b - a for a, b in zip(cpu, meter.usage())]
            if cpu_key:
                spent = self.meter_cpu.setdefault(cpu_key, [0.0, 0.0, 0.0])
                spent[0] += wall
                spent[1] += cpu[0]
                spent[2] += cpu[1]
            self.check_truth(meter, result["sources"], "UDP" if "rate" in result else "TCP")
            self.ask_ms += meter.asks
            self.memory.append(memory_kb(meter.process.pid))
        finally:
            meter.stop()
        return result

    def check_truth(self, meter, sources, proto):
        wanted = {s["cookie"]: s for s in sources}
        # The senders have closed: their rows come ended, with the last counts.
        for _ in range(20):
            meter.ask()
            if all(meter.told.get(c, {}).get("ended") for c in wanted):
                break
            time.sleep(0.1)
        self.replies += meter.replies
        for cookie, source in wanted.items():
            self.truth[proto][0] += source["bytes"]
            self.truth[proto][1] += source.get("wire", source["bytes"])
            self.truth[proto][2] += meter.told.get(cookie, {}).get("bytesOut", 0)

    def program_cost(self, run):
        """Each packet program's time per run while `run` goes, from the kernel's statistics."""
        statistics_on = run_statistics()
        if statistics_on is None or self.root is None:
            return None
        try:
            others = {i for t in PACKET_ATTACH_TYPES for i in root_programs(self.root, t) or []}
            meter = Meter(self.args.meter, self.work)
            try:
                ours = [i for t in PACKET_ATTACH_TYPES for i in root_programs(self.root, t) or []
                        if i not in others]
                before = {i: program_runs(i) for i in ours}
                result = run()
                after = {i: program_runs(i) for i in ours}
            finally:
                meter.stop()
        finally:
            os.close(statistics_on)
        if None in before.values() or None in after.values():
            return None
        cost = {after[i][0]: (after[i][1] - before[i][1], after[i][2] - before[i][2]) for i in ours}
        return cost, result

    def alternate(self, rounds, run, cpu_key=None):
        off, on = [], []
        for r in range(rounds):
            # Alternating which goes first keeps a drift in the machine's load out of the ratio.
            if r % 2 == 0:
                off.append(self.without(run))
                on.append(self.with_meter(run, cpu_key))
            else:
                on.append(self.with_meter(run, cpu_key))
                off.append(self.without(run))
        return off, on


def median(results, key):
    return statistics.median(r[key] for r in results)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--meter", default=os.path.join(os.path.dirname(os.path.dirname(ME)),
                                                        "build", "bin", "korvel-meter"))
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--paced-seconds", type=float, default=10)
    parser.add_argument("--paced-rounds", type=int, default=3)
    parser.add_argument("--senders", type=int, default=2)
    parser.add_argument("--wait", type=float, default=90,
                        help="seconds to wait for others' meters to leave the cgroup v2 root")
    parser.add_argument("--role", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        role(*args.role)
        return 0

    if os.geteuid() != 0:
        print("meter_bench: skipped: the meter loads BPF programs, which needs root")
        return 0
    if not os.access(args.meter, os.X_OK):
        print(f"meter_bench: skipped: no meter at {args.meter} (build korvel-meter, or --meter)")
        return 0
    meter_given = args.meter
    root = cgroup2_root()
    work = tempfile.mkdtemp(prefix="korvel-meter-bench-")
    # Another meter (a developer's, a test's) would count in the runs without ours.
    if attached_packet_programs(root):
        print(f"meter_bench: others' programs are on the cgroup v2 root; waiting up to "
              f"{args.wait:g} s for them to leave", file=sys.stderr, flush=True)
        deadline = time.monotonic() + args.wait
        while attached_packet_programs(root) and time.monotonic() < deadline:
            time.sleep(1)
    # A rebuild during the run would swap the binary between runs.
    binary = os.path.join(work, "meter")
    shutil.copy2(args.meter, binary)
    args.meter = binary
    try:
        Meter(args.meter, work).stop()
    except MeterFailed as failure:
        print(f"meter_bench: skipped: korvel-meter did not start: {failure}")
        shutil.rmtree(work, ignore_errors=True)
        return 0

    bench = Bench(args, work, root)
    load_before = os.getloadavg()
    tcp_off, tcp_on = bench.alternate(args.rounds, lambda: tcp_run(args.seconds))
    udp_off, udp_on = bench.alternate(args.rounds, lambda: udp_run(args.seconds, 0, 1))
    paced = {}
    for rate in (10_000, 100_000):
        paced[rate] = bench.alternate(
            args.paced_rounds, lambda: udp_run(args.paced_seconds, rate, args.senders), rate)
    cost = bench.program_cost(lambda: udp_run(args.paced_seconds, 100_000, args.senders))
    load_after = os.getloadavg()

    rows = []

    def row(name, off, on, ratio="", goal="", met="", note=""):
        rows.append((name, off, on, ratio, goal, met, note))

    def verdict(ok):
        return "yes" if ok else "NO"

    for label, off, on in (("loopback TCP, 1 connection, MB/s", tcp_off, tcp_on),
                           ("loopback UDP, 1,200 B datagrams, MB/s got", udp_off, udp_on)):
        a, b = median(off, "mbs"), median(on, "mbs")
        pairs = sorted(100 * y["mbs"] / x["mbs"] for x, y in zip(off, on))
        row(label, f"{a:,.1f}", f"{b:,.1f}", f"{100 * b / a:.1f} %", ">= 97 %",
            verdict(b / a >= 0.97), f"medians of {args.rounds} runs of {args.seconds:g} s; "
            f"runs {min(r['mbs'] for r in off):,.0f}-{max(r['mbs'] for r in off):,.0f} and "
            f"{min(r['mbs'] for r in on):,.0f}-{max(r['mbs'] for r in on):,.0f}; "
            f"pairs' ratios {pairs[0]:.1f}-{pairs[-1]:.1f} %, median {statistics.median(pairs):.1f} %")

    def got(results):
        return f"{100 * sum(r['received'] for r in results) / sum(r['sent'] for r in results):.1f} %"

    row("  UDP datagrams got / sent", got(udp_off), got(udp_on),
        note=f"sent {median(udp_off, 'rate'):,.0f} and {median(udp_on, 'rate'):,.0f} a second")
    for rate, (off, on) in paced.items():
        wall, ticks, ran = bench.meter_cpu[rate]
        row(f"paced {rate // 1000}k/s: datagrams/s sent", f"{median(off, 'rate'):,.0f}",
            f"{median(on, 'rate'):,.0f}", note=f"{args.senders} sender(s), medians of "
            f"{args.paced_rounds} runs of {args.paced_seconds:g} s; got {got(off)}, {got(on)}")
        ten = rate == 10_000
        row("  meter CPU, % of a core", "", f"{100 * ticks / wall:.3f} %", "",
            "<= 0.5 %" if ten else "", verdict(100 * ticks / wall <= 0.5) if ten else "",
            f"utime+stime over {wall:.0f} s, asked each second; "
            f"its threads' run time {100 * ran / wall:.3f} %")
        a, b = median(off, "sys_us"), median(on, "sys_us")
        row("  sender system CPU, us/datagram", f"{a:.2f}", f"{b:.2f}", f"{b - a:+.2f} us",
            note="tick-sampled; the programs run in the sender")
        a, b = median(off, "cpu_us"), median(on, "cpu_us")
        row("  sender all CPU, us/datagram", f"{a:.2f}", f"{b:.2f}", f"{b - a:+.2f} us")
    if cost:
        runs, result = cost
        spent = sum(ns for ns, _ in runs.values())
        per = spent / result["sent"]
        parts = ", ".join(f"{name} {ns / max(n, 1):.0f} ns x {n / result['sent']:.2f}"
                          for name, (ns, n) in sorted(runs.items()))
        row("meter programs, ns/datagram", "", f"{per:.0f}",
            note=f"kernel statistics at {result['rate']:,.0f}/s: {parts} a datagram")
        wall, ticks, _ = bench.meter_cpu[10_000]
        row("  meter + programs at 10k/s, % of a core", "",
            f"{100 * ticks / wall + per * 1e4 / 1e7:.3f} %", note="user space and kernel")
    else:
        row("meter programs, ns/datagram", "", "?", note="the kernel would not time them")
    rss = max(m["VmRSS"] for m in bench.memory)
    row("meter RSS (VmRSS) after a run, kB", "", f"{rss:,}", "", "<= 10,240", verdict(rss <= 10240),
        f"largest of {len(bench.memory)} meters; largest VmHWM "
        f"{max(m['VmHWM'] for m in bench.memory):,} kB")
    rows_told = [n for n, _ in bench.replies]
    lost = max(n for _, n in bench.replies)
    row("map entries: rows in a reply", "", f"{statistics.median(rows_told):,.0f}",
        note=f"median of {len(rows_told)}, most {max(rows_told):,}: the open sockets and "
        "those ended since the last ask")
    row("  lost", "", f"{lost:,}", "", "0", verdict(lost == 0), "the most any reply told")
    for proto in ("UDP", "TCP"):
        counted, wire, metered = bench.truth[proto]
        row(f"truth {proto}: meter bytesOut / bytes sent", "", f"{100 * metered / wire:.3f} %",
            "", "100 %", verdict(metered == wire),
            f"{metered:,} of {wire:,}" + ("" if wire == counted else
                                          f", of which {wire - counted:,} retransmitted"))
    row("meter start to first answer, ms", "", f"{statistics.median(bench.start_ms):.0f}",
        note=f"median of {len(bench.start_ms)}")
    row("meter reply to an ask, ms", "", f"{statistics.median(bench.ask_ms):.2f}",
        note=f"median of {len(bench.ask_ms)}, most {max(bench.ask_ms):.2f}")

    print(f"korvel-meter {meter_given} (a copy), {os.cpu_count()} cores, kernel {os.uname().release}, "
          f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after")
    foreign = [f for f in bench.foreign if f]
    if None in bench.foreign:
        print("others' programs on the cgroup v2 root: could not be asked")
    elif foreign:
        print(f"others' programs on the cgroup v2 root in {len(foreign)} of {len(bench.foreign)} "
              f"runs (at most {max(foreign)}): 'without' was not without")
    else:
        print("others' programs on the cgroup v2 root: none in any run")
    widths = [max(len(r[i]) for r in rows + [("figure", "without", "with", "with/without",
                                                "goal", "met", "")]) for i in range(6)]
    header = ("figure", "without", "with", "with/without", "goal", "met")
    print(f"{header[0]:{widths[0]}}  " + "  ".join(f"{h:>{w}}" for h, w in zip(header[1:], widths[1:])))
    for r in rows:
        print((f"{r[0]:{widths[0]}}  " + "  ".join(f"{v:>{w}}" for v, w in zip(r[1:6], widths[1:]))
               + (f"  ({r[6]})" if r[6] else "")).rstrip())
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
