#!/usr/bin/env python3
"""The management server under hostile clients, next to nginx in the same run.

Starts the release build of orval (64 configured channels, none running) and
nginx serving the same /status bytes, then:

1. holds HOSTILE connections (a third idle, a third sending a request a byte
   a second, a third a POST body shorter than its Content-Length), first all
   from 127.0.0.1, then spread over 127.0.0.2-127.0.0.251; connections the
   server closes are opened again, as an attacker would. Meanwhile a fresh
   client (127.0.1.1) asks GET /status on a new connection every 20 ms.
   Prints the fresh client's latency p50/p99/max and failures, and the
   daemon's threads and RSS before, during and 2 s / 12 s after;
2. holds FLOOD connections (4,100) from 200 addresses (127.0.2.1-200), each
   sending its request's header a byte every 2 s, opened again when the
   server closes them, for FLOOD_SECONDS (40), while the fresh client asks
   as above; prints the same figures and, from ss once a second, the
   listening socket's accept queue (at its highest, and in how many samples
   it was not empty: a server that stops accepting keeps a queue) and the
   connections established on the port (accepted or queued);
3. opens and closes ROUNDS x 1,000 connections that each GET /status, and
   prints the daemon's RSS and threads every 5 rounds;
4. runs wrk -t2 -c16 --latency on /status (keep-alive) against orval and
   nginx, alternating, and prints req/s and the ratio. With --compare BINARY
   a second orval (another build, e.g. the one before a change) takes its
   turn in the same rounds.

The rounds also split the RSS into the main heap, the thread stacks and the
rest (per-thread malloc arenas, the library's and glibc's own mappings), from
/proc/PID/smaps.

Figures only, nothing passes or fails. Usage:
  bench/run_lockout.py [--hostile 2000] [--probe-seconds 5] [--flood 4100]
                       [--flood-seconds 40] [--rounds 30] [--wrk-rounds 3]
                       [--duration 10] [--parts hostile,flood,churn,wrk]
                       [--orval BINARY] [--compare BINARY]
Needs wrk and nginx (bench/install-bench-deps.sh). Stops only what it started,
by pid, and is bounded in time.
"""
import argparse
import multiprocessing
import os
import resource
import selectors
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_http  # noqa: E402  (the build, the daemon, nginx and wrk helpers)

FRESH_SOURCE = "127.0.1.1"


def proc_figures(pid):
    """(threads, RSS in MB) of a process."""
    threads, rss = 0, 0.0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1]) / 1024
    return threads, rss


def memory_parts(pid):
    """RSS in MB of the process's [heap], of its thread stacks (anonymous
    mappings of STACK_BYTES, as the server asks for) and of everything else."""
    heap = stacks = rest = 0
    name, size = "", 0
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5:
                start, end = (int(x, 16) for x in fields[0].split("-"))
                size, name = end - start, fields[5] if len(fields) > 5 else ""
            elif fields[0] == "Rss:":
                kb = int(fields[1])
                if name == "[heap]":
                    heap += kb
                elif name == "" and size == STACK_BYTES:
                    stacks += kb
                else:
                    rest += kb
    return heap / 1024, stacks / 1024, rest / 1024


STACK_BYTES = 512 * 1024  # the server's thread stack size


