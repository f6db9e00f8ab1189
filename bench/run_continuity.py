#!/usr/bin/env python3
"""run_continuity.py: what keeping a channel on air costs and how fast it switches.

Runs the built launcher (orval.so) on lines of the form the engine composes for
a channel with one live UDP source and one re-encoded UDP target, fed by a
sender ffmpeg on 127.0.0.1 that the script stops and starts again, and prints
figures. Nothing here passes or fails.

  bench/run_continuity.py switch [--outages 20] [--off 3] [--on 5] [--long 40]
      Switch times over N outages of a UDP source, with a backup file:
      source loss -> backup and source return -> source, p50/p95/max, judged
      three ways: by the pictures the target received, by the launcher's alarm
      lines, and (end to end) by when the target's first backup/source picture
      arrived. With --long S, one more outage of S seconds at the end, and
      the largest silence of the target through it.
  bench/run_continuity.py cpu [--seconds 40] [--rounds 2]
      CPU of a 1280x720 25 fps channel with one H.264/AAC target: the launcher
      with its continuity stage against plain ffmpeg run on the same composed
      arguments (the line as it ran before the stage), interleaved, on the
      same looping input.
  bench/run_continuity.py memory [--minutes 30] [--size 640x360]
      Resident memory of the launcher and all its processes, sampled every
      10 s over a run with a 5 s outage every minute.
  bench/run_continuity.py share [--seconds 30] [--old PATH]
      Shared encoders: CPU of a 1280x720 25 fps channel with 1, 3 and 5
      targets of identical encoding (H.264 2500 kbit/s + AAC, MPEG-TS over
      UDP) and with 3 targets of three sizes, each against one target in the
      same run; with --old, the same lines through that launcher (the one
      landed before shared encoders); and the three sizes as three channels
      of one target each. Prints the ratios and the machine's load. With
      --files, the source is a clip of --seconds read as fast as it goes and
      each run's whole CPU is counted: a loaded machine then changes how long
      a run takes, not what it costs.

--launcher PATH picks the launcher (default build/orval.so).
"""
import argparse
import math
import resource
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOKEN = "qzWek_3184"
# The sender's picture: flat, chroma (200, 100), luma 48 + frame number mod 160,
# so a receiver tells the source apart and knows which of its frames it shows.
SOURCE_UV, BACKUP_UV = (200, 100), (80, 190)
LUMA_BASE, LUMA_CYCLE = 48, 160
RATE = 25.0


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Recorder:
    """A UDP socket that timestamps every datagram and appends it to a file."""

    def __init__(self, path=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.05)
        self.port = self.sock.getsockname()[1]
        self.file = open(path, "wb") if path else None
        self.arrivals = []  # (time, offset)
        self.offset = 0
        self.running = True
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while self.running:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            now = time.monotonic()
            if self.file:
                self.file.write(data)
            self.arrivals.append((now, self.offset))
            self.offset += len(data)

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()
        if self.file:
            self.file.close()

    def first_from(self, t):
        for at, _ in self.arrivals:
            if at >= t:
                return at
        return None

    def arrival_of(self, pos):
        lo, hi = 0, len(self.arrivals)
        while lo < hi:
            mid = (lo + hi) // 2
            if self.arrivals[mid][1] <= pos:
                lo = mid + 1
            else:
                hi = mid
        return self.arrivals[lo - 1][0] if lo else None

    def gaps(self, longer_than):
        """(start, length) of every silence longer than `longer_than` seconds."""
        times = [a for a, _ in self.arrivals]
        return [(a, b - a) for a, b in zip(times, times[1:]) if b - a > longer_than]

    def largest_gap(self, start=None, end=None):
        times = [a for a, _ in self.arrivals if (start is None or a >= start) and (end is None or a <= end)]
        return max((b - a for a, b in zip(times, times[1:])), default=0.0)


