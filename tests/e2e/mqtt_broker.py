"""A real mosquitto broker for the tests, and mosquitto_sub to watch it.

    with Broker() as broker:                 # a free port on 127.0.0.1
        with Subscription(broker, "vxhid/#") as sub:
            ...                              # run the program under test with broker.url
            message = sub.wait_for(lambda m: m["topic"] == "vxhid/a/scan", 10)
        broker.retained("vxhid/a/status")    # the retained payload, or None

The broker listens on 127.0.0.1 only, keeps its persistence file, its
configuration and its log in a folder of its own (kept when VXHID_E2E_KEEP is
set), and can be stopped (SIGTERM: it saves what it keeps), killed (SIGKILL),
paused (SIGSTOP: connections stay, nothing is answered) and started again on
the same port. Every process here is ended by its pid.
"""
import json
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from e2e_support import free_port, listening

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
MOSQUITTO_SUB = shutil.which("mosquitto_sub") or "/usr/bin/mosquitto_sub"
MOSQUITTO_PUB = shutil.which("mosquitto_pub") or "/usr/bin/mosquitto_pub"
START_SECONDS = 10


def make_tls_files(folder, name="ca"):
    """A CA of its own, a server certificate for 127.0.0.1 and a client
    certificate, both signed by it, made with the openssl tool. Returns
    {"cafile", "certfile", "keyfile", "clientcert", "clientkey"}."""
    paths = {
        "cafile": os.path.join(folder, name + ".crt"),
        "certfile": os.path.join(folder, name + "-server.crt"),
        "keyfile": os.path.join(folder, name + "-server.key"),
        "clientcert": os.path.join(folder, name + "-client.crt"),
        "clientkey": os.path.join(folder, name + "-client.key"),
    }
    ca_key = os.path.join(folder, name + ".key")
    request = os.path.join(folder, name + "-server.csr")
    extensions = os.path.join(folder, name + "-server.ext")
    with open(extensions, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=vxhid test CA " + name, "-keyout", ca_key, "-out", paths["cafile"])
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
            paths["keyfile"], "-out", request)
    openssl("x509", "-req", "-in", request, "-CA", paths["cafile"], "-CAkey", ca_key,
            "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out", paths["certfile"])
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=vxgate", "-keyout",
            paths["clientkey"], "-out", request)
    openssl("x509", "-req", "-in", request, "-CA", paths["cafile"], "-CAkey", ca_key,
            "-CAcreateserial", "-days", "2", "-out", paths["clientcert"])
    return paths