def open_from(source, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((source, 0))
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", port))
    return s


class Hostile:
    """Connections held open, of KINDS in turn: idle; "slow", a request whose
    header comes at once up to a last line sent a byte per interval; "short",
    a body shorter than its length; "header", a header sent a byte per
    interval from its first byte."""

    SLOW = b"GET /status HTTP/1.1\r\nHost: x\r\nX-Slow: "
    SHORT = (b"POST /channel1 HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n"
             b"Content-Type: application/x-www-form-urlencoded\r\n\r\nsurl=abcde")

    def __init__(self, port, count, sources, kinds=("idle", "slow", "short"), interval=1.0):
        self.port, self.sources = port, sources
        self.kinds, self.interval = kinds, interval
        self.conns = [None] * count
        self.reopened = 0
        self.done = threading.Event()
        for i in range(count):
            self.open(i)
        self.thread = threading.Thread(target=self.drive, daemon=True)
        self.thread.start()

    def open(self, i):
        s = open_from(self.sources[i % len(self.sources)], self.port)
        self.conns[i] = [s, 0]  # socket, bytes sent

    def next_bytes(self, kind, sent):
        """What a connection of KIND that has sent SENT bytes sends now."""
        if kind == "slow":
            return b"a" if sent else self.SLOW
        if kind == "short":
            return b"" if sent else self.SHORT
        if kind == "header":
            return self.SLOW[sent:sent + 1] or b"a"
        return b""

    def drive(self):
        """Once an interval: the next bytes on each, and any closed by the
        server opened again."""
        while not self.done.is_set():
            for i, entry in enumerate(self.conns):
                s, sent = entry
                try:
                    if s.recv(4096, socket.MSG_DONTWAIT | socket.MSG_PEEK) == b"":
                        raise ConnectionResetError
                except BlockingIOError:
                    pass
                except OSError:
                    s.close()
                    self.open(i)
                    self.reopened += 1
                    continue
                try:
                    data = self.next_bytes(self.kinds[i % len(self.kinds)], sent)
                    if data:
                        entry[1] += s.send(data)
                except OSError:
                    pass
                if self.done.is_set():
                    return
            self.done.wait(self.interval)

    def close(self):
        self.done.set()
        self.thread.join()
        for s, _ in self.conns:
            s.close()


def fresh_status(port):
    """Milliseconds for one GET /status on a new connection, None on failure."""
    begin = time.monotonic()
    try:
        s = socket.socket()
        s.settimeout(5)
        s.bind((FRESH_SOURCE, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        reply = b""
        while chunk := s.recv(65536):
            reply += chunk
        s.close()
        if not reply.startswith(b"HTTP/1.1 200"):
            return None
    except OSError:
        return None
    return (time.monotonic() - begin) * 1000


def pct(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q / 100 * len(ordered) + 0.5)) - 1)]


def listen_figures(port):
    """(accept queue, connections established) of the server's port, from ss:
    the queue grows toward its length when the server stops accepting."""
    listening = subprocess.run(["ss", "-Hltn", "sport = :%d" % port], capture_output=True,
                               text=True, timeout=10).stdout.split()
    held = subprocess.run(["ss", "-Htn", "state", "established", "sport = :%d" % port],
                          capture_output=True, text=True, timeout=10).stdout
    return int(listening[1]) if len(listening) > 1 else 0, held.count("\n")


def hold(port, count, sources, kinds, interval, stop, reopened):
    """A process of its own holds the connections, so the fresh client's
    timing never waits for the attacker's share of the interpreter."""
    hostile = Hostile(port, count, sources, kinds, interval)
    stop.wait()
    reopened.value = hostile.reopened
    hostile.close()


def hostile_phase(pid, port, label, count, sources, probe_seconds, kinds=("idle", "slow", "short"),
                  interval=1.0):
    idle = proc_figures(pid)
    fork = multiprocessing.get_context("fork")
    stop, reopened = fork.Event(), fork.Value("l", 0)
    holder = fork.Process(target=hold, args=(port, count, sources, kinds, interval, stop, reopened))
    holder.start()
    time.sleep(3)  # all connected and their first bytes sent
    samples, listens, latencies, failures = [], [], [], 0
    end = time.monotonic() + probe_seconds
    next_sample = 0
    while time.monotonic() < end:
        if time.monotonic() >= next_sample:
            samples.append(proc_figures(pid))
            listens.append(listen_figures(port))
            next_sample = time.monotonic() + 1
        ms = fresh_status(port)
        if ms is None:
            failures += 1
        else:
            latencies.append(ms)
        time.sleep(0.02)
    samples.append(proc_figures(pid))
    stop.set()
    holder.join(60)
    reopened = reopened.value
    time.sleep(2)
    after2 = proc_figures(pid)
    time.sleep(10)
    after12 = proc_figures(pid)
    return {"label": label, "idle": idle, "samples": samples, "lat": latencies,
            "failures": failures, "reopened": reopened, "after2": after2, "after12": after12,
            "listens": listens}