class Launcher:
    """The launcher as the service runs it: the line on stdin (held open),
    settings in the environment, stdout and stderr on one pipe, read by line.
    With `argv`, that program instead, its stdin closed."""

    def __init__(self, launcher, line, environment, argv=None):
        env = dict(os.environ, ORVAL_CHANNEL="1", ORVAL_MEMO="bench", **environment)
        self.proc = subprocess.Popen(argv or [launcher], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env)
        if argv is None:
            self.proc.stdin.write((TOKEN + " " + line + "\n").encode())
            self.proc.stdin.flush()
        else:
            self.proc.stdin.close()
        self.lines = []
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        pending = b""
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                return
            now = time.monotonic()
            pending += chunk
            parts = re.split(rb"[\r\n]", pending)
            pending = parts.pop()
            self.lines += [(now, p.decode(errors="replace")) for p in parts]

    def frames(self):
        """The encoder's frame count in its last progress line."""
        for _, text in reversed(self.lines):
            m = re.match(r"frame=\s*(\d+)", text)
            if m:
                return int(m.group(1))
        return 0

    def alarms(self):
        found = []
        for at, text in self.lines:
            m = re.match(r"orval-alarm: (raise|clear) (\w+)$", text)
            if m:
                found.append((at, m.group(1), m.group(2)))
        return found

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdin.close()


def tree_of(pid):
    """The pid and every process below it."""
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as f:
                    rest = f.read().rsplit(")", 1)[1].split()
                parents.setdefault(int(rest[1]), []).append(int(name))
            except (OSError, IndexError):
                pass
    found, pending = [pid], [pid]
    while pending:
        for child in parents.get(pending.pop(), []):
            found.append(child)
            pending.append(child)
    return found


def cpu_seconds(pids):
    tick, total = os.sysconf("SC_CLK_TCK"), 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                rest = f.read().rsplit(")", 1)[1].split()
            total += (int(rest[11]) + int(rest[12])) / tick
        except (OSError, IndexError):
            pass
    return total


def role_of(pid, launcher_pid):
    """'launcher', 'encoder' (reads the stage's pipe) or 'decoder'."""
    if pid == launcher_pid:
        return "launcher"
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return "encoder" if b"pipe:3" in f.read() else "decoder"
    except OSError:
        return "decoder"


def rss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def sender_args(address, watch, size="320x240"):
    w, h = size.split("x")
    picture = (f"color=c=black:s=16x12:r=25,format=yuv444p,geq=lum='{LUMA_BASE}+mod(N,{LUMA_CYCLE})':"
               f"cb={SOURCE_UV[0]}:cr={SOURCE_UV[1]},scale={w}:{h}:flags=neighbor,format=yuv420p")
    return ["ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i", picture, "-re",
            "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000,aformat=channel_layouts=stereo",
            "-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
            "-g", "25", "-b:v", "800k", "-c:a", "aac", "-b:a", "96k", "-f", "tee",
            f"[f=mpegts]{address}|[f=mpegts]udp://127.0.0.1:{watch}?pkt_size=1316"]


def make_backup(path):
    picture = (f"color=c=black:s=16x12:r=25,format=yuv444p,geq=lum='60+mod(N*3,150)':cb={BACKUP_UV[0]}:"
               f"cr={BACKUP_UV[1]},scale=240:180:flags=neighbor,format=yuv420p")
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", picture, "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=44100", "-t", "4", "-c:v", "libx264", "-preset", "veryfast",
                    "-g", "25", "-c:a", "aac", path], check=True)


def composed_line(source_port, target_port, size=None, bitrate=600, audio=96):
    """The line the engine composes for one UDP source and one H.264/AAC UDP target."""
    scale = f"-s {size} " if size else ""
    return (f'-v 32 -i "udp://127.0.0.1:{source_port}" -c:a aac -b:a {audio}k -c:v libx264 -b:v {bitrate}k '
            f"-minrate:v {bitrate}k -maxrate:v {bitrate}k -bufsize:v {bitrate}k -nal-hrd cbr {scale}"
            f"-pix_fmt yuv420p -f mpegts udp://127.0.0.1:{target_port}?pkt_size=1316")


