#!/usr/bin/python3
"""Data usage per network and per app against the interfaces' own counters.

Needs root. A veth pair joins two network namespaces; the built companion
runs headless in the client one, whose default route is the veth, with
NetworkManager simulated by python3-dbusmock on a private system bus and a
notification daemon, also simulated, on a private session bus. The veth is
on connection A, then B, then A again, while two senders (hard links to this
Python, so each is an app of its own) move 300 MB to a sink:

  A   korvel-one 120 MB
  B   korvel-two  50 MB
  A   korvel-one  30 MB, then korvel-two 100 MB

A 250 MB plan on A must warn once at 200 MB and once at 250 MB. It prints
each network's bytes from `usage --json` against the veth's counters over
the same spans, each app's bytes against what it sent, and the
notifications the daemon received.

  usage_soak.py --companion PATH [--rate MBPS]
"""

import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import uuid

CLIENT, SERVER = "korvel-usage-cli", "korvel-usage-srv"
SINK_ADDRESS = "10.77.0.1"
MB = 1_000_000


def run(*command):
    subprocess.run(command, check=True)


def in_client(*command):
    return ["ip", "netns", "exec", CLIENT, *command]


def set_up_namespaces():
    tear_down_namespaces()
    run("ip", "netns", "add", CLIENT)
    run("ip", "netns", "add", SERVER)
    run("ip", "link", "add", "kvc0", "netns", CLIENT, "type", "veth", "peer", "kvs0", "netns",
        SERVER)
    for ns, device, address in ((CLIENT, "kvc0", "10.77.0.2/24"),
                                (SERVER, "kvs0", SINK_ADDRESS + "/24")):
        run("ip", "-n", ns, "link", "set", "lo", "up")
        run("ip", "-n", ns, "addr", "add", address, "dev", device)
        run("ip", "-n", ns, "link", "set", device, "up")
    run("ip", "-n", CLIENT, "route", "add", "default", "via", SINK_ADDRESS)


def tear_down_namespaces():
    for ns in (CLIENT, SERVER):
        subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


def veth_bytes():
    total = 0
    for name in ("rx_bytes", "tx_bytes"):
        out = subprocess.run(in_client("cat", f"/sys/class/net/kvc0/statistics/{name}"),
                             check=True, capture_output=True, text=True).stdout
        total += int(out)
    return total


def private_bus():
    daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                              stdout=subprocess.PIPE, text=True)
    return daemon, daemon.stdout.readline().strip()


def mock(template, address, system):
    env = dict(os.environ)
    env["DBUS_SYSTEM_BUS_ADDRESS" if system else "DBUS_SESSION_BUS_ADDRESS"] = address
    return subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock",
                             "--system" if system else "--session", "--template", template],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def named_python(directory, name):
    path = os.path.join(directory, name)
    try:
        os.link(os.path.realpath(sys.executable), path)
    except OSError:
        shutil.copy2(os.path.realpath(sys.executable), path)
    return path


def sink(port_file):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind((SINK_ADDRESS, 0))
    server.listen(8)
    with open(port_file, "w") as f:
        f.write(str(server.getsockname()[1]))
    while True:
        conn, _ = server.accept()
        with conn:
            while conn.recv(1 << 16):
                pass


