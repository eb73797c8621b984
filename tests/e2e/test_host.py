#!/usr/bin/env python3
"""End-to-end tests of the agent's host: start-up, log rotation, listening and
the accept loop, run against the real program in a temporary program folder.

    tests/e2e/test_host.py --agent PATH [--wine] [unittest options]

--agent is the native vxhid or vxhid.exe; --wine runs it under Wine, which
then needs WINEPREFIX and DISPLAY set (scripts/with-wine.sh sets both). One
test by name: append e.g. HostTest.test_second_instance_exits_without_touching_the_log.

The agent takes its working folder as its program folder, so each agent runs
in a fresh folder where its log files appear. Every agent binds to and every
connection goes to 127.0.0.1. Each test ends the agents it started, by pid;
Wine's own processes are left to whoever made the prefix.
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

# Time for an agent to start listening or to end; generous, since the first
# Wine process of a prefix also starts the Wine server.
START_SECONDS = 60
# Time for a log line to appear after the event that causes it.
LOG_SECONDS = 20

TAG = b"TesselMDC::_tWinMain"
TIME_STAMP = rb"[A-Z][a-z]{2}, \d{2} \d{2}:\d{2}:\d{2}"
BEGIN = b"Begin new Session"
FOUND = b"Found Running Session - delete and continue"

OPTIONS = None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True when a socket listens on 127.0.0.1:port (read from /proc, so that
    waiting for the agent does not open a session in it)."""
    wanted = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            if fields[1] == wanted and fields[3] == "0A":
                return True
    return False


