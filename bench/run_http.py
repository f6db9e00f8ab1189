#!/usr/bin/env python3
"""GET throughput of the management server next to nginx serving the same bytes.

Starts the release build of orval under a fresh ORVAL_ROOT with 64 configured
channels (none running), asks it once for PATH, and has nginx serve exactly
that reply body, with the same Content-Type and caching headers, from a file.
Then runs `wrk -t2 -c16 -d10s --latency` against each in turn, alternating the
order every round, and prints requests/s, latency and the ratio orval / nginx.

Usage: bench/run_http.py [PATH] [--rounds N] [--duration S] [--login PASSWORD]
                         [--logo-bytes N] [--before BINARY]
PATH defaults to /status. --logo-bytes puts a branding logo of that size
beside the program, so /orvaoem.png can stand in for a reply of a given size.
--before runs another build of orval (an earlier commit's program) as a
third server in the same rounds. Needs wrk and nginx (bench/install-bench-deps.sh).
Only processes this script started are stopped, each by its own pid.
"""
import argparse
import http.client
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(REPO, "build-release")

NGINX_CONF = """\
worker_processes {workers};
pid {wd}/nginx.pid;
error_log {wd}/nginx-error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 65;
    keepalive_requests 100000;
    client_body_temp_path {wd}/tmp;
    proxy_temp_path {wd}/tmp;
    fastcgi_temp_path {wd}/tmp;
    uwsgi_temp_path {wd}/tmp;
    scgi_temp_path {wd}/tmp;
    server {{
        listen 127.0.0.1:{port};
        location = {path} {{
            default_type {content_type};
{headers}            root {wd}/html;
            try_files /body =404;
        }}
    }}
}}
"""

CHANNEL = """<Channel{n}>
Enable 0
<Input>
NumInputs 1
<Input1>
Format file
File "/media/clip{n}.ts"
</Input1>
</Input>
<Output>
NumOutputs 1
<Output1>
Format udpts
VideoEnable 1
VideoCodec H264
VideoBitRate 2000
AudioEnable 1
AudioCodec AAC
File "udp://127.0.0.1:{udp}"
</Output1>
</Output>
</Channel{n}>
"""


def log(text):
    print(text, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def build():
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", REPO, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                        "-DORVAL_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "orval", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w" if isinstance(text, str) else "wb") as f:
        f.write(text)
    os.chmod(path, mode)


def start_orval(wd, port, password, logo_bytes, binary=None):
    """The program (this build's, or BINARY) in a folder of its own (a fake
    transcoder beside it: nothing runs)."""
    os.makedirs(os.path.join(wd, "bin"), exist_ok=True)
    shutil.copy(binary or os.path.join(BUILD, "orval"), os.path.join(wd, "bin", "orval"))
    if logo_bytes:
        write(os.path.join(wd, "bin", "orvaoem.png"), bytes(i % 251 for i in range(logo_bytes)))
    write(os.path.join(wd, "bin", "orval.so"), "#!/bin/sh\nexec sleep 30\n", 0o755)
    conf = "# Kestova Configuration File\n\nAutoRestart 0\nHTTPPort %d\n" % port
    if password:
        conf += "LoginPass %s\n" % password
    conf += "\n" + "".join(CHANNEL.format(n=n, udp=5000 + n) for n in range(1, 65))
    root = os.path.join(wd, "root")
    write(os.path.join(root, "etc", "orval", "orval.conf"), conf)
    env = dict(os.environ, ORVAL_ROOT=root)
    with open(os.path.join(wd, "orval.out"), "w") as out:
        subprocess.run([os.path.join(wd, "bin", "orval")], env=env, stdout=out, stderr=out,
                       stdin=subprocess.DEVNULL, check=True, timeout=30)
    pid_file = os.path.join(root, "var", "run", "orval.pid")
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            with open(pid_file) as f:
                return int(f.read())
        except (OSError, ValueError):
            time.sleep(0.1)
    raise RuntimeError("orval did not start; see %s/orval.out" % wd)


def fetch(port, path, cookie):
    deadline = time.monotonic() + 10
    while True:
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            c.request("GET", path, headers={"Cookie": cookie} if cookie else {})
            r = c.getresponse()
            body = r.read()
            kept = "close" if r.will_close else "kept"
            c.close()
            return r.status, dict(r.getheaders()), body, kept
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)


def start_nginx(wd, port, path, headers, body):
    write(os.path.join(wd, "html", "body"), body)
    os.makedirs(os.path.join(wd, "tmp"), exist_ok=True)
    extra = "".join('            add_header %s "%s";\n' % (name, headers[name])
                    for name in ("Pragma", "Cache-Control", "Expires") if name in headers)
    conf = os.path.join(wd, "nginx.conf")
    write(conf, NGINX_CONF.format(workers=os.cpu_count(), wd=wd, port=port, path=path,
                                  content_type=headers.get("Content-Type", "text/plain"),
                                  headers=extra))
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    return subprocess.Popen([nginx, "-e", os.path.join(wd, "nginx-error.log"), "-p", wd, "-c", conf,
                             "-g", "daemon off;"], stdin=subprocess.DEVNULL)


def lat_ms(token):
    m = re.fullmatch(r"([\d.]+)(us|ms|s)", token)
    return float(m.group(1)) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[m.group(2)] if m else float("nan")