def decoded_pictures(path):
    """(pts, pos, y, u, v) of every picture of a recorded MPEG-TS, in order."""
    out = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-copyts", "-i", path, "-vf", "showinfo",
                          "-an", "-f", "null", "-"], capture_output=True, text=True).stderr
    pictures = []
    for m in re.finditer(r"pts_time:(\S+).*? pos:\s*(-?\d+).*?mean:\[(\d+) (\d+) (\d+)\]", out):
        pictures.append((float(m.group(1)), int(m.group(2)), int(m.group(3)), int(m.group(4)), int(m.group(5))))
    return pictures


def kind_of(picture):
    for name, (u, v) in (("source", SOURCE_UV), ("backup", BACKUP_UV)):
        if abs(picture[3] - u) <= 10 and abs(picture[4] - v) <= 10:
            return name
    return "other"


def percentiles(values):
    if not values:
        return "none"
    s = sorted(values)
    p95 = s[math.ceil(0.95 * len(s)) - 1]  # nearest rank
    return f"p50 {statistics.median(s):.2f} s  p95 {p95:.2f} s  max {s[-1]:.2f} s  (n={len(s)})"


def start_sender(source, watch, size="320x240"):
    asked = time.monotonic()
    proc = subprocess.Popen(sender_args(f"udp://127.0.0.1:{source}?pkt_size=1316", watch.port, size),
                            stdin=subprocess.DEVNULL)
    deadline = asked + 15
    while time.monotonic() < deadline:
        first = watch.first_from(asked)
        if first:
            return proc, first
        time.sleep(0.01)
    return proc, None


def stop_sender(proc):
    proc.send_signal(signal.SIGINT)
    proc.wait()
    return time.monotonic()


def switch(args, tmp):
    backup = os.path.join(tmp, "backup.mp4")
    make_backup(backup)
    source = free_port()
    watch, target = Recorder(), Recorder(os.path.join(tmp, "target.ts"))
    env = {"ORVAL_BACKUP": backup, "ORVAL_SOURCE_TIMEOUT": str(args.timeout)}
    sender, _ = start_sender(source, watch)
    launcher = Launcher(args.launcher, composed_line(source, target.port), env)
    time.sleep(5)
    stops, returns = [], []
    for i in range(args.outages):
        stops.append(stop_sender(sender))
        time.sleep(args.off)
        sender, back = start_sender(source, watch)
        returns.append(back)
        time.sleep(args.on)
        print(f"outage {i + 1}/{args.outages} done", file=sys.stderr)
    long_gap = None
    if args.long:
        stops.append(stop_sender(sender))
        time.sleep(args.long)
        sender, back = start_sender(source, watch)
        returns.append(back)
        time.sleep(args.on)
        long_gap = target.largest_gap(stops[-1] - 1, time.monotonic())
    stop_sender(sender)
    launcher.stop()
    target.stop()
    watch.stop()
    report_switches(args, target, launcher, stops, returns, long_gap)


