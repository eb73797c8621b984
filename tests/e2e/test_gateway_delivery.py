#!/usr/bin/env python3
"""End-to-end tests of vxgate between real agents and a real mosquitto: every
scan reaches the broker once, in order, with its fields, and survives the
broker stopped and started, the gateway killed hard, an agent restarted, a
broker that stops confirming; an unreachable agent slows no other; SIGHUP
adds and removes agents; SIGTERM sends QUIT to each.

    tests/e2e/test_gateway_delivery.py --vxgate PATH --agent PATH --scanagent PATH

--agent is the native vxhid, whose scans are queued by writing its journal
before it starts; --scanagent the native agent that commits numbered scans
while it runs (tools/faultrun). A scan may come twice only from an answer the
agent did not see acknowledged, which it logs ("Response not delivered: N
scans kept for the next probe"): each test allows at most that many
duplicates. Everything runs on 127.0.0.1; every process is ended by its pid.
"""
import json
import os
import re
import signal
import socket
import time

import e2e_support as e2e
from e2e_support import VxGate, journal_of, journal_record
from mqtt_broker import Broker, Subscription

OPTIONS = None
INTERVAL_MS = "200"
WAIT = 20
NOT_DELIVERED = re.compile(rb"Response not delivered: (\d+) scans kept")


class Agent:
    """An agent in a folder of its own under root, on a port of its own;
    its log is kept across restarts (the agent moves it aside at each
    start)."""

    def __init__(self, test, name, scans=(), commit_every_ms=0, first=1, start=True,
                 host="127.0.0.1"):
        self.test, self.name, self.host = test, name, host
        self.folder = os.path.join(test.root, name)
        os.mkdir(self.folder)
        self.port = e2e.free_port()
        self.commits = os.path.join(self.folder, "commits.txt")
        self.commit_every_ms, self.first = commit_every_ms, first
        self.earlier_logs = b""
        if scans:
            with open(os.path.join(self.folder, "vxhid.scans"), "wb") as f:
                f.write(journal_of(scans))
        self.process = None
        if start:
            self.start()

    @property
    def log_path(self):
        return os.path.join(self.folder, "vxhid.log")

    def start(self):
        args = ["-I", "127.0.0.1", "-P", str(self.port), "-D", "2"]
        if self.commit_every_ms:
            command = [OPTIONS.scanagent, str(self.first), str(self.commit_every_ms),
                       self.commits] + args
        else:
            command = [OPTIONS.agent] + args
        self.process = self.test.track(e2e.Agent(command, self.folder))
        self.process.wait_listening(self.port)

    def kill(self):
        self.process.kill()
        self.earlier_logs += e2e.read_file(self.log_path) or b""

    def log(self):
        return self.earlier_logs + (e2e.read_file(self.log_path) or b"")

    def not_delivered(self):
        """Scans of answers the agent did not see acknowledged."""
        return sum(int(n) for n in NOT_DELIVERED.findall(self.log()))

    def committed(self, older_than=0.0):
        """The scans committed at least older_than seconds ago (monotonic)."""
        limit = (time.monotonic() - older_than) * 1e9
        with open(self.commits) as f:
            rows = [line.split() for line in f if line.endswith("\n")]
        return ["%08d" % int(number) for number, at in rows if int(at) <= limit]

    def entry(self):
        return "%s %s:%d\n" % (self.name, self.host, self.port)