def churn(pid, port, rounds):
    """ROUNDS x 1,000 connections, each a GET /status, from 250 addresses."""
    rows = [(0,) + proc_figures(pid) + memory_parts(pid)]
    request = b"GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
    for rnd in range(1, rounds + 1):
        sel = selectors.DefaultSelector()
        for i in range(1000):
            s = open_from("127.0.0.%d" % (2 + i % 250), port)
            sel.register(s, selectors.EVENT_WRITE, [False])
        deadline = time.monotonic() + 30
        while sel.get_map() and time.monotonic() < deadline:
            for key, _ in sel.select(1):
                s, sent = key.fileobj, key.data
                try:
                    if not sent[0]:
                        s.send(request)
                        sent[0] = True
                        sel.modify(s, selectors.EVENT_READ, sent)
                    elif not s.recv(65536):
                        raise ConnectionResetError
                except BlockingIOError:
                    pass
                except OSError:
                    sel.unregister(s)
                    s.close()
        for key in list(sel.get_map().values()):
            key.fileobj.close()
        sel.close()
        if rnd % 5 == 0:
            time.sleep(1)
            rows.append((rnd,) + proc_figures(pid) + memory_parts(pid))
    return rows


def wrk_phase(ports, args):
    """wrk on each of PORTS ({name: port}) in turn, the order alternating."""
    servers = [(name, "http://127.0.0.1:%d/status" % port) for name, port in ports.items()]
    for _, url in servers:
        run_http.run_wrk(url, args, "", 2)
    results = {name: [] for name, _ in servers}
    for rnd in range(args.wrk_rounds):
        for name, url in (servers if rnd % 2 == 0 else servers[::-1]):
            results[name].append(run_http.run_wrk(url, args, "", args.duration))
            run_http.log("wrk round %d %s: %.0f req/s" % (rnd + 1, name, results[name][-1]["rps"]))
    return results


def report(phases, floods, rows, results, args):
    """Prints the parts that ran."""
    if phases:
        report_hostile(phases, args)
    if floods:
        report_flood(floods, args)
    if rows:
        report_churn(rows)
    if results:
        report_wrk(results, args)


