#!/usr/bin/env python3
"""The shipped rules and dashboard against a real Prometheus.

  prometheus_test.py live --companion BIN --source DIR
      node_exporter reads the textfile directory the built companion writes
      to, Prometheus scrapes it every second with the shipped rules; every
      dashboard panel's query must return series, and stopping the companion
      must make the companion-stopped alert pending.

  prometheus_test.py backfill --companion BIN --history-bench BIN
      A week recorded by the real history writer, exported with
      `history --openmetrics`, made into blocks by promtool and read back
      through Prometheus: the top senders' bytes as `history --json` gives them.

Everything listens on 127.0.0.1 and lives in a temporary directory. Exits 77
(a skip for CTest) when a program it needs is not installed.
"""

import argparse
import datetime
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
import urllib.parse
import urllib.request

SKIP = 77


def need(*names):
    """The first of the names found on PATH; skips the test when none is."""
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    print(f"SKIP: {' or '.join(names)} is not installed "
          "(Debian: prometheus, prometheus-node-exporter; scripts/install-deps.sh installs them)")
    sys.exit(SKIP)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Fail(Exception):
    pass


class Run:
    """Processes started by the test, and its temporary directory."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="korvel-prometheus-test-")
        self.processes = []

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def start(self, name, argv, env=None):
        log = open(self.path(name + ".log"), "wb")
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT, env=env)
        self.processes.append((name, process))
        return process

    def log(self, name):
        with open(self.path(name + ".log"), errors="replace") as f:
            return f.read()[-3000:]

    def close(self, keep):
        for _, process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if keep:
            print(f"kept {self.dir}")
        else:
            shutil.rmtree(self.dir, ignore_errors=True)


class Prometheus:
    def __init__(self, run, binary, config, data, extra=()):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        self.process = run.start("prometheus", [
            binary, f"--config.file={config}", f"--storage.tsdb.path={data}",
            f"--web.listen-address=127.0.0.1:{self.port}", "--log.level=warn", *extra])
        self.run = run
        wait_for(lambda: self.ready(), 60, "Prometheus to be ready",
                 lambda: run.log("prometheus"))

    def ready(self):
        if self.process.poll() is not None:
            raise Fail("Prometheus exited:\n" + self.run.log("prometheus"))
        try:
            with urllib.request.urlopen(self.url + "/-/ready", timeout=2) as reply:
                return reply.status == 200
        except OSError:
            return False

    def api(self, path, **params):
        url = f"{self.url}/api/v1/{path}?{urllib.parse.urlencode(params, doseq=True)}"
        with urllib.request.urlopen(url, timeout=10) as reply:
            body = json.load(reply)
        if body.get("status") != "success":
            raise Fail(f"{path} {params}: {body}")
        return body["data"]

    def query(self, expr, at=None):
        params = {"query": expr}
        if at is not None:
            params["time"] = at
        return self.api("query", **params)["result"]


def wait_for(check, seconds, what, details=lambda: ""):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.5)
    raise Fail(f"no {what} within {seconds} s\n{details()}")


def companion_env(run):
    """A user of our own: runtime, settings and state in the test's directory,
    no display (the engine runs headless), and a helper that leaves soon
    after its last client."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
    for name in ("runtime", "config", "state"):
        os.makedirs(run.path(name), mode=0o700)
    env.update(XDG_RUNTIME_DIR=run.path("runtime"), XDG_CONFIG_HOME=run.path("config"),
               XDG_STATE_HOME=run.path("state"), KORVEL_HELPER_IDLE_EXIT_MS="2000")
    return env


def stop_helpers(run):
    """The helper outlives the companion that started it; ours is the one
    whose runtime directory is the test's."""
    marker = ("XDG_RUNTIME_DIR=" + run.path("runtime")).encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                environ = f.read().split(b"\0")
            if marker in environ and os.readlink(f"/proc/{pid}/exe").endswith("/korvel-helper"):
                os.kill(int(pid), signal.SIGTERM)
        except OSError:
            pass


def send_traffic(stop):
    """TCP the helper can tie to this process: over an IPv6 socket on
    ::ffff:127.0.0.1, which is not a loopback pair it leaves out."""
    server = socket.socket(socket.AF_INET6)
    server.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    server.bind(("::", 0))
    server.listen(1)
    client = socket.create_connection(("::ffff:127.0.0.1", server.getsockname()[1]))
    peer, _ = server.accept()

    def drain():
        while peer.recv(65536):
            pass

    threading.Thread(target=drain, daemon=True).start()
    chunk = b"k" * 16384
    while not stop.is_set():
        client.sendall(chunk)  # about 300 kB/s
        time.sleep(0.05)
    client.close()
    server.close()