class GatewayDeliveryTest(e2e.ProgramFolderTest):
    run_prefix = "vxgate-delivery-e2e-"

    def setUp(self):
        super().setUp()
        self.broker = Broker()
        self.broker.start()
        self.addCleanup(self.broker.close)
        self.sub = Subscription(self.broker, "vxhid/+/scan", client_id="vxgate-e2e-scans")
        self.addCleanup(self.sub.close)
        self.gateways = []
        self.addCleanup(lambda: [g.close() for g in self.gateways])

    # ---- helpers ----------------------------------------------------------------

    def gateway(self, agents, *options):
        gateway = VxGate(OPTIONS.vxgate, self.root, self.broker.url,
                         "".join(a.entry() for a in agents), "--interval", INTERVAL_MS, *options)
        self.gateways.append(gateway)
        return gateway

    def scans(self, name):
        """The scans of agent name as they arrived, each a parsed payload."""
        return [json.loads(m["payload"]) for m in
                self.sub.received(lambda m: m["topic"] == "vxhid/%s/scan" % name)]

    def wait_scans(self, agent, expected, seconds=WAIT):
        """Waits until every one of expected has arrived for agent; then
        checks that the first arrivals keep their order and that no scan
        came twice more often than the agent's undelivered answers allow."""
        wanted = set(expected)
        e2e.wait_until(lambda: wanted <= {p["scan"] for p in self.scans(agent.name)}, seconds,
                       "the scans of %s; got %r" % (agent.name,
                                                    [p["scan"] for p in self.scans(agent.name)]))
        arrived = [p["scan"] for p in self.scans(agent.name)]
        first = []
        for scan in arrived:
            if scan in wanted and scan not in first:
                first.append(scan)
        self.assertEqual(list(expected), first, "out of order")
        extra = len(arrived) - len(set(arrived))
        self.assertLessEqual(extra, agent.not_delivered(),
                             "%d scans came twice, but the agent kept only %d" %
                             (extra, agent.not_delivered()))
        return extra

    def status(self, name):
        payload = self.broker.retained("vxhid/%s/status" % name)
        return None if payload is None else json.loads(payload)

    def wait_status(self, name, predicate):
        found = [None]

        def check():
            found[0] = self.status(name)
            return found[0] is not None and predicate(found[0])

        e2e.wait_until(check, WAIT, "the status of %s; last %r" % (name, found[0]))
        return found[0]

    # ---- tests ---------------------------------------------------------------------

    def test_each_scan_arrives_once_in_order_with_its_fields_and_a_retained_status(self):
        texts = {
            "press-1": [b"4006381333931", b"", b"RFID-00A7", b"x" * 300],
            "lathe-2": [b"L%03d" % n for n in range(200)],  # more than one answer holds
            "mill-3": [b"a \\ \"quoted\" text\twith a tab"],
        }
        # mill-3 by its host name, looked up in /etc/hosts.
        agents = [Agent(self, name, scans, host="localhost" if name == "mill-3" else "127.0.0.1")
                  for name, scans in texts.items()]
        started = time.time()
        self.gateway(agents)
        for agent in agents:
            expected = [t.decode("utf-8") for t in texts[agent.name]]
            self.assertEqual(0, self.wait_scans(agent, expected))
            payload = self.scans(agent.name)[0]
            self.assertEqual(["agent", "host", "port", "time", "scan"], list(payload))
            self.assertEqual((agent.name, agent.host, agent.port),
                             (payload["agent"], payload["host"], payload["port"]))
            self.assertRegex(payload["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
            status = self.wait_status(agent.name, lambda s: s["connected"])
            self.assertRegex(status["since"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
            self.assertNotIn("error", status)
            # QoS 1 and not retained.
            self.assertIsNone(self.broker.retained("vxhid/%s/scan" % agent.name))
        self.assertTrue(all(m["qos"] == 1 for m in self.sub.received()))
        self.assertLess(time.time() - started, 15)
        # The agents count them delivered: an acknowledgement for each answer.
        for agent in agents:
            agent.process.log.wait_for(b"Response: ")
            self.assertEqual(0, agent.not_delivered())

    def test_no_probe_while_the_broker_is_away_and_every_scan_after_a_restart(self):
        # Scans committed all along, the broker stopped twice (SIGTERM: it
        # keeps its messages) while the gateway runs.
        agents = [Agent(self, "a%d" % n, commit_every_ms=20, first=n * 10**6) for n in (1, 2)]
        gateway = self.gateway(agents)
        self.wait_status("a1", lambda s: s["connected"])
        for _ in range(2):
            time.sleep(1)
            self.broker.stop()
            gateway.wait_log("lost the connection to the broker")
            probes = agents[0].log().count(b"command: PRBE")
            time.sleep(2.5)
            # Sessions stay open with NOOP; no probe while the broker is away.
            self.assertEqual(probes, agents[0].log().count(b"command: PRBE"))
            self.assertIn(b"command: NOOP", agents[0].log())
            self.broker.start()
        time.sleep(1)
        for agent in agents:
            self.wait_scans(agent, agent.committed(older_than=0.5))
        # A session ends only when the broker's connection went with scans
        # of an answer still unconfirmed: those it must not acknowledge.
        ended = re.findall(r"agent a\d: session ended: (.*);", gateway.log())
        self.assertLessEqual(len(ended), 4, ended)
        for reason in ended:
            self.assertRegex(reason, "connection to the broker was lost|not connected to the broker")

    def paused_broker(self, agent):
        """A gateway connected to a broker that then stops answering, and
        agent started: its scans wait for their PUBACK."""
        gateway = self.gateway([agent])
        gateway.wait_log("connected to the broker")
        self.broker.pause()
        agent.start()
        agent.process.log.wait_for(b"command: PRBE")
        return gateway

    def test_a_gateway_killed_hard_while_it_waits_for_the_broker_loses_nothing(self):
        agent = Agent(self, "press-1", [b"K%03d" % n for n in range(50)], start=False)
        gateway = self.paused_broker(agent)
        time.sleep(0.5)
        gateway.kill()
        agent.process.log.wait_for(b"Response not delivered: 50 scans kept")
        self.broker.resume()
        gateway.start()
        self.wait_scans(agent, ["K%03d" % n for n in range(50)])

    def test_a_broker_that_does_not_confirm_in_time_gets_no_acknowledgement(self):
        agent = Agent(self, "press-1", [b"P1", b"P2"], start=False)
        gateway = self.paused_broker(agent)
        gateway.wait_log("agent press-1: the broker did not confirm 2 scans in 3000 ms", 10)
        # Closed well inside the agent's 5-second wait for the acknowledgement.
        data = agent.process.log.wait_for(b"Response not delivered: 2 scans kept")
        self.assertNotIn(b"Failed to Receive ACK", data)
        self.broker.resume()
        self.wait_scans(agent, ["P1", "P2"])

    def test_an_agent_restarted_is_served_again_and_keeps_its_scans(self):
        agent = Agent(self, "press-1", [b"R1", b"R2"])
        gateway = self.gateway([agent])
        self.wait_scans(agent, ["R1", "R2"])
        time.sleep(0.3)  # the delivered mark reaches the agent's disk (within 50 ms)
        # A hung agent first: the gateway gives up its session when a command
        # goes unanswered, and so closes first (a killed agent that closed
        # first could not listen on its port again for a minute: TIME_WAIT).
        agent.process.process.send_signal(signal.SIGSTOP)
        gateway.wait_log("agent press-1: session ended: no answer to", 10)
        agent.kill()
        # Two more scans queued while it was down, after those delivered.
        journal = os.path.join(agent.folder, "vxhid.scans")
        with open(journal, "ab") as f:
            f.write(journal_record(b"S", 3, b"R3") + journal_record(b"S", 4, b"R4"))
        agent.start()
        self.wait_scans(agent, ["R1", "R2", "R3", "R4"])
        self.assertEqual(2, gateway.log().count("agent press-1: session open"))
        self.wait_status("press-1", lambda s: s["connected"])

    def test_an_unreachable_or_silent_agent_slows_no_other(self):
        closed_port = e2e.free_port()
        silent = socket.socket()  # accepts, never announces
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        self.addCleanup(silent.close)
        good = Agent(self, "good", [b"G1"])
        gateway = VxGate(OPTIONS.vxgate, self.root, self.broker.url,
                         "dead 127.0.0.1:%d\nsilent 127.0.0.1:%d\n%s"
                         % (closed_port, silent.getsockname()[1], good.entry()),
                         "--interval", INTERVAL_MS)
        self.gateways.append(gateway)
        started = time.time()
        self.wait_scans(good, ["G1"])
        self.assertLess(time.time() - started, 3)
        dead = self.wait_status("dead", lambda s: not s["connected"])
        self.assertIn("Connection refused", dead["error"])
        self.wait_status("silent", lambda s: "handshake did not finish" in s.get("error", ""))
        # Tries go on, each pause at most 5 s, one warning per reason.
        time.sleep(3)
        pauses = [int(p) for p in re.findall(r"agent dead at .*trying again in (\d+) ms",
                                             gateway.log())]
        self.assertGreaterEqual(len(pauses), 3)
        self.assertLessEqual(max(pauses), 5000)
        self.assertEqual(1, gateway.log().count("warning: agent dead at"))

    def test_sighup_adds_one_agent_and_removes_another_leaving_the_rest_alone(self):
        keep = Agent(self, "keep", [b"K1"])
        gone = Agent(self, "gone", [b"G1"])
        gateway = self.gateway([keep, gone])
        self.wait_scans(keep, ["K1"])
        self.wait_scans(gone, ["G1"])
        self.wait_status("gone", lambda s: s["connected"])
        new = Agent(self, "new", [b"N1", b"N2"])
        gateway.write_agents(keep.entry() + new.entry())
        gateway.signal(signal.SIGHUP)
        self.wait_scans(new, ["N1", "N2"])
        gone.process.log.wait_for(b"Received QUIT")
        e2e.wait_until(lambda: self.status("gone") is None, WAIT, "gone's status cleared")
        self.assertEqual(1, keep.log().count(b"Begin new Session"))
        self.assertEqual(1, gateway.log().count("agent keep: session open"))

    def test_sigterm_sends_quit_to_every_agent_and_exits_0(self):
        agents = [Agent(self, "a%d" % n, [b"S%d" % n]) for n in (1, 2)]
        gateway = self.gateway(agents)
        for n, agent in enumerate(agents, 1):
            self.wait_scans(agent, ["S%d" % n])
        gateway.signal(signal.SIGTERM)
        self.assertEqual(0, gateway.wait())
        for agent in agents:
            self.assertIn(b"Received QUIT", agent.log())
            self.assertEqual("gateway stopped", self.status(agent.name)["error"])


def parse_options():
    parser = e2e.option_parser()
    for name in ("vxgate", "agent", "scanagent"):
        parser.add_argument("--" + name, required=True)
    return e2e.parse_options(parser, paths=("vxgate", "agent", "scanagent"),
                             existing=("vxgate", "agent", "scanagent"))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
