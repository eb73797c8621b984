#!/usr/bin/env python3
"""End-to-end tests of scan delivery: a scan leaves the agent only when the
peer has acknowledged the answer that carried it, and the queue outlives the
process in the scan journal "vxhid.scans" beside the log.

    tests/e2e/test_delivery.py --agent PATH --faultpeer PATH [--wine] [unittest options]

--agent is the native vxhid (or vxhid.exe with --wine, which then needs
WINEPREFIX and DISPLAY); --faultpeer the native faultpeer tool
(tools/faultpeer), which probes and then takes the answer well or drops it.
The scans are queued by writing the journal before the agent starts, so no
desktop is needed. Every agent binds to and every connection goes to
127.0.0.1; each test ends the agents it started, by pid.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

START_SECONDS = 60
LOG_SECONDS = 20
JOURNAL = "vxhid.scans"

OPTIONS = None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    wanted = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            if fields[1] == wanted and fields[3] == "0A":
                return True
    return False


def journal_record(kind, sequence, text=b""):
    """One journal record: "VXSJ", payload length, CRC-32 of length and
    payload (all little-endian), then kind, sequence number and text."""
    payload = kind + sequence.to_bytes(8, "little") + text
    length = len(payload).to_bytes(4, "little")
    return b"VXSJ" + length + zlib.crc32(length + payload).to_bytes(4, "little") + payload


def journal_scans(data):
    """The undelivered scans of a journal that must be undamaged."""
    scans, delivered, at = [], 0, 0
    while at < len(data):
        assert data[at:at + 4] == b"VXSJ", "damaged journal at %d" % at
        length = int.from_bytes(data[at + 4:at + 8], "little")
        payload = data[at + 12:at + 12 + length]
        assert len(payload) == length, "torn journal at %d" % at
        assert zlib.crc32(data[at + 4:at + 8] + payload) == int.from_bytes(
            data[at + 8:at + 12], "little"), "bad check at %d" % at
        sequence = int.from_bytes(payload[1:9], "little")
        if payload[:1] == b"D":
            delivered = max(delivered, sequence)
        else:
            scans.append((sequence, payload[9:]))
        at += 12 + length
    return [text for sequence, text in scans if sequence > delivered]


class DeliveryTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="vxhid-delivery-e2e-")
        self.folder = os.path.join(self.root, "program")
        os.mkdir(self.folder)
        self.port = free_port()
        self.agents = []
        self.addCleanup(self.cleanUp)

    def cleanUp(self):
        for agent in self.agents:
            if agent.poll() is None:
                agent.kill()
            agent.wait(timeout=30)
        if os.environ.get("VXHID_E2E_KEEP"):
            print("kept " + self.root, file=sys.stderr)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    # ---- helpers --------------------------------------------------------------

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        try:
            with open(self.path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def seed(self, scans, delivered_through=0):
        data = b"".join(journal_record(b"S", n + 1, s) for n, s in enumerate(scans))
        if delivered_through:
            data += journal_record(b"D", delivered_through)
        with open(self.path(JOURNAL), "wb") as f:
            f.write(data)

    def start(self):
        command = [OPTIONS.agent, "-I", "127.0.0.1", "-P", str(self.port)]
        if OPTIONS.wine:
            command = ["wine"] + command
        out = open(os.path.join(self.root, "agent-%d.out" % len(self.agents)), "wb")
        agent = subprocess.Popen(command, cwd=self.folder, stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT)
        out.close()
        self.agents.append(agent)
        deadline = time.time() + START_SECONDS
        while not listening(self.port):
            self.assertIsNone(agent.poll(), "the agent ended before listening")
            self.assertLess(time.time(), deadline, "the agent does not listen")
            time.sleep(0.05)
        return agent

    def kill(self, agent):
        """Ends the agent hard, as a crash or a power cut would."""
        agent.send_signal(signal.SIGKILL)
        agent.wait(timeout=30)
        # The next agent listens on a port of its own: connections the agent
        # closed itself may hold the old one for a while (TIME_WAIT).
        self.port = free_port()

    def peer(self, mode):
        result = subprocess.run([OPTIONS.faultpeer, "--port", str(self.port), mode],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(0, result.returncode, result.stderr)
        match = re.search(r'^answer: "(.*)"$', result.stdout, re.MULTILINE)
        return None if match is None else match.group(1).encode().decode("unicode_escape")

    def probe(self):
        return self.peer("probe")

    def wait_log(self, text):
        deadline = time.time() + LOG_SECONDS
        while True:
            log = self.read("vxhid.log") or b""
            if text in log:
                return log
            if time.time() > deadline:
                self.fail("the log does not show %r; it holds:\n%s" % (text, log.decode("latin-1")))
            time.sleep(0.05)

    # ---- tests ----------------------------------------------------------------

    def test_answer_dropped_before_it_arrives_is_delivered_in_the_next_session(self):
        self.seed([b"KEEP1"])
        agent = self.start()
        self.assertIsNone(self.peer("drop-before-answer"))
        log = self.wait_log(b"  Response not delivered: 1 scans kept for the next probe\r\n")
        self.assertNotIn(b"Response: KEEP1", log)

        self.assertEqual("KEEP1\n", self.probe())
        self.wait_log(b"  Response: KEEP1\n\r\n")
        self.assertEqual("", self.probe())
        # The delivered mark is on disk: a new start does not bring it back.
        self.kill(agent)
        self.assertEqual([], journal_scans(self.read(JOURNAL)))
        self.start()
        self.assertEqual("", self.probe())

    def test_answer_never_acknowledged_outlives_a_kill_and_comes_once(self):
        self.seed([b"KEEP2", b"KEEP3"])
        agent = self.start()
        self.assertEqual("KEEP2\nKEEP3\n", self.peer("drop-without-ack"))
        self.wait_log(b"  Response not delivered: 2 scans kept for the next probe\r\n")
        self.kill(agent)

        self.start()
        self.assertEqual("KEEP2\nKEEP3\n", self.probe())
        self.assertEqual("", self.probe())

    def test_a_killed_agent_keeps_its_queue_in_order(self):
        self.seed([b"GONE", b"A1", b"", b"C3"], delivered_through=1)
        self.kill(self.start())
        self.assertEqual([b"A1", b"", b"C3"], journal_scans(self.read(JOURNAL)))
        self.start()
        self.assertEqual("A1\n\nC3\n", self.probe())

    def test_a_second_agent_leaves_the_journal_alone(self):
        self.seed([b"MINE"])
        self.start()
        before = self.read(JOURNAL)
        command = [OPTIONS.agent, "-I", "127.0.0.1", "-P", str(self.port)]
        if OPTIONS.wine:
            command = ["wine"] + command
        second = subprocess.run(command, cwd=self.folder, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=START_SECONDS)
        self.assertEqual(0, second.returncode)
        self.assertEqual(before, self.read(JOURNAL))
        self.assertEqual("MINE\n", self.probe())

    def test_a_second_agent_on_another_port_leaves_the_journal_alone(self):
        self.seed([b"MINE"])
        first_port = self.port
        self.start()
        before = self.read(JOURNAL)
        self.port = free_port()
        self.start()  # the same folder, another port: it finds the journal locked
        self.wait_log(b"is in use by another agent: scans are kept in memory only\r\n")
        self.assertEqual("", self.probe())
        self.assertEqual(before, self.read(JOURNAL))
        self.port = first_port
        self.assertEqual("MINE\n", self.probe())
        self.assertEqual("", self.probe())


def parse_options():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--agent", required=True)
    parser.add_argument("--faultpeer", required=True)
    parser.add_argument("--wine", action="store_true")
    options, rest = parser.parse_known_args()
    options.agent = os.path.abspath(options.agent)
    options.faultpeer = os.path.abspath(options.faultpeer)
    for path in (options.agent, options.faultpeer):
        if not os.path.exists(path):
            parser.error("no program at " + path)
    return options, rest


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    unittest.main(argv=[sys.argv[0]] + REST, verbosity=2)