def panel_queries(dashboard):
    """(title, expression) of every panel target, with the selectors at All."""
    with open(dashboard) as f:
        board = json.load(f)
    for panel in board["panels"]:
        for target in panel["targets"]:
            expr = target["expr"].replace("$instance", ".*").replace("$group", ".*")
            yield panel["title"], expr


def unix_time(text):
    """Seconds of an RFC 3339 time as the API writes it, e.g.
    2026-12-07T23:12:37.975123456Z or ...37.9+01:00."""
    whole, fraction, zone = re.fullmatch(r"(.*T[\d:]+)(\.\d+)?(Z|[+-][\d:]+)", text).groups()
    moment = datetime.datetime.fromisoformat(whole + ("+00:00" if zone == "Z" else zone))
    return moment.timestamp() + float(fraction or 0)


def describe(series):
    labels = ",".join(f'{k}="{v}"' for k, v in sorted(series["metric"].items()))
    return "{" + labels + "} " + series["value"][1]


def live(args, run):
    prometheus_bin = need("prometheus")
    exporter_bin = need("prometheus-node-exporter", "node_exporter")
    monitoring = os.path.join(args.source, "monitoring")
    textfiles = run.path("textfile")
    os.makedirs(textfiles, mode=0o755)

    exporter_port = free_port()
    run.start("node-exporter", [
        exporter_bin, f"--web.listen-address=127.0.0.1:{exporter_port}",
        "--collector.disable-defaults", "--collector.textfile",
        f"--collector.textfile.directory={textfiles}"])
    with open(run.path("prometheus.yml"), "w") as f:
        json.dump({
            "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
            "rule_files": [os.path.join(monitoring, "korvel-recording-rules.yml"),
                           os.path.join(monitoring, "korvel-alerting-rules.yml")],
            "scrape_configs": [{"job_name": "node", "static_configs": [
                {"targets": [f"127.0.0.1:{exporter_port}"]}]}],
        }, f)
    prometheus = Prometheus(run, prometheus_bin, run.path("prometheus.yml"), run.path("data"))

    env = companion_env(run)
    for name, value in (("autoRefreshInterval", "2"), ("historyEnabled", "false")):
        subprocess.run([args.companion, "defaults", "write", name, value], env=env, check=True,
                       stdout=subprocess.DEVNULL)
    companion = run.start("companion", [args.companion, "--prometheus-textfile-directory",
                                        textfiles], env=env)
    stop_traffic = threading.Event()
    threading.Thread(target=send_traffic, args=(stop_traffic,), daemon=True).start()
    try:
        queries = list(panel_queries(os.path.join(monitoring, "korvel-dashboard.json")))
        results = {}

        def every_panel_answers():
            if companion.poll() is not None:
                raise Fail("the companion exited:\n" + run.log("companion"))
            for title, expr in queries:
                results[title, expr] = prometheus.query(expr)
            return all(results.values())

        try:
            wait_for(every_panel_answers, 60, "series for every panel")
        except Fail as error:
            empty = [f"  {title}: {expr}" for (title, expr), r in results.items() if not r]
            raise Fail(f"{error}panels without series:\n" + "\n".join(empty) + "\n" +
                       run.log("companion")) from None
        # The traffic above reached its group's rate, not only a series of zeros.
        wait_for(lambda: any(float(s["value"][1]) > 0 for s in prometheus.query(
            queries[0][1])), 30, "traffic in the top groups by network out")
        for title, expr in queries:
            results[title, expr] = prometheus.query(expr)
        for name, match in (("instance", "korvel_helper_up"),
                            ("group", "korvel_process_cpu_seconds_total")):
            values = prometheus.api(f"label/{name}/values", **{"match[]": match})
            if not values:
                raise Fail(f"the dashboard's {name} selector would offer nothing")
            print(f"selector {name}: {len(values)} values, e.g. {values[0]}")
        for (title, expr), series in results.items():
            top = max(series, key=lambda s: float(s["value"][1]))
            print(f"panel {title!r}\n  query: {expr}\n  {len(series)} series; highest: "
                  f"{describe(top)}")

        # Only an alert that became pending after the stop counts: in its first
        # seconds the period figure still holds the start's three quick
        # readings, and a busy machine may hold a refresh back that long.
        def pending_since_stop():
            return [a for a in prometheus.api("alerts")["alerts"]
                    if a["labels"]["alertname"] == "KorvelCompanionStopped"
                    and a["state"] == "pending" and unix_time(a["activeAt"]) >= stopped_at]

        stopped_at = time.time()
        companion.send_signal(signal.SIGTERM)
        companion.wait(20)
        alert = wait_for(pending_since_stop, 60, "pending companion-stopped alert after the stop")[0]
        print(f"KorvelCompanionStopped pending {unix_time(alert['activeAt']) - stopped_at:.1f} s "
              f"after the stop: {alert['labels']} value {alert['value']}")
    finally:
        stop_traffic.set()
        stop_helpers(run)