def report_switches(args, target, launcher, stops, returns, long_gap):
    pictures = decoded_pictures(target.file.name)
    # Stretches of one kind, in order: source, backup, source, ...
    runs = []
    # What shows before the source's first picture is the launcher's start.
    start = next((i for i, p in enumerate(pictures) if kind_of(p) == "source"), len(pictures))
    for i, p in enumerate(pictures[start:], start):
        k = kind_of(p)
        if not runs or runs[-1][0] != k:
            runs.append([k, i, i])
        runs[-1][2] = i
    held, taken, picture_loss, picture_return = [], [], [], []
    sources = [r for r in runs if r[0] == "source"]
    for n, (before, after) in enumerate(zip(sources, sources[1:])):
        last = (pictures[before[2]][2] - LUMA_BASE) % LUMA_CYCLE
        i = before[2]
        while i > before[1] and (pictures[i - 1][2] - LUMA_BASE) % LUMA_CYCLE == last:
            i -= 1
        held.append((before[2] - i) / RATE)
        taken.append(((pictures[after[1]][2] - LUMA_BASE) % LUMA_CYCLE) / RATE)
        if n < len(stops):
            first_other = target.arrival_of(pictures[before[2] + 1][1])
            first_source = target.arrival_of(pictures[after[1]][1])
            if first_other and first_source and returns[n]:
                picture_loss.append(first_other - stops[n])
                picture_return.append(first_source - returns[n])
    alarms = launcher.alarms()
    alarm_loss, alarm_return = [], []
    for stop, back in zip(stops, returns):
        raised = [a for a, what, kind in alarms if what == "raise" and kind == "on_backup" and a >= stop]
        cleared = [a for a, what, kind in alarms if what == "clear" and kind == "source_lost" and back and a >= back]
        if raised:
            alarm_loss.append(raised[0] - stop)
        if cleared:
            alarm_return.append(cleared[0] - back)
    kinds = " ".join(r[0] for r in runs)
    n = args.outages
    long_taken = taken[n] if args.long and len(taken) > n else float("nan")
    held, taken, alarm_loss, alarm_return = held[:n], taken[:n], alarm_loss[:n], alarm_return[:n]
    picture_loss, picture_return = picture_loss[:n], picture_return[:n]
    print(f"outages: {n} ({args.off} s off, {args.on} s on), source time-out {args.timeout} ms"
          + (f", then one of {args.long} s" if args.long else ""))
    print(f"stretches the target showed from the source's first picture on: {len(runs)} "
          f"(expected {2 * len(stops) + 1}); "
          f"non-source stretches that were not the backup: {sum(1 for r in runs if r[0] == 'other')}")
    print("in the target's pictures (stream time, no encoder delay):")
    print(f"  loss -> backup (last picture held)      {percentiles(held)}")
    print(f"  return -> source (source frames skipped) {percentiles(taken)}")
    print("by the launcher's alarm lines (wall time):")
    print(f"  loss -> raise on_backup                 {percentiles(alarm_loss)}")
    print(f"  return -> clear source_lost             {percentiles(alarm_return)}")
    print("end to end, at the target's receiver (wall time, with the encoder's delay):")
    print(f"  loss -> first non-source picture        {percentiles(picture_loss)}")
    print(f"  return -> first source picture          {percentiles(picture_return)}")
    print(f"largest silence of the target over the whole run: {target.largest_gap():.2f} s")
    if long_gap is not None:
        print(f"long outage of {args.long} s: largest silence of the target {long_gap:.2f} s, "
              f"source shown {long_taken:.2f} s after its return")
    if len(runs) > 80:
        kinds = kinds[:400] + " ..."
    print(f"sequence: {kinds}")


def start_hd_feed(tmp):
    """A 1280x720 25 fps H.264/AAC clip sent looping to a UDP port at its real
    rate; the port, a sink for the channel's targets and the sender."""
    clip = os.path.join(tmp, "feed.ts")
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "20", "-c:v", "libx264",
                    "-preset", "veryfast", "-b:v", "4000k", "-g", "50", "-pix_fmt", "yuv420p", "-c:a", "aac",
                    "-ac", "2", clip], check=True)
    source = free_port()
    sink = Recorder()
    # The feed is copied, so the sender costs little beside the channel.
    feed = subprocess.Popen(["ffmpeg", "-v", "error", "-nostdin", "-re", "-stream_loop", "-1", "-i", clip,
                             "-c", "copy", "-f", "mpegts", f"udp://127.0.0.1:{source}?pkt_size=1316"])
    return source, sink, feed


