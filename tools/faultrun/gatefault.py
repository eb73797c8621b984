#!/usr/bin/env python3
"""Fault run of the gateway: scanagents (the native agent with a thread that
commits numbered scans) send their scans through vxgate to a real mosquitto
(persistence on), while at random moments the broker is stopped and started
again (SIGTERM), vxgate is killed hard (SIGKILL) and started again, and an
agent is killed hard and started again. A subscriber with a persistent QoS 1
session notes every scan that reaches the broker. At the end the agents are
started once more without committing and drained, and the arrivals are
checked against the commits, agent by agent:

- lost: a scan committed more than 50 ms before a kill of its agent (or
  before the end) that never arrived: must be none (a scan committed within
  50 ms of a kill may be lost with the agent: its journal is written within
  50 ms; counted apart);
- out of order: a scan arriving for the first time after a later one of the
  same agent: must be none;
- duplicates: allowed up to the scans of answers the agents did not see
  acknowledged ("Response not delivered: N scans kept" in their logs), plus
  the last answer each agent acknowledged before it was killed (its
  delivered mark may not have reached the disk); any beyond is a failure.

A killed agent comes back on a new port, and vxgate is told by SIGHUP (the
agent cannot listen on its old port while the connections it closed wait out
TIME_WAIT). Only 127.0.0.1 is used; everything started is ended by pid.

    gatefault.py --vxgate PATH --scanagent PATH --seconds N --dir DIR [--seed S]
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "e2e"))
from e2e_support import free_port, listening  # noqa: E402
from mqtt_broker import Broker  # noqa: E402

WINDOW_NS = 50 * 1000 * 1000
AGENTS = 3
COMMIT_MS = 10
INTERVAL_MS = 100
NOT_DELIVERED = re.compile(rb"Response not delivered: (\d+) scans kept")
RESPONSE = re.compile(rb"  Response: ((?:[0-9]{8}\n)*)\r\n")


class Agent:
    def __init__(self, run, index):
        self.run, self.name = run, "agent-%d" % index
        self.folder = os.path.join(run.dir, self.name)
        os.makedirs(self.folder)
        self.commits = os.path.join(self.folder, "commits.txt")
        self.first = index * 10 ** 7 + 1
        self.logs = b""
        self.kills = []  # (monotonic ns of a kill, first number of the next start)
        self.process = None
        self.port = None

    def start(self, commit=True):
        self.port = free_port()
        first = self.next_number()
        if self.kills:
            self.kills[-1] = (self.kills[-1][0], first)
        command = [self.run.o.scanagent, str(first), str(COMMIT_MS if commit else 0),
                   self.commits, "-I", "127.0.0.1", "-P", str(self.port), "-D", "1"]
        self.process = subprocess.Popen(command, cwd=self.folder, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not listening(self.port):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("%s did not start" % self.name)
            time.sleep(0.02)

    def committed(self):
        rows = []
        if os.path.exists(self.commits):
            with open(self.commits) as f:
                rows = [line.split() for line in f if line.endswith("\n")]
        return [(int(number), int(at)) for number, at in rows]

    def next_number(self):
        rows = self.committed()
        return rows[-1][0] + 1 if rows else self.first

    def kill(self):
        self.kills.append((time.monotonic_ns(), None))
        self.process.kill()
        self.process.wait()
        self.keep_log()

    def keep_log(self):
        path = os.path.join(self.folder, "vxhid.log")
        if os.path.exists(path):
            with open(path, "rb") as f:
                self.logs += f.read()
            os.remove(path)

    def entry(self):
        return "%s 127.0.0.1:%d\n" % (self.name, self.port)


class Run:
    def __init__(self, options):
        self.o = options
        self.dir = os.path.abspath(options.dir)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.random = random.Random(options.seed)
        self.broker = Broker()
        self.agents = [Agent(self, n) for n in range(1, AGENTS + 1)]
        self.agents_file = os.path.join(self.dir, "agents")
        self.gate = None
        self.sub = None
        self.faults = {"broker restarts": 0, "gateway kills": 0, "agent kills": 0}

    def write_agents(self):
        with open(self.agents_file, "w") as f:
            f.write("".join(a.entry() for a in self.agents))

    def start_gate(self):
        log = open(os.path.join(self.dir, "vxgate.log"), "ab")
        self.gate = subprocess.Popen(
            [self.o.vxgate, "--broker", self.broker.url, "--agents", self.agents_file,
             "--interval", str(INTERVAL_MS), "--client-id", "vxgate-fault"],
            stdout=subprocess.DEVNULL, stderr=log)

    def start_sub(self):
        self.arrivals = os.path.join(self.dir, "arrivals.txt")
        self.sub = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.broker.port), "-t",
             "vxhid/+/scan", "-q", "1", "-c", "-i", "gatefault-subscriber", "-F", "%p"],
            stdout=open(self.arrivals, "a"), stderr=subprocess.DEVNULL)
        time.sleep(0.5)

    def fault(self):
        kind = self.random.choice(["broker", "gateway", "agent", "agent"])
        if kind == "broker":
            self.faults["broker restarts"] += 1
            self.broker.stop()
            time.sleep(self.random.uniform(0, 2))
            self.broker.start()
        elif kind == "gateway":
            self.faults["gateway kills"] += 1
            self.gate.kill()
            self.gate.wait()
            time.sleep(self.random.uniform(0, 1))
            self.start_gate()
        else:
            self.faults["agent kills"] += 1
            agent = self.random.choice(self.agents)
            agent.kill()
            time.sleep(self.random.uniform(0, 1))
            agent.start()
            self.write_agents()
            self.gate.send_signal(signal.SIGHUP)

    def received(self):
        by_agent = {}
        with open(self.arrivals, errors="replace") as f:
            for line in f:
                try:
                    payload = json.loads(line)
                except ValueError:
                    continue
                by_agent.setdefault(payload["agent"], []).append(int(payload["scan"]))
        return by_agent

    def execute(self):
        self.broker.start()
        self.start_sub()
        for agent in self.agents:
            agent.start()
        self.write_agents()
        self.start_gate()
        began = time.monotonic()
        while time.monotonic() - began < self.o.seconds:
            time.sleep(self.random.uniform(0.5, 3))
            self.fault()
        # The end: each agent killed once more and started without
        # committing, so that its journal drains to the broker.
        for agent in self.agents:
            agent.kill()
            agent.start(commit=False)
        self.write_agents()
        self.gate.send_signal(signal.SIGHUP)
        expected = {a.name: self.expected(a)[0] for a in self.agents}
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            got = self.received()
            if all(set(expected[n]) <= set(got.get(n, [])) for n in expected):
                break
            time.sleep(1)
        time.sleep(2)
        return time.monotonic() - began

    def expected(self, agent):
        """The scans that must arrive, and those committed within 50 ms of a
        kill of their agent, which may be lost with it."""
        must, may = [], []
        for number, at in agent.committed():
            # Committed by the killed process no more than 50 ms before its
            # kill, or after the signal was on its way.
            if any(at >= kill - WINDOW_NS and number < first for kill, first in agent.kills):
                may.append(number)
            else:
                must.append(number)
        return must, may

    def check(self, elapsed):
        got = self.received()
        totals = {"committed": 0, "arrived (distinct)": 0, "duplicates": 0,
                  "duplicates allowed": 0, "out of order": 0, "lost": 0,
                  "lost within 50 ms of a kill": 0}
        for agent in self.agents:
            agent.keep_log()
            must, may = self.expected(agent)
            arrived = got.get(agent.name, [])
            distinct = set(arrived)
            first, seen = [], set()
            for number in arrived:
                if number not in seen:
                    seen.add(number)
                    first.append(number)
            totals["committed"] += len(must) + len(may)
            totals["arrived (distinct)"] += len(distinct)
            totals["duplicates"] += len(arrived) - len(distinct)
            allowed = sum(int(n) for n in NOT_DELIVERED.findall(agent.logs))
            # The last acknowledged answer before each kill.
            for piece in agent.logs.split(b"Vexmoor Tessel HID (vxhid.exe) version")[:-1]:
                answers = RESPONSE.findall(piece)
                if answers:
                    allowed += answers[-1].count(b"\n")
            totals["duplicates allowed"] += allowed
            totals["out of order"] += sum(1 for a, b in zip(first, first[1:]) if b < a)
            totals["lost"] += len([n for n in must if n not in distinct])
            totals["lost within 50 ms of a kill"] += len([n for n in may if n not in distinct])
        print("time: %.0f s, seed %d" % (elapsed, self.o.seed))
        for name, value in list(self.faults.items()) + list(totals.items()):
            print("%s: %d" % (name, value))
        ok = totals["lost"] == 0 and totals["out of order"] == 0 and \
            totals["duplicates"] <= totals["duplicates allowed"]
        print("passed" if ok else "FAILED")
        return ok

    def close(self):
        for process in [self.gate, self.sub] + [a.process for a in self.agents]:
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()
        self.broker.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vxgate", required=True)
    parser.add_argument("--scanagent", required=True)
    parser.add_argument("--seconds", type=int, default=120)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 30))
    options = parser.parse_args()
    options.vxgate = os.path.abspath(options.vxgate)
    options.scanagent = os.path.abspath(options.scanagent)
    run = Run(options)
    try:
        elapsed = run.execute()
        return 0 if run.check(elapsed) else 1
    finally:
        run.close()


if __name__ == "__main__":
    sys.exit(main())