class Broker:
    """mosquitto on 127.0.0.1:port with persistence on. config_lines are added
    to its configuration (an acl_file, limits); tls is a make_tls_files()
    result for a TLS listener."""

    def __init__(self, port=None, config_lines=(), tls=None):
        self.folder = tempfile.mkdtemp(prefix="vxhid-broker-")
        self.port = port or free_port()
        self.config_lines = list(config_lines)
        self.tls = tls
        self.process = None
        self.config = os.path.join(self.folder, "mosquitto.conf")
        self.log_path = os.path.join(self.folder, "mosquitto.log")
        self._write_config()

    def _write_config(self):
        lines = [
            "listener %d 127.0.0.1" % self.port,
            "allow_anonymous true",
            "persistence true",
            "persistence_location %s/" % self.folder,
            "log_dest file %s" % self.log_path,
            "log_type all",
            # A subscriber's persistent session keeps every message while it
            # is away (a broker restart), not only the first 1000.
            "max_queued_messages 1000000",
            # Started as root, mosquitto would become the user "mosquitto",
            # who may not write this folder.
            "user " + pwd.getpwuid(os.getuid()).pw_name,
        ]
        if self.tls:
            lines += ["cafile " + self.tls["cafile"], "certfile " + self.tls["certfile"],
                      "keyfile " + self.tls["keyfile"]]
        with open(self.config, "w") as f:
            f.write("\n".join(lines + self.config_lines) + "\n")

    @property
    def url(self):
        return "%s://127.0.0.1:%d" % ("mqtts" if self.tls else "mqtt", self.port)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def start(self):
        assert not self.running()
        self.process = subprocess.Popen([MOSQUITTO, "-c", self.config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + START_SECONDS
        while not listening(self.port):
            if self.process.poll() is not None:
                raise AssertionError("mosquitto ended at start with %d; its log:\n%s"
                                     % (self.process.returncode, self.log()))
            if time.time() > deadline:
                raise AssertionError("mosquitto does not listen on port %d" % self.port)
            time.sleep(0.05)
        return self

    def stop(self):
        """SIGTERM: mosquitto saves its persistence file and ends."""
        if self.running():
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            self.process.wait(timeout=10)

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait(timeout=10)

    def pause(self):
        self.process.send_signal(signal.SIGSTOP)

    def resume(self):
        self.process.send_signal(signal.SIGCONT)

    def restart(self):
        self.stop()
        return self.start()

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def client_options(self):
        options = ["-h", "127.0.0.1", "-p", str(self.port)]
        if self.tls:
            options += ["--cafile", self.tls["cafile"]]
        return options

    def retained(self, topic, seconds=1.0):
        """The payload retained on topic, or None when there is none."""
        result = subprocess.run(
            [MOSQUITTO_SUB, *self.client_options(), "-t", topic, "-F", "%j", "-C", "1",
             "-W", str(max(1, int(seconds))), "--retained-only"],
            capture_output=True, text=True, errors="replace")
        for line in result.stdout.splitlines():
            message = json.loads(line)
            if message["retain"]:
                return message["payload"]
        return None

    def publish(self, topic, payload, retain=False):
        command = [MOSQUITTO_PUB, *self.client_options(), "-t", topic, "-m", payload, "-q", "1"]
        subprocess.run(command + (["-r"] if retain else []), check=True, timeout=10)

    def close(self):
        self.stop()
        if os.environ.get("VXHID_E2E_KEEP"):
            print("broker folder kept:", self.folder)
        else:
            shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()


class Subscription:
    """mosquitto_sub on topic for as long as it is open, with a persistent
    session at QoS 1 (-c, -q 1): it comes back by itself after a broker
    restart and receives what was published meanwhile (a broker that was
    killed has forgotten the session: wait_subscribed(2) before publishing).
    Each message is a dict: topic, payload (text), retain (bool), qos."""

    def __init__(self, broker, topic, client_id=None):
        self.messages = []
        self._lock = threading.Condition()
        client_id = client_id or "vxhid-test-%d-%d" % (os.getpid(), free_port())
        self.process = subprocess.Popen(
            [MOSQUITTO_SUB, *broker.client_options(), "-t", topic, "-F", "%j", "-q", "1", "-c",
             "-i", client_id],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, errors="replace")
        self.broker = broker
        self.client_id = client_id
        self.topic = topic
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        try:
            self.wait_subscribed(1)
        except AssertionError:
            self.close()
            raise

    def wait_subscribed(self, times):
        """Waits until the broker has received the subscription for the
        given time (counted over the broker's restarts): what is published
        before that is missed."""
        deadline = time.time() + START_SECONDS
        line = "Received SUBSCRIBE from " + self.client_id
        while self.broker.log().count(line) < times:
            if time.time() > deadline or self.process.poll() is not None:
                raise AssertionError("mosquitto_sub did not subscribe to %s (%d times)"
                                     % (self.topic, times))
            time.sleep(0.02)

    def _read(self):
        for line in self.process.stdout:
            try:
                raw = json.loads(line)
            except ValueError:
                continue
            message = {"topic": raw["topic"], "payload": raw.get("payload", ""),
                       "retain": bool(raw["retain"]), "qos": raw["qos"]}
            with self._lock:
                self.messages.append(message)
                self._lock.notify_all()

    def received(self, predicate=lambda m: True):
        with self._lock:
            return [m for m in self.messages if predicate(m)]

    def wait_for(self, predicate, seconds):
        """The first message that satisfies predicate, waiting up to seconds."""
        deadline = time.time() + seconds
        with self._lock:
            while True:
                for message in self.messages:
                    if predicate(message):
                        return message
                left = deadline - time.time()
                if left <= 0:
                    raise AssertionError("no such message within %s s; received: %r"
                                         % (seconds, self.messages[-10:]))
                self._lock.wait(left)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        self._reader.join(timeout=5)
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