def isolated_network_available():
    """Whether a program can be run in a network namespace of its own."""
    try:
        return subprocess.run(["unshare", "-n", "true"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def log_lines(data):
    """The lines of a log file without their CR LF ends."""
    lines = data.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


class Agent:
    """One agent process running in a program folder."""

    def __init__(self, folder, args, output, isolated=False):
        command = [OPTIONS.agent] + args
        if OPTIONS.wine:
            command = ["wine"] + command
        if isolated:
            command = ["unshare", "-n"] + command
        self.output_path = output
        with open(output, "wb") as out:
            self.process = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=subprocess.STDOUT)

    def output(self):
        with open(self.output_path, "rb") as f:
            return f.read()[-2000:].decode("latin-1")

    def wait_exit(self, seconds=START_SECONDS):
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass


class HostTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="vxhid-host-e2e-")
        self.folder = os.path.join(self.root, "program")
        os.mkdir(self.folder)
        self.agents = []
        self.addCleanup(self.cleanUp)

    def cleanUp(self):
        for agent in self.agents:
            agent.stop()
        if os.environ.get("VXHID_E2E_KEEP"):
            print("kept " + self.root, file=sys.stderr)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    # ---- helpers --------------------------------------------------------------

    def start(self, args, isolated=False):
        output = os.path.join(self.root, "agent-%d.out" % (len(self.agents) + 1))
        agent = Agent(self.folder, args, output, isolated)
        self.agents.append(agent)
        return agent

    def start_listening(self, port):
        agent = self.start(["-I", "127.0.0.1", "-P", str(port), "-D", "3"])
        deadline = time.time() + START_SECONDS
        while not listening(port):
            code = agent.process.poll()
            if code is not None:
                self.fail("the agent ended with code %d before listening; output:\n%s\nlog:\n%r"
                          % (code, agent.output(), self.read("vxhid.log")))
            if time.time() > deadline:
                self.fail("the agent does not listen on 127.0.0.1:%d" % port)
            time.sleep(0.05)
        return agent

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        """The bytes of a file in the program folder, None when it is missing."""
        try:
            with open(self.path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def wait_log(self, predicate, what):
        """Waits until the current log's lines satisfy predicate."""
        deadline = time.time() + LOG_SECONDS
        while True:
            lines = log_lines(self.read("vxhid.log") or b"")
            if predicate(lines):
                return lines
            if time.time() > deadline:
                self.fail("the log does not show %s; it holds:\n%s"
                          % (what, b"\n".join(lines).decode("latin-1")))
            time.sleep(0.05)

    def assertLogLine(self, line, message):
        """A level-3 line of the host: time stamp, two blanks, tag, message."""
        pattern = TIME_STAMP + b"  " + re.escape(TAG + b" " + message)
        self.assertRegex(line, b"^" + pattern + b"$")

    def version_line(self, port):
        return b"Vexmoor Tessel HID (vxhid.exe) version 11.1.0.8 127.0.0.1 CI Port %d" % port

    @staticmethod
    def count(lines, message):
        return sum(1 for line in lines if line.endswith(b" " + message))

    # ---- tests ----------------------------------------------------------------

    def test_start_rotates_the_log_and_begins_with_the_version_line(self):
        previous = b"Dec, 01 10:00:00  line of the previous run\r\n"
        self.write("vxhid.log", previous)
        self.write("vxhidLog.sav", b"Nov, 30 09:00:00  line of an older run\r\n")
        port = free_port()
        self.start_listening(port)

        self.assertEqual(previous, self.read("vxhidLog.sav"))
        lines = self.wait_log(
            lambda lines: any(b"Listening on the DNC Socket, port %d" % port in line
                              for line in lines), "the listening line")
        self.assertLogLine(lines[0], self.version_line(port))
        self.assertEqual(1, sum(1 for line in lines if b"Vexmoor Tessel HID" in line))

    def test_connections_in_turn_replace_the_session(self):
        port = free_port()
        self.start_listening(port)
        # No previous log: nothing to save, a fresh log all the same.
        self.assertIsNone(self.read("vxhidLog.sav"))
        self.assertLogLine(self.wait_log(len, "a first line")[0], self.version_line(port))

        first = socket.create_connection(("127.0.0.1", port), timeout=LOG_SECONDS)
        self.addCleanup(first.close)
        lines = self.wait_log(lambda lines: self.count(lines, BEGIN) == 1, "the first session")
        self.assertEqual(0, self.count(lines, FOUND))

        second = socket.create_connection(("127.0.0.1", port), timeout=LOG_SECONDS)
        self.addCleanup(second.close)
        lines = self.wait_log(lambda lines: self.count(lines, BEGIN) == 2, "the second session")
        session_lines = [line for line in lines if line.endswith(BEGIN) or line.endswith(FOUND)]
        self.assertEqual(3, len(session_lines))
        for line, message in zip(session_lines, [BEGIN, FOUND, BEGIN]):
            self.assertLogLine(line, message)

        # The replaced session's connection is closed by the agent; whatever
        # it sent before that does not matter here.
        first.settimeout(LOG_SECONDS)
        try:
            while first.recv(4096):
                pass
        except ConnectionResetError:
            pass
        except socket.timeout:
            self.fail("the first connection stays open after the second one was accepted")

    def test_second_instance_exits_without_touching_the_log(self):
        port = free_port()
        running = self.start_listening(port)
        listening_line = b"Listening on the DNC Socket, port %d" % port
        self.wait_log(lambda lines: any(listening_line in line for line in lines),
                      "the listening line")
        before = self.read("vxhid.log")

        second = self.start(["-I", "127.0.0.1", "-P", str(port), "-D", "3"])
        code = second.wait_exit()
        self.assertIsNotNone(code, "the second instance is still running")
        self.assertEqual(0, code, second.output())

        # Its connection test is the running agent's next session; the log
        # was neither rotated nor started again.
        lines = self.wait_log(lambda lines: self.count(lines, BEGIN) == 1,
                              "the session of the connection test")
        self.assertTrue(self.read("vxhid.log").startswith(before))
        self.assertIsNone(self.read("vxhidLog.sav"))
        self.assertEqual(1, sum(1 for line in lines if b"Vexmoor Tessel HID" in line))
        self.assertIsNone(running.process.poll())
        self.assertTrue(listening(port))

    def test_one_line_ini_ends_the_program_without_a_log(self):
        # Should the file be accepted after all, the agent would bind to the
        # machine's first address: the native program then runs without a
        # network. Under Wine the Wine server owns the sockets, so that cannot
        # be done there.
        isolated = not OPTIONS.wine and isolated_network_available()
        self.write("ini.txt", b"%d\n" % free_port())
        agent = self.start([], isolated=isolated)
        code = agent.wait_exit()
        self.assertIsNotNone(code, "the agent is still running")
        self.assertEqual(0, code, agent.output())
        self.assertEqual(["ini.txt"], sorted(os.listdir(self.folder)))


def parse_options():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--agent", required=True)
    parser.add_argument("--wine", action="store_true")
    options, rest = parser.parse_known_args()
    options.agent = os.path.abspath(options.agent)
    if not os.path.exists(options.agent):
        parser.error("no agent at " + options.agent)
    if options.wine and not (os.environ.get("WINEPREFIX") and os.environ.get("DISPLAY")):
        parser.error("--wine needs WINEPREFIX and DISPLAY (scripts/with-wine.sh sets them)")
    return options, rest


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    unittest.main(argv=[sys.argv[0]] + REST, verbosity=2)
