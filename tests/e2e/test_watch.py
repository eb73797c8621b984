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
import os
import signal
import socket
import subprocess
import threading
import time

import e2e_support as e2e

START_SECONDS = 30
PRBE_LINE = b"Received from CNC Service the command: PRBE\r\n"
QUIT_LINE = b"Received QUIT, Cleanup and exit Session"

OPTIONS = None


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


class WatchTest(e2e.ProgramFolderTest):
    run_prefix = "vxhid-watch-e2e-"

    def start_agent_in(self, name, port):
        """A native agent in a program folder of its own, listening on port."""
        folder = os.path.join(self.root, name)
        os.mkdir(folder)
        agent = self.start_agent([OPTIONS.agent, "-I", "127.0.0.1", "-P", str(port), "-D", "2"],
                                 folder)
        agent.wait_listening(port, START_SECONDS)
        return agent

    def start_watch(self, port, *options):
        return self.track(e2e.CncPeer(OPTIONS.cncpeer).watch(port, self.root, *options))

    @staticmethod
    def wait_probes(agent, count):
        agent.log.wait_data(lambda data: data.count(PRBE_LINE) >= count, "%d probes" % count)

    def test_scans_that_cannot_be_written_out_stay_with_the_agent(self):
        # A full disk (/dev/full) or a closed pipe on standard output: cncpeer
        # acknowledges nothing, says why and ends with status 5, one-shot and
        # watch alike, and a later probe gets the scans.
        port = e2e.free_port()
        folder = os.path.join(self.root, "agent")
        os.mkdir(folder)
        with open(os.path.join(folder, "vxhid.scans"), "wb") as f:
            f.write(e2e.journal_of([b"KEEP1", b"KEEP2"]))
        agent = self.start_agent([OPTIONS.agent, "-I", "127.0.0.1", "-P", str(port)], folder)
        agent.wait_listening(port, START_SECONDS)
        where = ["--host", "127.0.0.1", "--port", str(port)]
        cases = [
            ("one-shot", [OPTIONS.cncpeer] + where + ["PRBE", "QUIT"], "full", "No space left"),
            ("watch", [OPTIONS.cncpeer, "watch"] + where, "full", "No space left"),
            ("one-shot", [OPTIONS.cncpeer] + where + ["PRBE", "QUIT"], "closed", "Broken pipe"),
            ("watch", [OPTIONS.cncpeer, "watch", "--json"] + where, "closed", "Broken pipe"),
        ]
        kept = b"Response not delivered: 2 scans kept for the next probe"
        for number, (mode, command, sink, reason) in enumerate(cases, 1):
            with self.subTest(mode=mode, sink=sink):
                if sink == "full":
                    stdout = os.open("/dev/full", os.O_WRONLY)
                else:
                    reader, stdout = os.pipe()
                    os.close(reader)
                try:
                    result = subprocess.run(command, stdout=stdout, stderr=subprocess.PIPE,
                                            encoding="latin-1", timeout=60)
                finally:
                    os.close(stdout)
                self.assertEqual(5, result.returncode, result.stderr)
                self.assertIn("cannot write to standard output (%s" % reason, result.stderr)
                self.assertIn("the answer is not acknowledged", result.stderr)
                self.assertEqual(number, agent.log.wait_count(kept, number))
        self.assertEqual("KEEP1\nKEEP2\n", e2e.CncPeer(OPTIONS.cncpeer).probe(port))

    def test_watch_polls_reconnects_after_a_restart_and_quits_on_sigterm(self):
        first_port, second_port = e2e.free_port(), e2e.free_port()
        first = self.start_agent_in("first", first_port)
        relay = Relay(first_port)
        self.addCleanup(relay.close)
        watch = self.start_watch(relay.port, "--interval", "200", "--timeout", "2000")

        # One session that keeps polling: several probes, one handshake.
        self.wait_probes(first, 4)
        self.assertEqual(1, first.log.data().count(b"Begin new Session"))

        # The agent goes away; watch retries while nothing answers, then
        # finds the new agent and polls it.
        first.kill()
        relay.target = second_port
        time.sleep(1.5)
        second = self.start_agent_in("second", second_port)
        self.wait_probes(second, 3)
        self.assertIsNone(watch.poll(), watch.err())

        self.assertEqual(0, watch.stop(signal.SIGTERM, 10))
        second.log.wait_for(QUIT_LINE)
        self.assertEqual(b"", watch.out())  # no scans: stdout stays empty
        status = watch.err().decode("latin-1")
        self.assertEqual(2, status.count("cncpeer: watching 127.0.0.1:%d" % relay.port), status)
        self.assertIn("next try in 250 ms", status)
        self.assertIn("next try in 500 ms", status)
        self.assertTrue(status.endswith("cncpeer: stopped\n"), status)

    def test_sigint_while_connected_sends_quit_and_exits_0(self):
        port = e2e.free_port()
        agent = self.start_agent_in("agent", port)
        watch = self.start_watch(port, "--interval", "200")
        self.wait_probes(agent, 2)
        self.assertEqual(0, watch.stop(signal.SIGINT, 10))
        agent.log.wait_for(QUIT_LINE)
        self.assertEqual(1, agent.log.data().count(b"Begin new Session"))
        self.assertEqual(b"", watch.out())
        self.assertTrue(watch.err().endswith(b"cncpeer: stopped\n"), watch.err())

    def test_sigint_ends_watch_while_no_agent_answers(self):
        watch = self.start_watch(e2e.free_port(), "--timeout", "1000")
        e2e.wait_until(lambda: b"next try in 500 ms" in watch.err(), e2e.LOG_SECONDS,
                       "two failed tries")
        self.assertEqual(0, watch.stop(signal.SIGINT, 5))
        self.assertEqual(b"", watch.out())
        self.assertIn(b"cannot connect", watch.err())


def parse_options():
    parser = e2e.option_parser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--cncpeer", required=True)
    return e2e.parse_options(parser, paths=("agent", "cncpeer"), existing=("agent", "cncpeer"))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