def run_wrk(url, args, cookie, duration):
    cmd = ["wrk", "-t%d" % args.threads, "-c%d" % args.conns, "-d%ds" % duration, "--latency"]
    if cookie:
        cmd += ["-H", "Cookie: " + cookie]
    out = subprocess.run(cmd + [url], capture_output=True, text=True, timeout=duration + 30).stdout
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    p50 = re.search(r"^\s+50%\s+(\S+)", out, re.M)
    p99 = re.search(r"^\s+99%\s+(\S+)", out, re.M)
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    sock = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    return {"rps": float(rps.group(1)) if rps else float("nan"),
            "p50": lat_ms(p50.group(1)) if p50 else float("nan"),
            "p99": lat_ms(p99.group(1)) if p99 else float("nan"),
            "errors": (int(bad.group(1)) if bad else 0) + (sum(map(int, sock.groups())) if sock else 0)}


def stop(pid, sig):
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    os.kill(pid, signal.SIGKILL)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("path", nargs="?", default="/status")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--duration", type=int, default=10, help="wrk -d seconds (10)")
    ap.add_argument("--threads", type=int, default=2, help="wrk -t (2)")
    ap.add_argument("--conns", type=int, default=16, help="wrk -c (16)")
    ap.add_argument("--login", default="", help="set this login password and send its cookie")
    ap.add_argument("--logo-bytes", type=int, default=0, help="size of a logo file to serve")
    ap.add_argument("--before", help="another orval program to measure in the same rounds")
    args = ap.parse_args()
    for tool in ("wrk", "nginx"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            sys.exit("%s not found: run bench/install-bench-deps.sh" % tool)
    build()
    cookie = "auth=" + urllib.parse.quote_plus(args.login) if args.login else ""
    count = 3 if args.before else 2
    signal.alarm(args.rounds * count * (args.duration + 20) + 120)  # bounded, whatever happens
    wd = tempfile.mkdtemp(prefix="orva-bench-http-")
    os.chmod(wd, 0o755)  # nginx workers read the body file
    os.makedirs(os.path.join(wd, "bin"))
    orval_pid, before_pid, nginx = None, None, None
    try:
        orval_port, nginx_port = free_port(), free_port()
        orval_pid = start_orval(wd, orval_port, args.login, args.logo_bytes)
        status, headers, body, orval_kept = fetch(orval_port, args.path, cookie)
        if status != 200:
            sys.exit("orval answered %s with %d; benchmark a path that answers 200" % (args.path, status))
        nginx = start_nginx(wd, nginx_port, args.path, headers, body)
        time.sleep(0.5)
        if nginx.poll() is not None:
            sys.exit("nginx did not start (status %d)" % nginx.returncode)
        nginx_status, _, nginx_body, nginx_kept = fetch(nginx_port, args.path, "")
        if nginx_status != 200 or nginx_body != body:
            sys.exit("nginx does not serve the same %d bytes" % len(body))
        servers = [("orval", "http://127.0.0.1:%d%s" % (orval_port, args.path), cookie),
                   ("nginx", "http://127.0.0.1:%d%s" % (nginx_port, args.path), "")]
        if args.before:
            before_port = free_port()
            before_pid = start_orval(os.path.join(wd, "before"), before_port, args.login,
                                     args.logo_bytes, args.before)
            if fetch(before_port, args.path, cookie)[2] != body:
                sys.exit("the earlier build answers %s with other bytes" % args.path)
            servers.append(("before", "http://127.0.0.1:%d%s" % (before_port, args.path), cookie))
        log("%s: %d bytes, %s; keep-alive orval %s, nginx %s"
            % (args.path, len(body), headers.get("Content-Type"), orval_kept, nginx_kept))
        for _, url, c in servers:
            run_wrk(url, args, c, 2)  # warm-up, not counted
        results = {name: [] for name, _, _ in servers}
        for rnd in range(args.rounds):
            turn = rnd % len(servers)
            order = servers[turn:] + servers[:turn]
            for name, url, c in (order if rnd % 2 == 0 else order[::-1]):
                r = run_wrk(url, args, c, args.duration)
                results[name].append(r)
                log("round %d %s: %.0f req/s, p50 %.3f ms, p99 %.3f ms, errors %d"
                    % (rnd + 1, name, r["rps"], r["p50"], r["p99"], r["errors"]))
    finally:
        signal.alarm(0)
        if nginx:
            stop(nginx.pid, signal.SIGQUIT)
            nginx.wait()
        for pid in (orval_pid, before_pid):
            if pid:
                stop(pid, signal.SIGTERM)
        shutil.rmtree(wd, ignore_errors=True)

    print("GET %s (%d bytes), wrk -t%d -c%d -d%ds, %d rounds, order rotating, %d cores"
          % (args.path, len(body), args.threads, args.conns, args.duration, args.rounds, os.cpu_count()))
    print("| server | keep-alive | req/s median (min-max) | p50 ms median | p99 ms median | errors |")
    print("|---|---|---|---|---|---|")
    for name, _, _ in servers:
        rs = results[name]
        kept = nginx_kept if name == "nginx" else orval_kept
        rps = [r["rps"] for r in rs]
        print("| %s | %s | %.0f (%.0f-%.0f) | %.3f | %.3f | %d |" % (
            name, kept, statistics.median(rps), min(rps), max(rps),
            statistics.median(r["p50"] for r in rs), statistics.median(r["p99"] for r in rs),
            sum(r["errors"] for r in rs)))
    ratios = [a["rps"] / b["rps"] for a, b in zip(results["orval"], results["nginx"])]
    print("orval / nginx req/s: median of per-round ratios %.2fx (%.2f-%.2f)"
          % (statistics.median(ratios), min(ratios), max(ratios)))
    p99s = [a["p99"] / b["p99"] for a, b in zip(results["orval"], results["nginx"])]
    print("orval / nginx p99: median of per-round ratios %.2fx (%.2f-%.2f)"
          % (statistics.median(p99s), min(p99s), max(p99s)))


if __name__ == "__main__":
    main()
