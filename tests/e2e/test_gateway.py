#!/usr/bin/env python3
"""End-to-end tests of vxgate's side towards the MQTT broker, against a real
mosquitto on 127.0.0.1 (tests/e2e/mqtt_broker.py starts it).

    tests/e2e/test_gateway.py --vxgate PATH --mqttcheck PATH [unittest options]

vxgate is the gateway; mqttcheck drives the gateway's broker link on its own
and prints what becomes of each message, so that a test can see a QoS 1
message confirmed only once the broker has it. Every process a test starts is
ended by its pid; VXHID_E2E_KEEP=1 keeps the folders and logs.
"""
import argparse
import json
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_support import VxGate  # noqa: E402
from mqtt_broker import Broker, Subscription, make_tls_files  # noqa: E402

OPTIONS = None
WAIT_SECONDS = 15


def wait_until(predicate, seconds, what):
    deadline = time.time() + seconds
    while not predicate():
        if time.time() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class Folder:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="vxgate-test-")

    def file(self, name, content=None):
        path = os.path.join(self.path, name)
        if content is not None:
            with open(path, "w") as f:
                f.write(content)
        return path

    def close(self):
        if os.environ.get("VXHID_E2E_KEEP"):
            print("test folder kept:", self.path)
        else:
            shutil.rmtree(self.path, ignore_errors=True)


def Gateway(folder, broker, agents, *options, client_id="vxgate-e2e"):
    """vxgate with an agents file of its own and its log (level 4) in a file."""
    return VxGate(OPTIONS.vxgate, folder.path, broker.url, agents, *options, client_id=client_id)