def cpu(args, tmp):
    source, sink, feed = start_hd_feed(tmp)
    line = composed_line(source, sink.port, "1280x720", 2500, 128)
    results = {"stage": [], "plain": []}
    run = None
    try:
        for r in range(args.rounds):
            for variant in ("plain", "stage"):
                argv = None if variant == "stage" else ["ffmpeg"] + shlex_split(line)
                run = Launcher(args.launcher, line, {"ORVAL_SOURCE_TIMEOUT": "1000"}, argv)
                time.sleep(5)  # start-up and probing are left out
                pids = tree_of(run.proc.pid)
                before, frames, t0 = cpu_seconds(pids), run.frames(), time.monotonic()
                time.sleep(args.seconds)
                pids = tree_of(run.proc.pid)
                used, encoded = cpu_seconds(pids) - before, run.frames() - frames
                span = time.monotonic() - t0
                # CPU per second of stream encoded: a starved run encodes less, not cheaper.
                results[variant].append((used / (encoded / RATE) if encoded else float("nan"), encoded / span))
                print(f"round {r + 1} {variant}: {used:.1f} CPU s for {encoded} frames in {span:.0f} s "
                      f"({len(pids)} processes)", file=sys.stderr)
                run.stop()
                run = None
    finally:
        if run:
            run.stop()
        feed.send_signal(signal.SIGINT)
        feed.wait()
        sink.stop()
    plain = statistics.median(v for v, _ in results["plain"])
    stage = statistics.median(v for v, _ in results["stage"])
    print(f"1280x720 25 fps, one H.264 2500 kbit/s + AAC target, {args.seconds} s windows, {args.rounds} rounds")
    print("CPU seconds (user + system, all processes) per second of stream encoded, median (each round; "
          "frames per second encoded):")
    for name, value, key in (("plain ffmpeg on the composed arguments", plain, "plain"),
                             ("launcher with the continuity stage", stage, "stage")):
        rounds = ", ".join(f"{v:.3f} at {fps:.1f} fps" for v, fps in results[key])
        print(f"  {name}: {value:.3f} ({rounds})")
    print(f"  stage / plain: {stage / plain:.3f}")


def share_line(source_port, sink_port, sizes, pixel_format_each=False):
    """The line the engine composes for one UDP source and one H.264/AAC UDP
    target per size; only the first H.264 target gets "-pix_fmt yuv420p"
    unless `pixel_format_each`."""
    line = f'-v 32 -i "udp://127.0.0.1:{source_port}" '
    for n, size in enumerate(sizes):
        pix = "-pix_fmt yuv420p " if n == 0 or pixel_format_each else ""
        line += (f"-c:a aac -b:a 128k -c:v libx264 -b:v 2500k -minrate:v 2500k -maxrate:v 2500k -bufsize:v 2500k "
                 f"-nal-hrd cbr -s {size} {pix}-f mpegts udp://127.0.0.1:{sink_port}?pkt_size=1316 ")
    return line.strip()


def measure_channel(launcher, line, seconds):
    """CPU seconds per second of stream of one run, the frames per second it
    encoded, its process count, and the load average during it."""
    run = Launcher(launcher, line, {"ORVAL_SOURCE_TIMEOUT": "1000"})
    try:
        time.sleep(6)  # start-up, probing and the muxers' start are left out
        pids = tree_of(run.proc.pid)
        before, frames, t0 = cpu_seconds(pids), run.frames(), time.monotonic()
        time.sleep(seconds)
        pids = tree_of(run.proc.pid)
        used, encoded = cpu_seconds(pids) - before, run.frames() - frames
        span = time.monotonic() - t0
        load = os.getloadavg()[0]
    finally:
        run.stop()
    per_second = used / (encoded / RATE) if encoded else float("nan")
    return per_second, encoded / span, len(pids), load


def print_share_ratios(results, launchers, cases, old):
    """The goals' ratios of each launcher, and each case against the old launcher."""
    for name, _ in launchers:
        one = results[(name, "1 target")][0]
        three_channels = one + results[(name, "960x540")][0] + results[(name, "640x360")][0]
        print(f"  {name}: 3 identical / 1 = {results[(name, '3 identical')][0] / one:.3f} (goal <= 1.10), "
              f"5 identical / 1 = {results[(name, '5 identical')][0] / one:.3f} (goal <= 1.15), "
              f"3 sizes / 3 channels = {results[(name, '3 sizes')][0] / three_channels:.3f} (goal < 1)")
    if old:
        for case in cases:
            print(f"  shared / old, {case}: {results[('shared', case)][0] / results[('old', case)][0]:.3f}")


