#!/usr/bin/env python3
"""End-to-end tests of "cncpeer watch" against the real native agent.

    tests/e2e/test_watch.py --agent PATH --cncpeer PATH [unittest options]

--agent is the native vxhid, --cncpeer the native cncpeer. Every agent binds
to and every connection goes to 127.0.0.1; each test ends what it started, by
pid. The native agent has no desktop, so no scans are typed here (the desktop
tests do that under Wine); these tests show that watch keeps one session
polling, comes back after the agent restarts, and says QUIT when told to stop.

A restarted native agent cannot bind its old port while the connections of
its first life linger in TIME_WAIT, so watch reaches the agents through a
small relay on a port of its own: the relay's port stays, the agent behind it
is stopped and a new one started, and watch sees what it would see if the
agent restarted on the same port.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

START_SECONDS = 30
LOG_SECONDS = 20
PRBE_LINE = b"Received from CNC Service the command: PRBE\r\n"
QUIT_LINE = b"Received QUIT, Cleanup and exit Session"

OPTIONS = None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True when a socket listens on 127.0.0.1:port (read from /proc, so that
    waiting for the agent opens no session in it)."""
    wanted = "0100007F:%04X" % port
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            if fields[1] == wanted and fields[3] == "0A":
                return True
    return False


def wait_until(predicate, seconds, what):
    deadline = time.time() + seconds
    while not predicate():
        if time.time() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


class Relay:
    """Forwards each connection to 127.0.0.1:target; a connection that cannot
    reach the target is closed at once, like a refused one."""

    def __init__(self, target):
        self.target = target
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.listener.close()
        for s in self.connections:
            s.close()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections.append(client)
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target), timeout=2)
                upstream.settimeout(None)
            except OSError:
                client.close()
                continue
            self.connections.append(upstream)
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    @staticmethod
    def _pump(source, sink):
        try:
            while True:
                data = source.recv(4096)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class WatchTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="vxhid-watch-e2e-")
        self.processes = []
        self.addCleanup(self.cleanUp)

    def cleanUp(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.wait(timeout=30)
        if os.environ.get("VXHID_E2E_KEEP"):
            print("kept " + self.root, file=sys.stderr)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    def start_agent(self, name, port):
        folder = os.path.join(self.root, name)
        os.mkdir(folder)
        with open(os.path.join(self.root, name + ".out"), "wb") as out:
            agent = subprocess.Popen([OPTIONS.agent, "-I", "127.0.0.1", "-P", str(port), "-D", "2"],
                                     cwd=folder, stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.STDOUT)
        self.processes.append(agent)
        wait_until(lambda: listening(port), START_SECONDS, "agent %s to listen" % name)
        return agent, os.path.join(folder, "vxhid.log")

    def start_watch(self, port, *extra):
        self.watch_out = os.path.join(self.root, "watch.out")
        self.watch_err = os.path.join(self.root, "watch.err")
        with open(self.watch_out, "wb") as out, open(self.watch_err, "wb") as err:
            watch = subprocess.Popen([OPTIONS.cncpeer, "watch", "--host", "127.0.0.1", "--port",
                                      str(port)] + list(extra),
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.processes.append(watch)
        return watch

    @staticmethod
    def read(path):
        try:
            with open(path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def wait_probes(self, log, count):
        wait_until(lambda: self.read(log).count(PRBE_LINE) >= count, LOG_SECONDS,
                   "%d probes in %s" % (count, log))

    def test_watch_polls_reconnects_after_a_restart_and_quits_on_sigterm(self):
        first_port, second_port = free_port(), free_port()
        first, first_log = self.start_agent("first", first_port)
        relay = Relay(first_port)
        self.addCleanup(relay.close)
        watch = self.start_watch(relay.port, "--interval", "200", "--timeout", "2000")

        # One session that keeps polling: several probes, one handshake.
        self.wait_probes(first_log, 4)
        self.assertEqual(1, self.read(first_log).count(b"Begin new Session"))

        # The agent goes away; watch retries while nothing answers, then
        # finds the new agent and polls it.
        first.kill()
        first.wait(timeout=30)
        relay.target = second_port
        time.sleep(1.5)
        second, second_log = self.start_agent("second", second_port)
        self.wait_probes(second_log, 3)
        self.assertIsNone(watch.poll(), self.read(self.watch_err))

        watch.send_signal(signal.SIGTERM)
        self.assertEqual(0, watch.wait(timeout=10))
        wait_until(lambda: QUIT_LINE in self.read(second_log), LOG_SECONDS, "the QUIT")
        self.assertEqual(b"", self.read(self.watch_out))  # no scans: stdout stays empty
        status = self.read(self.watch_err).decode("latin-1")
        self.assertEqual(2, status.count("cncpeer: watching 127.0.0.1:%d" % relay.port), status)
        self.assertIn("next try in 250 ms", status)
        self.assertIn("next try in 500 ms", status)
        self.assertTrue(status.endswith("cncpeer: stopped\n"), status)

    def test_sigint_while_connected_sends_quit_and_exits_0(self):
        port = free_port()
        _, log = self.start_agent("agent", port)
        watch = self.start_watch(port, "--interval", "200")
        self.wait_probes(log, 2)
        watch.send_signal(signal.SIGINT)
        self.assertEqual(0, watch.wait(timeout=10))
        wait_until(lambda: QUIT_LINE in self.read(log), LOG_SECONDS, "the QUIT")
        self.assertEqual(1, self.read(log).count(b"Begin new Session"))
        self.assertEqual(b"", self.read(self.watch_out))
        self.assertTrue(self.read(self.watch_err).endswith(b"cncpeer: stopped\n"),
                        self.read(self.watch_err))

    def test_sigint_ends_watch_while_no_agent_answers(self):
        watch = self.start_watch(free_port(), "--timeout", "1000")
        wait_until(lambda: b"next try in 500 ms" in self.read(self.watch_err), LOG_SECONDS,
                   "two failed tries")
        watch.send_signal(signal.SIGINT)
        self.assertEqual(0, watch.wait(timeout=5))
        self.assertEqual(b"", self.read(self.watch_out))
        self.assertIn(b"cannot connect", self.read(self.watch_err))


def parse_options():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--agent", required=True)
    parser.add_argument("--cncpeer", required=True)
    options, rest = parser.parse_known_args()
    options.agent = os.path.abspath(options.agent)
    options.cncpeer = os.path.abspath(options.cncpeer)
    for path in (options.agent, options.cncpeer):
        if not os.path.exists(path):
            parser.error("missing " + path)
    return options, rest


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    unittest.main(argv=[sys.argv[0]] + REST, verbosity=2)