def backfill(args, run):
    prometheus_bin = need("prometheus")
    promtool = need("promtool")
    # A week at one reading every 10 minutes, written by the history store on a
    # virtual clock that starts 2023-11-14 22:13:20 UTC.
    week = subprocess.run([args.history_bench, "--days", "7", "--period", "600", "--keep"],
                          capture_output=True, text=True, check=True).stdout
    kept = [line.split(" ", 1)[1] for line in week.splitlines() if line.startswith("kept: ")]
    if not kept:
        raise Fail("history_bench kept no database:\n" + week)
    state = os.path.dirname(os.path.dirname(kept[0]))
    env = dict(os.environ, XDG_STATE_HOME=state, TZ="UTC")
    window = ["--since", "2023-11-14 22:00", "--until", "2023-11-22 00:00", "--top", "5",
              "--by", "out"]
    try:
        usage = json.loads(subprocess.run([args.companion, "history", *window, "--json"],
                                          env=env, capture_output=True, text=True,
                                          check=True).stdout)
        metrics = run.path("week.om")
        with open(metrics, "w") as f:
            subprocess.run([args.companion, "history", *window, "--openmetrics"], env=env,
                           stdout=f, check=True)
    finally:
        shutil.rmtree(state, ignore_errors=True)
    if not usage:
        raise Fail("history --json gave no process for the recorded week")

    blocks = run.path("data")
    made = subprocess.run([promtool, "tsdb", "create-blocks-from", "openmetrics", metrics,
                           blocks], capture_output=True, text=True)
    if made.returncode != 0:
        raise Fail(f"promtool refused history --openmetrics:\n{made.stdout}{made.stderr}")
    with open(run.path("prometheus.yml"), "w") as f:
        f.write("global: {}\n")
    prometheus = Prometheus(run, prometheus_bin, run.path("prometheus.yml"), blocks,
                            ["--storage.tsdb.retention.time=100y"])
    end = 1700000000 + 7 * 86400 + 60
    for counter in ("cpu_seconds", "received_bytes", "sent_bytes"):
        falls = prometheus.query(f"sum(resets(korvel_history_process_{counter}_total[8d]))", end)
        if not falls or float(falls[0]["value"][1]) != 0:
            raise Fail(f"a backfilled {counter} counter fell, or there is none: {falls}")
    for row in usage:
        name = row["name"].replace("\\", "\\\\").replace('"', '\\"')
        for metric, key in (("korvel_history_process_sent_bytes_total", "bytes_out"),
                            ("korvel_history_process_received_bytes_total", "bytes_in")):
            result = prometheus.query(f'last_over_time({metric}{{process="{name}"}}[8d])', end)
            if len(result) != 1:
                raise Fail(f"{metric} of {row['name']}: {result}")
            got, want = float(result[0]["value"][1]), row[key]
            if abs(got - want) > 0.001 * max(want, 1):
                raise Fail(f"{metric} of {row['name']}: Prometheus {got}, history {want}")
        print(f"{row['name']}: sent {row['bytes_out']} and received {row['bytes_in']} bytes "
              "in history --json and in Prometheus")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("test", choices=("live", "backfill"))
    parser.add_argument("--companion", required=True)
    parser.add_argument("--source")
    parser.add_argument("--history-bench")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = parser.parse_args()
    run = Run()
    failed = True
    try:
        (live if args.test == "live" else backfill)(args, run)
        failed = False
    except Fail as error:
        print(f"FAIL: {error}")
    finally:
        run.close(args.keep)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