class MqttCheck:
    """mqttcheck: commands on its standard input, events read from its output."""

    def __init__(self, broker):
        self.process = subprocess.Popen(
            [OPTIONS.mqttcheck, "--broker", broker.url, "--log-level", "4"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.events = []
        self._lock = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            with self._lock:
                self.events.append(line.rstrip("\n"))
                self._lock.notify_all()

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def wait_for(self, prefix, seconds=WAIT_SECONDS):
        deadline = time.time() + seconds
        with self._lock:
            while True:
                for event in self.events:
                    if event.startswith(prefix):
                        return event
                left = deadline - time.time()
                if left <= 0:
                    raise AssertionError("no %r within %s s; events: %r"
                                         % (prefix, seconds, self.events))
                self._lock.wait(left)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)
        self.process.stdin.close()
        self.process.stdout.close()


class GatewayTestCase(unittest.TestCase):
    def setUp(self):
        self.folder = Folder()
        self.addCleanup(self.folder.close)
        self.broker = Broker()
        self.broker.start()
        self.addCleanup(self.broker.close)

    def gateway(self, agents="press-1 127.0.0.1:8194\nlathe-2 127.0.0.1:8195\n", *options,
                **kwargs):
        gateway = Gateway(self.folder, self.broker, agents, *options, **kwargs)
        self.addCleanup(gateway.close)
        return gateway

    def status(self, topic):
        payload = self.broker.retained(topic)
        return None if payload is None else json.loads(payload)

    def wait_status(self, topic, predicate, seconds=WAIT_SECONDS):
        found = []

        def check():
            found[:] = [self.status(topic)]
            return found[0] is not None and predicate(found[0])

        wait_until(check, seconds, "a retained status on %s; last: %r" % (topic, found))
        return found[0]


class GatewayStatusTest(GatewayTestCase):
    def test_status_is_retained_while_running_and_says_stopped_after_sigterm(self):
        gateway = self.gateway()
        status = self.wait_status(gateway.status_topic, lambda s: s["connected"])
        self.assertEqual(2, status["agents"])
        self.assertRegex(status["since"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertNotIn("error", status)

        with Subscription(self.broker, gateway.status_topic) as sub:
            gateway.signal(signal.SIGTERM)
            self.assertEqual(0, gateway.wait())
            time.sleep(0.5)
            # A goodbye: the broker does not publish the will.
            self.assertEqual([], sub.received(lambda m: "gateway connection lost" in m["payload"]))
        stopped = self.status(gateway.status_topic)
        self.assertFalse(stopped["connected"])
        self.assertEqual("gateway stopped", stopped["error"])
        self.assertIn("stopping on SIGTERM", gateway.log())

    def test_sigint_stops_it_the_same_way(self):
        gateway = self.gateway()
        self.wait_status(gateway.status_topic, lambda s: s["connected"])
        gateway.signal(signal.SIGINT)
        self.assertEqual(0, gateway.wait())
        self.assertEqual("gateway stopped", self.status(gateway.status_topic)["error"])

    def test_the_last_will_says_offline_when_the_gateway_is_killed_hard(self):
        gateway = self.gateway()
        self.wait_status(gateway.status_topic, lambda s: s["connected"])
        with Subscription(self.broker, gateway.status_topic) as sub:
            gateway.signal(signal.SIGKILL)
            gateway.wait()
            will = sub.wait_for(lambda m: not json.loads(m["payload"])["connected"], WAIT_SECONDS)
        self.assertEqual({"connected": False, "error": "gateway connection lost"},
                         json.loads(will["payload"]))
        self.assertEqual({"connected": False, "error": "gateway connection lost"},
                         self.status(gateway.status_topic))

    def test_it_comes_back_after_the_broker_restarts(self):
        gateway = self.gateway()
        first = self.wait_status(gateway.status_topic, lambda s: s["connected"])
        self.broker.stop()
        gateway.wait_log("lost the connection to the broker")
        time.sleep(1.5)  # a few tries meet a closed port
        self.broker.start()
        again = self.wait_status(gateway.status_topic,
                                 lambda s: s["connected"] and s["since"] > first["since"])
        self.assertEqual(2, again["agents"])
        gateway.wait_log("connected to the broker", count=2)
        # Failed tries with the same reason are logged once as a warning.
        warnings = [line for line in gateway.log().splitlines()
                    if " warning: cannot connect to the broker" in line]
        self.assertEqual(1, len(warnings), gateway.log())
        self.assertIsNone(gateway.process.poll())

    def test_a_broker_that_is_away_at_start_is_tried_until_it_comes(self):
        self.broker.stop()
        gateway = self.gateway()
        gateway.wait_log("cannot connect to the broker")
        self.broker.start()
        self.wait_status(gateway.status_topic, lambda s: s["connected"])

    def test_sigterm_while_the_broker_is_away_ends_at_once(self):
        self.broker.stop()
        gateway = self.gateway()
        gateway.wait_log("cannot connect to the broker")
        started = time.time()
        gateway.signal(signal.SIGTERM)
        self.assertEqual(0, gateway.wait())
        self.assertLess(time.time() - started, 2.0)


class AgentsFileTest(GatewayTestCase):
    def test_a_malformed_agents_file_ends_the_start_naming_the_line(self):
        cases = [
            ("a 127.0.0.1:8194\nb\n", ":2: expected NAME HOST:PORT"),
            ("a/b 127.0.0.1:8194\n", ":1: the name \"a/b\" holds '/'"),
            ("a 127.0.0.1:8194\n# c\na 127.0.0.1:8195\n", ":3: the name \"a\" is given twice"),
            ("a 127.0.0.1:8194\nb 127.0.0.1:8194\n", ":2: the address 127.0.0.1:8194 is given"),
        ]
        for content, says in cases:
            gateway = self.gateway(content)
            self.assertEqual(2, gateway.wait(), content)
            self.assertIn(gateway.agents + says, gateway.log())
        result = subprocess.run(
            [OPTIONS.vxgate, "--broker", self.broker.url, "--agents", self.folder.file("none")],
            capture_output=True, text=True, timeout=10)
        self.assertEqual(2, result.returncode)
        self.assertIn("cannot read the agents file", result.stderr)
        result = subprocess.run([OPTIONS.vxgate, "--broker", "mqtt://127.0.0.1:1"],
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(2, result.returncode)
        self.assertIn("--agents is required", result.stderr)

    def test_sighup_adds_and_removes_agents_and_clears_a_removed_agents_status(self):
        gateway = self.gateway("keep 127.0.0.1:8194\ngone 127.0.0.1:8195\n")
        self.wait_status(gateway.status_topic, lambda s: s["connected"])
        # What the agent's session would have left on the broker.
        for name in ("keep", "gone"):
            self.broker.publish("vxhid/%s/status" % name,
                                '{"connected":true,"since":"2026-01-01T00:00:00.000Z"}', True)

        gateway.write_agents("keep 127.0.0.1:8194\nnew-1 127.0.0.1:8196\nnew-2 127.0.0.1:8197\n")
        gateway.signal(signal.SIGHUP)
        gateway.wait_log("3 agents from %s: 2 added, 1 removed, 0 moved" % gateway.agents)
        self.assertIn("agent new-1 added at 127.0.0.1:8196", gateway.log())
        self.assertIn("agent gone removed", gateway.log())
        wait_until(lambda: self.status("vxhid/gone/status") is None, WAIT_SECONDS,
                   "the removed agent's status to be cleared")
        self.assertIsNotNone(self.status("vxhid/keep/status"))
        self.wait_status(gateway.status_topic, lambda s: s["agents"] == 3)

        # A malformed file keeps the list read before.
        gateway.write_agents("keep 127.0.0.1:8194\nbroken\n")
        gateway.signal(signal.SIGHUP)
        gateway.wait_log("%s:2: expected NAME HOST:PORT, found only \"broken\"; "
                         "the 3 agents read before stay" % gateway.agents)
        self.assertIsNone(gateway.process.poll())

        # Removed while the broker is away: cleared once it is back.
        self.broker.stop()
        gateway.wait_log("lost the connection to the broker")
        gateway.write_agents("new-1 127.0.0.1:8196\nnew-2 127.0.0.1:8197\n")
        gateway.signal(signal.SIGHUP)
        gateway.wait_log("agent keep removed")
        self.broker.start()
        wait_until(lambda: self.status("vxhid/keep/status") is None, WAIT_SECONDS,
                   "the status removed while the broker was away to be cleared")
        self.wait_status(gateway.status_topic, lambda s: s["connected"] and s["agents"] == 2)


class ConfirmationTest(GatewayTestCase):
    def setUp(self):
        super().setUp()
        acl = self.folder.file("acl", "topic readwrite check/#\n")
        self.broker.stop()
        self.broker.config_lines.append("acl_file " + acl)
        self.broker._write_config()
        self.broker.start()
        self.check = MqttCheck(self.broker)
        self.addCleanup(self.check.close)
        self.check.wait_for("connected")

    def test_a_message_is_confirmed_only_once_the_broker_has_it(self):
        with Subscription(self.broker, "check/#") as sub:
            self.broker.pause()
            self.check.send("publish check/one first")
            self.check.wait_for("sent 1")
            time.sleep(1.0)
            self.assertNotIn("confirmed 1", self.check.events)
            self.broker.resume()
            self.check.wait_for("confirmed 1")
            sub.wait_for(lambda m: m["payload"] == "first", WAIT_SECONDS)

    def test_a_refused_message_fails_with_the_brokers_reason(self):
        self.check.send("publish denied/one no")
        self.assertEqual("failed 1 the broker refused it: Not authorized",
                         self.check.wait_for("failed 1"))
        self.check.send("publish check/two yes")
        self.check.wait_for("confirmed 2")

    def test_a_message_unconfirmed_when_the_connection_drops_fails_and_is_not_sent_again(self):
        with Subscription(self.broker, "check/#", client_id="vxhid-test-dropped") as sub:
            self.broker.pause()
            self.check.send("publish check/lost in-flight")
            self.check.wait_for("sent 1")
            self.broker.kill()  # SIGKILL ends a stopped process too
            self.check.wait_for("failed 1 the connection to the broker was lost")
            self.check.wait_for("lost ")
            self.check.send("publish check/later not-connected")
            self.check.wait_for("refused 2 not connected to the broker")
            self.broker.start()
            wait_until(lambda: self.check.events.count("connected") == 2, WAIT_SECONDS,
                       "mqttcheck to connect again")
            sub.wait_subscribed(2)
            self.check.send("publish check/after back")
            self.check.wait_for("confirmed 3")
            sub.wait_for(lambda m: m["payload"] == "back", WAIT_SECONDS)
            # The new connection does not send the failed message again: its
            # sender was told it failed and sends it again itself.
            self.assertEqual([], sub.received(lambda m: m["payload"] == "in-flight"))


class OldBroker:
    """A broker that speaks MQTT 3.1.1 only, as an older one does: a CONNECT
    for MQTT 5 gets the 3.1.1 refusal "unacceptable protocol version"; a
    3.1.1 CONNECT is accepted and each QoS 1 PUBLISH confirmed. It keeps the
    protocol levels it was asked for and the topics published."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.levels = []
        self.topics = []
        threading.Thread(target=self._serve, daemon=True).start()

    @staticmethod
    def _packet(connection):
        header = connection.recv(1)
        if not header:
            return None, b""
        length, shift = 0, 0
        while True:
            byte = connection.recv(1)[0]
            length |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                break
        body = b""
        while len(body) < length:
            chunk = connection.recv(length - len(body))
            if not chunk:
                return None, b""
            body += chunk
        return header[0], body

    def _serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with connection:
                kind, body = self._packet(connection)
                if kind != 0x10:
                    continue
                level = body[6]  # after the length-prefixed "MQTT"
                self.levels.append(level)
                if level != 4:
                    connection.sendall(bytes([0x20, 2, 0, 1]))
                    continue
                connection.sendall(bytes([0x20, 2, 0, 0]))
                while True:
                    kind, body = self._packet(connection)
                    if kind is None or kind == 0xE0:
                        break
                    if kind & 0xF0 == 0x30:
                        topic_length = int.from_bytes(body[:2], "big")
                        self.topics.append(body[2:2 + topic_length].decode())
                        if kind & 0x06 == 0x02:
                            mid = body[2 + topic_length:4 + topic_length]
                            connection.sendall(bytes([0x40, 2]) + mid)
                    elif kind == 0xC0:
                        connection.sendall(bytes([0xD0, 0]))

    def close(self):
        self.listener.close()


class OldBrokerTest(unittest.TestCase):
    def test_a_broker_without_mqtt_5_gets_mqtt_3_1_1_with_a_warning(self):
        broker = OldBroker()
        self.addCleanup(broker.close)
        folder = Folder()
        self.addCleanup(folder.close)
        log = folder.file("mqttcheck.log")
        with open(log, "wb") as err:
            check = subprocess.Popen(
                [OPTIONS.mqttcheck, "--broker", "mqtt://127.0.0.1:%d" % broker.port],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True)
        try:
            self.assertEqual("connected", check.stdout.readline().strip())
            check.stdin.write("publish old/one hello\n")
            check.stdin.flush()
            self.assertEqual("sent 1", check.stdout.readline().strip())
            self.assertEqual("confirmed 1", check.stdout.readline().strip())
        finally:
            check.kill()
            check.wait()
            check.stdin.close()
            check.stdout.close()
        self.assertEqual([5, 4], broker.levels)
        self.assertEqual(["old/one"], broker.topics)
        with open(log) as f:
            text = f.read()
        self.assertIn("does not speak MQTT 5: using MQTT 3.1.1", text)
        self.assertIn("(MQTT 3.1.1)", text)


class LoginTest(GatewayTestCase):
    def test_login_with_a_password_file_and_a_refused_one(self):
        passwords = self.folder.file("passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "gate", "s3cret"], check=True,
                       capture_output=True)
        self.broker.stop()
        self.broker.config_lines += ["allow_anonymous false", "password_file " + passwords]
        self.broker._write_config()
        self.broker.start()

        good = self.folder.file("good", "s3cret\n")
        gateway = self.gateway("a 127.0.0.1:8194\n", "--username", "gate", "--password-file", good)
        gateway.wait_log("connected to the broker")

        bad = self.folder.file("bad", "guess\n")
        refused = self.gateway("a 127.0.0.1:8194\n", "--username", "gate", "--password-file", bad,
                               client_id="vxgate-refused")
        refused.wait_log("cannot connect to the broker 127.0.0.1:%d: refused: " % self.broker.port)
        self.assertIn("Not authorized", refused.log())
        self.assertIsNone(refused.process.poll())

        result = subprocess.run(
            [OPTIONS.vxgate, "--broker", self.broker.url, "--agents", gateway.agents,
             "--username", "gate", "--password-file", self.folder.file("missing")],
            capture_output=True, text=True, timeout=10)
        self.assertEqual(2, result.returncode)
        self.assertIn("cannot read the password file", result.stderr)


class TlsTest(unittest.TestCase):
    def setUp(self):
        self.folder = Folder()
        self.addCleanup(self.folder.close)
        self.tls = make_tls_files(self.folder.path, "ca")
        self.broker = Broker(tls=self.tls)
        self.broker.start()
        self.addCleanup(self.broker.close)

    def test_mqtts_with_its_own_ca_file_and_a_wrong_one(self):
        gateway = Gateway(self.folder, self.broker, "a 127.0.0.1:8194\n", "--cafile",
                          self.tls["cafile"])
        self.addCleanup(gateway.close)
        gateway.wait_log("connected to the broker 127.0.0.1:%d" % self.broker.port)
        status = json.loads(self.broker.retained(gateway.status_topic))
        self.assertTrue(status["connected"])
        gateway.signal(signal.SIGTERM)
        self.assertEqual(0, gateway.wait())

        other = make_tls_files(self.folder.path, "other")
        wrong = Gateway(self.folder, self.broker, "a 127.0.0.1:8194\n", "--cafile",
                        other["cafile"], client_id="vxgate-wrong-ca")
        self.addCleanup(wrong.close)
        wrong.wait_log("certificate verify failed")
        self.assertNotIn("connected to the broker 127.0.0.1:%d as vxgate-wrong-ca"
                         % self.broker.port, wrong.log())
        self.assertIsNone(self.broker.retained(wrong.status_topic))

        # The system's CAs do not know this test CA either.
        system = Gateway(self.folder, self.broker, "a 127.0.0.1:8194\n",
                         client_id="vxgate-system-ca")
        self.addCleanup(system.close)
        system.wait_log("certificate verify failed")

    def test_a_client_certificate_for_a_broker_that_requires_one(self):
        self.broker.stop()
        self.broker.config_lines.append("require_certificate true")
        self.broker._write_config()
        self.broker.start()
        without = Gateway(self.folder, self.broker, "a 127.0.0.1:8194\n", "--cafile",
                          self.tls["cafile"], client_id="vxgate-no-cert")
        self.addCleanup(without.close)
        without.wait_log("cannot connect to the broker")
        self.assertNotIn("connected to the broker", without.log())

        gateway = Gateway(self.folder, self.broker, "a 127.0.0.1:8194\n", "--cafile",
                          self.tls["cafile"], "--cert", self.tls["clientcert"], "--key",
                          self.tls["clientkey"], client_id="vxgate-cert")
        self.addCleanup(gateway.close)
        gateway.wait_log("connected to the broker 127.0.0.1:%d as vxgate-cert" % self.broker.port)


def main():
    global OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument("--vxgate", required=True)
    parser.add_argument("--mqttcheck", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