def measure_file(launcher, line, seconds):
    """CPU seconds per second of stream of a line that reads the clip as fast as
    it can: the whole run, every process waited for, so the machine's load
    changes how long it takes but not what it costs."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.monotonic()
    run = Launcher(launcher, line, {})
    run.proc.wait()
    run.thread.join()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    run.proc.stdin.close()
    encoded = run.frames()
    return used / seconds, encoded / RATE, time.monotonic() - t0, os.getloadavg()[0]


def share_files(args, tmp):
    clip = os.path.join(tmp, "clip.ts")
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", str(args.seconds), "-c:v",
                    "libx264", "-preset", "veryfast", "-b:v", "4000k", "-g", "50", "-pix_fmt", "yuv420p", "-c:a",
                    "aac", "-ac", "2", clip], check=True)
    sink = Recorder()
    full = "1280x720"
    cases = [("1 target", [full]), ("3 identical", [full] * 3), ("5 identical", [full] * 5),
             ("3 sizes", [full, "960x540", "640x360"]), ("960x540", ["960x540"]), ("640x360", ["640x360"])]
    launchers = [("shared", args.launcher)] + ([("old", args.old)] if args.old else [])
    results = {}
    try:
        for name, launcher in launchers:
            for case, sizes in cases:
                # As the engine composes it: "-pix_fmt yuv420p" on the first
                # target only, which the launcher finds the clip holds already.
                line = share_line(0, sink.port, sizes).replace('"udp://127.0.0.1:0"', f'"{clip}"')
                results[(name, case)] = measure_file(launcher, line, args.seconds)
                print(f"{name} {case}: {results[(name, case)]}", file=sys.stderr)
    finally:
        sink.stop()
    print(f"a {args.seconds:.0f} s 1280x720 25 fps H.264/AAC file read as fast as it goes, H.264 2500 kbit/s + "
          f"AAC 128 kbit/s MPEG-TS targets over UDP, the first with -pix_fmt yuv420p; {os.cpu_count()} cores")
    print("CPU seconds (user + system, every process) per second of stream; seconds of stream written; wall "
          "seconds; 1-min load at the end")
    for (name, case), (cpu, stream, wall, load) in results.items():
        print(f"  {name:7} {case:12} {cpu:6.3f}  {stream:5.1f} s  {wall:5.1f} s  load {load:5.2f}")
    print_share_ratios(results, launchers, [case for case, _ in cases], args.old)


def share(args, tmp):
    if args.files:
        return share_files(args, tmp)
    source, sink, feed = start_hd_feed(tmp)
    full = "1280x720"
    cases = [("1 target", [full]), ("3 identical", [full] * 3), ("5 identical", [full] * 5),
             ("3 sizes", [full, "960x540", "640x360"])]
    launchers = [("shared", args.launcher)] + ([("old", args.old)] if args.old else [])
    results = {}
    try:
        for name, launcher in launchers:
            for case, sizes in cases:
                results[(name, case)] = measure_channel(launcher, share_line(source, sink.port, sizes), args.seconds)
                print(f"{name} {case}: {results[(name, case)]}", file=sys.stderr)
            # The three sizes as three channels of one target each, one after another.
            for size in ("960x540", "640x360"):
                results[(name, size)] = measure_channel(launcher, share_line(source, sink.port, [size]),
                                                        args.seconds)
                print(f"{name} {size} alone: {results[(name, size)]}", file=sys.stderr)
    finally:
        feed.send_signal(signal.SIGINT)
        feed.wait()
        sink.stop()
    print(f"1280x720 25 fps source, H.264 2500 kbit/s + AAC 128 kbit/s MPEG-TS targets, {args.seconds} s windows, "
          f"{os.cpu_count()} cores")
    print("CPU seconds (user + system, all processes) per second of stream; fps encoded; processes; 1-min load")
    for (name, case), (cpu, fps, procs, load) in results.items():
        slow = "" if fps >= RATE * 0.97 else "  (did not keep up at 25 fps)"
        print(f"  {name:7} {case:12} {cpu:6.3f}  {fps:5.1f} fps  {procs:2d} processes  load {load:4.2f}{slow}")
    print_share_ratios(results, launchers, [case for case, _ in cases], args.old)


def shlex_split(line):
    import shlex
    return shlex.split(line)


def memory(args, tmp):
    source = free_port()
    watch, sink = Recorder(), Recorder()
    sender, _ = start_sender(source, watch, args.size)
    line = composed_line(source, sink.port, args.size, 1500, 128)
    launcher = Launcher(args.launcher, line, {"ORVAL_SOURCE_TIMEOUT": "1000"})
    start = time.monotonic()
    samples, outages, by_role = [], 0, []
    next_outage = start + 60
    try:
        while time.monotonic() - start < args.minutes * 60:
            now = time.monotonic()
            if now >= next_outage:
                stop_sender(sender)
                time.sleep(5)
                sender, _ = start_sender(source, watch, args.size)
                outages += 1
                next_outage += 60
            pids = tree_of(launcher.proc.pid)
            samples.append((time.monotonic() - start, rss_kib(pids), len(pids)))
            roles = {}
            for pid in pids:
                role = role_of(pid, launcher.proc.pid)
                roles[role] = roles.get(role, 0) + rss_kib([pid])
            by_role.append((samples[-1][0], roles))
            if len(samples) % 6 == 0:
                print(f"{samples[-1][0] / 60:.1f} min: {samples[-1][1] / 1024:.1f} MiB in "
                      f"{samples[-1][2]} processes", file=sys.stderr)
            time.sleep(10)
    finally:
        stop_sender(sender)
        launcher.stop()
        watch.stop()
        sink.stop()
    ran = samples[-1][0] / 60 if samples else 0
    first = [kib for t, kib, _ in samples if t <= 120]
    last = [kib for t, kib, _ in samples if t >= samples[-1][0] - 120]
    print(f"{args.size} 25 fps, one H.264 1500 kbit/s + AAC target, a 5 s outage every minute")
    print(f"  ran {ran:.1f} min, {outages} outages, {len(samples)} samples every 10 s")
    print(f"  RSS of the launcher and its processes: first 2 min mean {statistics.mean(first) / 1024:.1f} MiB, "
          f"last 2 min mean {statistics.mean(last) / 1024:.1f} MiB, max {max(k for _, k, _ in samples) / 1024:.1f} MiB")
    print(f"  processes: {min(n for _, _, n in samples)}..{max(n for _, _, n in samples)}")
    for role in ("launcher", "decoder", "encoder"):
        early = [r.get(role, 0) for t, r in by_role if t <= 120 and role in r]
        late = [r.get(role, 0) for t, r in by_role if t >= by_role[-1][0] - 120 and role in r]
        if early and late:
            print(f"    {role}: first 2 min mean {statistics.mean(early) / 1024:.1f} MiB, "
                  f"last 2 min mean {statistics.mean(late) / 1024:.1f} MiB")
    print(f"  largest silence of the target: {sink.largest_gap():.2f} s")
    for at, length in sink.gaps(0.5):
        said = [text for t, text in launcher.lines
                if at - 3 <= t <= at + length + 1 and text and not text.startswith("frame=")]
        print(f"    {length:.2f} s at {(at - start) / 60:.1f} min; the launcher said: {' | '.join(said)[:600]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["switch", "cpu", "memory", "share"])
    parser.add_argument("--old", default=None, help="the launcher landed before shared encoders, for share")
    parser.add_argument("--files", action="store_true", help="share: a clip read as fast as it goes, not a live feed")
    parser.add_argument("--launcher", default=os.path.join(REPO, "build", "orval.so"))
    parser.add_argument("--outages", type=int, default=20)
    parser.add_argument("--off", type=float, default=3)
    parser.add_argument("--on", type=float, default=5)
    parser.add_argument("--long", type=float, default=0)
    parser.add_argument("--timeout", type=int, default=1000, help="ORVAL_SOURCE_TIMEOUT, ms")
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--size", default="640x360")
    args = parser.parse_args()
    if not os.access(args.launcher, os.X_OK):
        sys.exit(f"no launcher at {args.launcher}")
    with tempfile.TemporaryDirectory(prefix="orva-continuity-") as tmp:
        {"switch": switch, "cpu": cpu, "memory": memory, "share": share}[args.what](args, tmp)


if __name__ == "__main__":
    main()