def send(port, megabytes, rate):
    chunk = b"x" * 65536
    total, start = megabytes * MB, time.monotonic()
    with socket.create_connection((SINK_ADDRESS, port)) as s:
        sent = 0
        while sent < total:
            n = s.send(chunk[:min(len(chunk), total - sent)])
            sent += n
            ahead = sent / (rate * MB) - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)
    print(sent)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--companion", required=True)
    parser.add_argument("--rate", type=float, default=10.0, help="MB/s per sender")
    parser.add_argument("role", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        if args.role[0] == "sink":
            sink(args.role[1])
        else:
            send(int(args.role[1]), int(args.role[2]), args.rate)
        return 0
    import dbus  # python3-dbusmock's own dependency

    work = tempfile.mkdtemp(prefix="korvel-usage-")
    set_up_namespaces()
    system_daemon, system_address = private_bus()
    session_daemon, session_address = private_bus()
    nm = mock("networkmanager", system_address, True)
    notifications = mock("notification_daemon", session_address, False)
    time.sleep(2)
    system_bus = dbus.bus.BusConnection(system_address)
    nm_mock = dbus.Interface(system_bus.get_object("org.freedesktop.NetworkManager",
                                                   "/org/freedesktop"), "org.freedesktop.DBus.Mock")
    settings = dbus.Interface(system_bus.get_object("org.freedesktop.NetworkManager",
                                                    "/org/freedesktop/NetworkManager/Settings"),
                              "org.freedesktop.NetworkManager.Settings")
    device = nm_mock.AddEthernetDevice("veth", "kvc0", 100)
    uuids = {name: str(uuid.uuid4()) for name in "AB"}
    paths = {name: settings.AddConnection(dbus.Dictionary({"connection": dbus.Dictionary(
        {"id": name, "uuid": uuids[name], "type": "802-3-ethernet"}, signature="sv")},
        signature="sa{sv}")) for name in "AB"}
    active = [None]

    def join(name, step):
        if active[0]:
            nm_mock.RemoveActiveConnection(device, active[0])
        active[0] = nm_mock.AddActiveConnection([device], paths[name], "/", f"act{step}",
                                                dbus.UInt32(2))

    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    for name in ("runtime", "config", "state"):
        os.makedirs(os.path.join(work, name), mode=0o700)
    env.update(XDG_RUNTIME_DIR=os.path.join(work, "runtime"),
               XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_STATE_HOME=os.path.join(work, "state"),
               DBUS_SYSTEM_BUS_ADDRESS=system_address, DBUS_SESSION_BUS_ADDRESS=session_address)
    plan = json.dumps([{"network": "A", "capBytes": 250 * MB}])
    for key, flag, value in (("autoRefreshInterval", "-int", "1"),
                             ("dataPlans", "-json", plan)):
        subprocess.run([args.companion, "defaults", "write", key, flag, value], env=env,
                       check=True)
    me = os.path.abspath(__file__)
    port_file = os.path.join(work, "port")
    sink_process = subprocess.Popen(["ip", "netns", "exec", SERVER, sys.executable, me,
                                     "--companion", "-", "sink", port_file])
    while not os.path.exists(port_file) or not open(port_file).read():
        time.sleep(0.05)
    port = open(port_file).read()
    join("A", 0)
    companion = subprocess.Popen(in_client("env", *[f"{k}={v}" for k, v in env.items()],
                                           args.companion),
                                 stdout=subprocess.DEVNULL,
                                 stderr=open(os.path.join(work, "companion.log"), "w"))
    time.sleep(4)

    senders = {name: named_python(work, name) for name in ("korvel-one", "korvel-two")}
    sent = {name: 0 for name in senders}
    truth = {"A": 0, "B": 0}

    def phase(network, step, moves):
        if step:
            join(network, step)
            time.sleep(3)  # a few readings on the new network before anything moves
        before = veth_bytes()
        for name, megabytes in moves:
            out = subprocess.run(in_client(senders[name], me, "--companion", "-",
                                           "--rate", str(args.rate), "send", port,
                                           str(megabytes)),
                                 check=True, capture_output=True, text=True).stdout
            sent[name] += int(out)
        time.sleep(3)  # the last bytes reach a reading before the next switch
        truth[network] += veth_bytes() - before

    phase("A", 0, [("korvel-one", 120)])
    phase("B", 1, [("korvel-two", 50)])
    phase("A", 2, [("korvel-one", 30), ("korvel-two", 100)])
    companion.terminate()
    companion.wait(timeout=30)
    sink_process.kill()

    report = json.loads(subprocess.run([args.companion, "usage", "--json"], env=env, check=True,
                                       capture_output=True, text=True).stdout)
    apps = {}
    print(f"{'network':8} {'veth counters':>15} {'usage':>15} {'diff %':>8}")
    for network in report["networks"]:
        used = network["bytesIn"] + network["bytesOut"]
        real = truth.get(network["network"], 0)
        print(f"{network['network']:8} {real:15,} {used:15,} "
              f"{100 * (used - real) / real if real else 0:8.2f}")
        for app in network["apps"]:
            apps[app["app"]] = apps.get(app["app"], 0) + app["bytesOut"]
    print(f"\n{'app':12} {'sent':>15} {'usage, out':>15} {'diff %':>8}")
    for name, count in sent.items():
        print(f"{name:12} {count:15,} {apps.get(name, 0):15,} "
              f"{100 * (apps.get(name, 0) - count) / count:8.2f}")
    session_bus = dbus.bus.BusConnection(session_address)
    calls = dbus.Interface(session_bus.get_object("org.freedesktop.Notifications",
                                                  "/org/freedesktop/Notifications"),
                           "org.freedesktop.DBus.Mock").GetMethodCalls("Notify")
    print(f"\nnotifications: {len(calls)}")
    for _, call in calls:
        print(f"  {call[3]}: {call[4]}")
    for process in (nm, notifications, system_daemon, session_daemon):
        process.kill()
    tear_down_namespaces()
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