def report_hostile(phases, args):
    print("## Hostile connections held (%d), fresh client GET /status every 20 ms for %d s"
          % (args.hostile, args.probe_seconds))
    print("| from | fresh replies | failed | p50 ms | p99 ms | max ms | reopened by the attacker |"
          " threads idle / during max / 2 s after / 12 s after | RSS MB idle / during max / 2 s / 12 s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for p in phases:
        lat = p["lat"] or [float("nan")]
        print("| %s | %d | %d | %.2f | %.2f | %.2f | %d | %d / %d / %d / %d | %.1f / %.1f / %.1f / %.1f |" % (
            p["label"], len(p["lat"]), p["failures"], pct(lat, 50), pct(lat, 99), max(lat), p["reopened"],
            p["idle"][0], max(t for t, _ in p["samples"]), p["after2"][0], p["after12"][0],
            p["idle"][1], max(r for _, r in p["samples"]), p["after2"][1], p["after12"][1]))
    print()


def report_flood(floods, args):
    print("## Slow headers: %d connections from 200 addresses, a header byte every 2 s, "
          "held %d s; fresh client GET /status every 20 ms" % (args.flood, args.flood_seconds))
    print("| orval | fresh replies | failed | p50 ms | p99 ms | max ms | closed by the server"
          " and reopened | accept queue max (seconds with a queue) | connections established max"
          " | RSS MB idle / during max / 12 s after |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for p in floods:
        lat = p["lat"] or [float("nan")]
        queues = [q for q, _ in p["listens"]]
        print("| %s | %d | %d | %.2f | %.2f | %.2f | %d | %d (%d of %d) | %d | %.1f / %.1f / %.1f |" % (
            p["label"], len(p["lat"]), p["failures"], pct(lat, 50), pct(lat, 99), max(lat),
            p["reopened"], max(queues), sum(q > 0 for q in queues), len(queues),
            max(h for _, h in p["listens"]),
            p["idle"][1], max(r for _, r in p["samples"]), p["after12"][1]))
    print()


def report_churn(rows):
    print("## Rounds of 1,000 connections opened and closed (each a GET /status)")
    print("| rounds | threads | RSS MB | of which [heap] | thread stacks | other |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| %d | %d | %.1f | %.1f | %.1f | %.1f |" % row)
    print()


def report_wrk(results, args):
    print("## /status with keep-alive, wrk -t%d -c%d -d%ds, %d rounds alternating"
          % (args.threads, args.conns, args.duration, args.wrk_rounds))
    if args.compare:
        print("compare: %s" % args.compare)
    print("| server | req/s median (min-max) | p50 ms | p99 ms median (min-max) | errors |")
    print("|---|---|---|---|---|")
    for name, rs in results.items():
        rps = [r["rps"] for r in rs]
        p99 = [r["p99"] for r in rs]
        print("| %s | %.0f (%.0f-%.0f) | %.3f | %.3f (%.3f-%.3f) | %d |" % (
            name, statistics.median(rps), min(rps), max(rps), statistics.median(r["p50"] for r in rs),
            statistics.median(p99), min(p99), max(p99), sum(r["errors"] for r in rs)))
    for name in results:
        if name == "nginx":
            continue
        ratios = [a["rps"] / b["rps"] for a, b in zip(results[name], results["nginx"])]
        print("%s / nginx: median of per-round ratios %.2fx (%.2f-%.2f)"
              % (name, statistics.median(ratios), min(ratios), max(ratios)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--hostile", type=int, default=2000)
    ap.add_argument("--probe-seconds", type=int, default=5)
    ap.add_argument("--flood", type=int, default=4100)
    ap.add_argument("--flood-seconds", type=int, default=40)
    ap.add_argument("--rounds", type=int, default=30)
    ap.add_argument("--wrk-rounds", type=int, default=3)
    ap.add_argument("--duration", type=int, default=10)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--conns", type=int, default=16)
    ap.add_argument("--parts", default="hostile,flood,churn,wrk",
                    help="which parts to run, of hostile,flood,churn,wrk")
    ap.add_argument("--orval", help="run this orval program instead of build-release's")
    ap.add_argument("--compare", help="a second orval program for the wrk part, in the same rounds")
    args = ap.parse_args()
    parts = set(args.parts.split(","))
    for tool in ("wrk", "nginx"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            sys.exit("%s not found: run bench/install-bench-deps.sh" % tool)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 3 * max(args.hostile, args.flood) + 1024
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, wanted)), hard))
    if not args.orval:
        run_http.build()
    signal.alarm(2 * (args.probe_seconds + 20) + args.flood_seconds + 30 + args.rounds * 35
                 + args.wrk_rounds * 3 * (args.duration + 20) + 180)
    wd = tempfile.mkdtemp(prefix="orva-bench-lockout-")
    os.chmod(wd, 0o755)
    os.makedirs(os.path.join(wd, "bin"))
    orval_pid, compare_pid, nginx = None, None, None
    try:
        orval_port, nginx_port = run_http.free_port(), run_http.free_port()
        orval_pid = run_http.start_orval(wd, orval_port, "", 0, args.orval)
        status, headers, body, _ = run_http.fetch(orval_port, "/status", "")
        if status != 200:
            sys.exit("orval answered /status with %d" % status)
        nginx = run_http.start_nginx(wd, nginx_port, "/status", headers, body)
        time.sleep(0.5)
        if nginx.poll() is not None:
            sys.exit("nginx did not start (status %d)" % nginx.returncode)
        phases, floods, rows, results = [], [], [], {}
        for label, sources in [] if "hostile" not in parts else (("one address", ["127.0.0.1"]),
                               ("250 addresses", ["127.0.0.%d" % n for n in range(2, 252)])):
            run_http.log("hostile connections from %s" % label)
            phases.append(hostile_phase(orval_pid, orval_port, label, args.hostile, sources,
                                        args.probe_seconds))
        if "flood" in parts:
            run_http.log("slow headers from 200 addresses")
            floods.append(hostile_phase(orval_pid, orval_port, args.orval or "this build", args.flood,
                                        ["127.0.2.%d" % n for n in range(1, 201)],
                                        args.flood_seconds, ("header",), 2.0))
        if "churn" in parts:
            run_http.log("rounds of 1,000 connections")
            rows = churn(orval_pid, orval_port, args.rounds)
        if "wrk" in parts:
            ports = {"orval": orval_port, "nginx": nginx_port}
            if args.compare:
                ports["compare"] = run_http.free_port()
                compare_pid = run_http.start_orval(os.path.join(wd, "compare"), ports["compare"],
                                                   "", 0, args.compare)
            results = wrk_phase(ports, args)
    finally:
        signal.alarm(0)
        if compare_pid:
            run_http.stop(compare_pid, signal.SIGTERM)
        if nginx:
            run_http.stop(nginx.pid, signal.SIGQUIT)
            nginx.wait()
        if orval_pid:
            run_http.stop(orval_pid, signal.SIGTERM)
        shutil.rmtree(wd, ignore_errors=True)
    report(phases, floods, rows, results, args)


if __name__ == "__main__":
    main()
