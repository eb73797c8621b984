#!/usr/bin/env python3
"""The gateway's benchmark: for each number of agents, a real mosquitto on
127.0.0.1, agentsim playing the agents (at most PER_SIM agents a process,
each committing one scan per interval), vxgate probing them at that interval,
and mosquitto_sub noting when each scan reaches the broker's subscribers.

    gatebench.py --vxgate PATH --agentsim PATH [--agents 100,1000,10000]
                 [--interval-ms 1000] [--measure 20] [--out DIR]

Per run: the scans per second carried, p50 and p99 of commit to broker (the
commit time is in the scan's text; the arrival time is mosquitto_sub's), and
vxgate's processor time (share of one core) and memory over the measured
window, which starts once every session is open and a few seconds have
settled. Each run is bounded: at most SETTLE_LIMIT seconds to open the
sessions, then the window. Every process is ended by its pid.
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import time

PER_SIM = 4000
SETTLE_SECONDS = 5
SETTLE_LIMIT = 120
TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def memory_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def percentile(values, fraction):
    if not values:
        return float("nan")
    return values[min(len(values) - 1, int(fraction * len(values)))]


def run(options, agents, folder):
    os.makedirs(folder, exist_ok=True)
    started = []

    def start(command, **kwargs):
        process = subprocess.Popen(command, **kwargs)
        started.append(process)
        return process

    try:
        port = free_port()
        config = os.path.join(folder, "mosquitto.conf")
        with open(config, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % port)
        broker = start(["mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        time.sleep(0.5)

        parts, sims = [], []
        for index in range(0, agents, PER_SIM):
            count = min(PER_SIM, agents - index)
            part = os.path.join(folder, "agents-%d" % len(parts))
            sim = start([options.agentsim, "--agents", str(count), "--commit-ms",
                         str(options.interval_ms), "--agents-file", part, "--name",
                         "sim%d" % len(parts)], stdout=subprocess.PIPE,
                        stderr=open(os.path.join(folder, "agentsim-%d.err" % len(parts)), "w"))
            if sim.stdout.readline().strip() != b"ready":
                raise RuntimeError("agentsim did not start")
            parts.append(part)
            sims.append(sim)
        agents_file = os.path.join(folder, "agents")
        with open(agents_file, "w") as out:
            for part in parts:
                with open(part) as f:
                    out.write(f.read())

        arrivals = os.path.join(folder, "arrivals.txt")
        sub = start(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-t", "vxhid/+/scan",
                     "-q", "0", "-F", "%U %p"], stdout=open(arrivals, "w"),
                    stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        log_path = os.path.join(folder, "vxgate.log")
        gate = start([options.vxgate, "--broker", "mqtt://127.0.0.1:%d" % port, "--agents",
                      agents_file, "--interval", str(options.interval_ms), "--client-id",
                      "vxgate-bench"], stderr=open(log_path, "w"), stdout=subprocess.DEVNULL)

        began = time.monotonic()
        while True:
            with open(log_path) as f:
                opened = f.read().count(": session open at ")
            if opened >= agents:
                break
            if time.monotonic() - began > SETTLE_LIMIT or gate.poll() is not None:
                raise RuntimeError("only %d of %d sessions opened" % (opened, agents))
            time.sleep(0.2)
        open_seconds = time.monotonic() - began
        for sim in sims:
            sim.send_signal(signal.SIGUSR1)  # the scans begin
        time.sleep(SETTLE_SECONDS)

        window_start = time.time()
        others = {"broker": [broker], "agentsim": sims, "subscriber": [sub]}
        others_start = {k: sum(cpu_ticks(p.pid) for p in v) for k, v in others.items()}
        ticks_start, mono_start = cpu_ticks(gate.pid), time.monotonic()
        rss = []
        while time.monotonic() - mono_start < options.measure:
            time.sleep(1)
            rss.append(memory_kb(gate.pid, "VmRSS"))
        ticks_end, mono_end = cpu_ticks(gate.pid), time.monotonic()
        others_share = {k: (sum(cpu_ticks(p.pid) for p in v) - others_start[k]) / TICKS
                        / (mono_end - mono_start) for k, v in others.items()}
        window_end = time.time()
        peak = memory_kb(gate.pid, "VmHWM")
        fds = len(os.listdir("/proc/%d/fd" % gate.pid))

        gate.send_signal(signal.SIGTERM)
        gate.wait(timeout=30)
        time.sleep(0.5)
    finally:
        for process in reversed(started):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()

    latencies = []
    with open(arrivals, errors="replace") as f:
        for line in f:
            at, _, payload = line.partition(" ")
            try:
                arrived = float(at)
            except ValueError:
                continue
            if not window_start <= arrived < window_end:
                continue
            scan = payload.rsplit('"scan":"', 1)[-1].split('"', 1)[0]
            committed = int(scan.rsplit(" ", 1)[1]) / 1000.0
            latencies.append(arrived - committed)
    latencies.sort()
    seconds = window_end - window_start
    return {
        "agents": agents,
        "open_seconds": open_seconds,
        "scans_per_second": len(latencies) / seconds,
        "p50_ms": 1000 * percentile(latencies, 0.50),
        "p99_ms": 1000 * percentile(latencies, 0.99),
        "max_ms": 1000 * (latencies[-1] if latencies else float("nan")),
        "cpu_share": (ticks_end - ticks_start) / TICKS / (mono_end - mono_start),
        "rss_mb": max(rss) / 1024.0,
        "peak_mb": peak / 1024.0,
        "descriptors": fds,
        "others": others_share,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vxgate", required=True)
    parser.add_argument("--agentsim", required=True)
    parser.add_argument("--agents", default="100,1000,10000")
    parser.add_argument("--interval-ms", type=int, default=1000)
    parser.add_argument("--measure", type=int, default=20)
    parser.add_argument("--out", default="build/gatebench")
    options = parser.parse_args()
    print("load average at the start: " + open("/proc/loadavg").read().strip())
    print("%-7s %9s %9s %9s %9s %9s %9s %9s %6s" % ("agents", "open s", "scans/s", "p50 ms",
                                                    "p99 ms", "max ms", "cpu", "rss MB", "fds"))
    failed = False
    for agents in [int(n) for n in options.agents.split(",")]:
        try:
            r = run(options, agents, os.path.join(options.out, str(agents)))
        except (RuntimeError, OSError, subprocess.SubprocessError) as error:
            print("%-7d failed: %s" % (agents, error))
            failed = True
            continue
        print("%-7d %9.1f %9.0f %9.0f %9.0f %9.0f %8.0f%% %9.1f %6d" % (
            agents, r["open_seconds"], r["scans_per_second"], r["p50_ms"], r["p99_ms"],
            r["max_ms"], 100 * r["cpu_share"], r["rss_mb"], r["descriptors"]), flush=True)
        print("        processor time of the others: " + ", ".join(
            "%s %.0f%%" % (k, 100 * v) for k, v in r["others"].items()), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
