#!/usr/bin/env python3
"""Three senders against the companion's account of them.

A sink and three senders, each under a name of its own (a hard link to this
Python), send over ::ffff:127.0.0.1 while the built companion runs headless
with its history and its Prometheus textfile export:

  short    40 connections at a time, each 100 KB over 2 s, then closed (2 MB/s)
  long     one connection at 2 MB/s
  instant  10 connections a second, each 100 KB sent and closed at once

Then it prints, per sender, what the sender counted, the export's
korvel_process_tcp_bytes_total{direction="out"} for its group and the
history's bytes out for its executable over the same minutes, and the
"other TCP" both kept.

  account_soak.py --companion PATH [--seconds 60] [--period 5]
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

CHUNK = 10_000


def sink(port_file):
    server = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    server.bind(("::", 0))
    server.listen(512)
    with open(port_file, "w") as f:
        f.write(str(server.getsockname()[1]))

    def drain(conn):
        with conn:
            while conn.recv(1 << 16):
                pass

    while True:
        conn, _ = server.accept()
        threading.Thread(target=drain, args=(conn,), daemon=True).start()


def sender(kind, port, seconds, count_file):
    sent = [0]
    lock = threading.Lock()
    end = time.monotonic() + seconds
    address = ("::ffff:127.0.0.1", port)

    def add(n):
        with lock:
            sent[0] += n

    def paced(total, pace):
        with socket.create_connection(address) as conn:
            for _ in range(total // CHUNK):
                conn.sendall(b"x" * CHUNK)
                add(CHUNK)
                time.sleep(pace)

    if kind == "short":
        def loop():
            while time.monotonic() < end:
                paced(100_000, 0.2)
        threads = [threading.Thread(target=loop) for _ in range(40)]
        for t in threads:
            t.start()
            time.sleep(0.05)
        for t in threads:
            t.join()
    elif kind == "long":
        with socket.create_connection(address) as conn:
            while time.monotonic() < end:
                conn.sendall(b"x" * CHUNK)
                add(CHUNK)
                time.sleep(CHUNK / 2_000_000)
    else:
        while time.monotonic() < end:
            with socket.create_connection(address) as conn:
                conn.sendall(b"x" * 100_000)
                add(100_000)
            time.sleep(0.1)
    with open(count_file, "w") as f:
        f.write(str(sent[0]))


def named_python(directory, name):
    """This Python under another name, so each sender is a group of its own."""
    path = os.path.join(directory, name)
    try:
        os.link(os.path.realpath(sys.executable), path)
    except OSError:
        shutil.copy2(os.path.realpath(sys.executable), path)
    return path


def export_bytes(prom_file):
    totals, other = {}, 0
    pattern = re.compile(r'^(korvel_\w+)\{([^}]*)\} (\S+)$')
    with open(prom_file) as f:
        for line in f:
            m = pattern.match(line.strip())
            if not m or 'direction="out"' not in m.group(2):
                continue
            if m.group(1) == "korvel_process_tcp_bytes_total":
                group = re.search(r'group="([^"]*)"', m.group(2)).group(1)
                totals[group] = totals.get(group, 0) + float(m.group(3))
            elif m.group(1) == "korvel_other_tcp_bytes_total":
                other += float(m.group(3))
    return totals, other


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--companion", required=True)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--period", type=int, default=5)
    parser.add_argument("role", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        if args.role[0] == "sink":
            sink(args.role[1])
        else:
            sender(args.role[0], int(args.role[1]), float(args.role[2]), args.role[3])
        return 0

    work = tempfile.mkdtemp(prefix="korvel-account-")
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
    for name in ("runtime", "config", "state", "textfiles"):
        os.makedirs(os.path.join(work, name), mode=0o700)
    env.update(XDG_RUNTIME_DIR=os.path.join(work, "runtime"),
               XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_STATE_HOME=os.path.join(work, "state"), TZ="UTC")
    for key, value in (("autoRefreshInterval", str(args.period)), ("historyEnabled", "true")):
        subprocess.run([args.companion, "defaults", "write", key, value], env=env, check=True,
                       stdout=subprocess.DEVNULL)
    companion = subprocess.Popen(
        [args.companion, "--prometheus-textfile-directory", os.path.join(work, "textfiles")],
        env=env, stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "companion.log"), "w"))
    me = os.path.abspath(__file__)
    port_file = os.path.join(work, "port")
    sink_process = subprocess.Popen([named_python(work, "korvel-sink"), me, "--companion", "-",
                                     "sink", port_file])
    while not os.path.exists(port_file) or not open(port_file).read():
        time.sleep(0.05)
    port = open(port_file).read()
    time.sleep(2 * args.period)
    since = int(time.time()) // 60 * 60
    kinds = ("short", "long", "instant")
    senders = [subprocess.Popen([named_python(work, "korvel-" + kind), me, "--companion", "-",
                                 kind, port, str(args.seconds), os.path.join(work, kind)])
               for kind in kinds]
    for s in senders:
        s.wait()
    time.sleep(3 * args.period)
    exported, exported_other = export_bytes(os.path.join(work, "textfiles", "korvel.prom"))
    companion.send_signal(signal.SIGTERM)
    companion.wait(timeout=30)
    sink_process.kill()
    until = (int(time.time()) // 60 + 1) * 60
    report = json.loads(subprocess.run(
        [args.companion, "history", "--since", time.strftime("%Y-%m-%d %H:%M", time.gmtime(since)),
         "--until", time.strftime("%Y-%m-%d %H:%M", time.gmtime(until)), "--group", "executable",
         "--top", "100", "--by", "out", "--json"],
        env=env, check=True, capture_output=True, text=True).stdout)
    history = {os.path.basename(row["name"]).split(" ")[0]: row["bytes_out"] for row in report}

    print(f"{args.seconds:.0f} s of sending at a {args.period} s period, history minutes "
          f"{time.strftime('%H:%M', time.gmtime(since))}-{time.strftime('%H:%M', time.gmtime(until))}")
    print(f"{'sender':10} {'counted':>14} {'export':>14} {'history':>14} {'export %':>9} "
          f"{'history %':>9}")
    counted_all = 0
    for kind in kinds:
        counted = int(open(os.path.join(work, kind)).read())
        counted_all += counted
        group = "korvel-" + kind
        e, h = exported.get(group, 0), history.get(group, 0)
        print(f"{kind:10} {counted:14,} {e:14,.0f} {h:14,} {100 * e / counted:9.1f} "
              f"{100 * h / counted:9.1f}")
    print(f"{'other TCP':10} {'':14} {exported_other:14,.0f} {history.get('other', 0):14,}")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
