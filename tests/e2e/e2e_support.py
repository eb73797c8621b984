"""What the end-to-end tests share: the programs they start (the agent natively
or under Wine, cncpeer watch, any other), each ended by its pid; free ports and
waiting for a listener or a log line; the native cncpeer and faultpeer tools
and their output; and, for the Windows programs, a virtual X display with a
Wine prefix of the run's own, driven by vxdesktop and xdotool.

Every program binds to and every connection goes to 127.0.0.1 (127.0.0.2 as a
second source). VXHID_E2E_KEEP=1 keeps a test's temporary folders.
"""
import argparse
import contextlib
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
LOCALHOST = "127.0.0.1"
# Time for an agent to start listening or to end; generous, since the first
# Wine process of a prefix also starts the Wine server.
START_SECONDS = 60
# Time for a log line to appear after the event that causes it.
LOG_SECONDS = 20
# Time for one run of a tool: cncpeer, faultpeer, vxdesktop, xdotool.
COMMAND_SECONDS = 60
# Time for a killed process to be gone.
END_SECONDS = 30
# Where a native build puts each tool: its folder under tools/ and its name.
NATIVE_TOOLS = {
    "cncpeer": ("cncpeer", "cncpeer"),
    "faultpeer": ("faultpeer", "faultpeer"),
    "vxsoak": ("soak", "vxsoak"),
    "scanagent": ("faultrun", "scanagent"),
    "vxgate": ("vxgate", "vxgate"),
}


def native_tool(build, name):
    folder, program = NATIVE_TOOLS[name]
    return os.path.join(build, "tools", folder, program)


# ---- options -----------------------------------------------------------------


def option_parser():
    """A parser for a test file's own options; unittest takes the rest."""
    return argparse.ArgumentParser(add_help=False)


def add_agent_options(parser):
    """--agent, the native vxhid or vxhid.exe, and --wine to run it under Wine."""
    parser.add_argument("--agent", required=True)
    parser.add_argument("--wine", action="store_true")


def add_windows_options(parser, *tools):
    """--win-build, the Windows build folder (vxhid.exe, vxdesktop.exe), and
    an option for each native tool named, by default from build/native."""
    parser.add_argument("--win-build", default=os.path.join(ROOT, "build", "windows"))
    for name in tools:
        parser.add_argument("--" + name, default=native_tool(os.path.join(ROOT, "build", "native"),
                                                             name))


def parse_options(parser, paths, existing=()):
    """The options and unittest's arguments. The options named in paths are
    made absolute, those in existing must name a file; --wine needs the Wine
    prefix and the display in the environment."""
    options, rest = parser.parse_known_args()
    for name in paths:
        if getattr(options, name):
            setattr(options, name, os.path.abspath(getattr(options, name)))
    for name in existing:
        if not os.path.exists(getattr(options, name)):
            parser.error("missing " + getattr(options, name))
    if getattr(options, "wine", False) and not (os.environ.get("WINEPREFIX")
                                                 and os.environ.get("DISPLAY")):
        parser.error("--wine needs WINEPREFIX and DISPLAY (scripts/with-wine.sh sets them)")
    return options, rest


def run_tests(rest):
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


# ---- time, ports, connections -------------------------------------------------


def poll(read, done, seconds, interval=0.05):
    """Reads until done(value) holds or seconds have passed; the last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = read()
        if done(value) or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def wait_until(predicate, seconds, what, interval=0.1):
    if not poll(predicate, bool, seconds, interval):
        raise AssertionError("timed out waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind((LOCALHOST, 0))
        return s.getsockname()[1]


def listeners(port):
    """The addresses that listen on TCP port, read from /proc/net/tcp, so that
    looking opens no session in an agent."""
    found = []
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            address, hex_port = fields[1].split(":")
            if int(hex_port, 16) == port and fields[3] == "0A":
                found.append(socket.inet_ntoa(struct.pack("<I", int(address, 16))))
    return found


def listening(port):
    """True when a socket listens on 127.0.0.1:port."""
    return LOCALHOST in listeners(port)


def connect(port, source=None, seconds=LOG_SECONDS):
    """A connection to 127.0.0.1:port, from the local address source if given."""
    s = socket.socket()
    s.settimeout(seconds)
    if source:
        s.bind((source, 0))
    s.connect((LOCALHOST, port))
    return s


# ---- files and logs -----------------------------------------------------------


def make_run_folder(prefix):
    return tempfile.mkdtemp(prefix=prefix)


def remove_run_folder(path):
    if os.environ.get("VXHID_E2E_KEEP"):
        print("kept " + path, file=sys.stderr)
    else:
        shutil.rmtree(path, ignore_errors=True)


def read_file(path):
    """The bytes of a file, None when it is missing."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def log_lines(data):
    """The lines of a log file without their CR LF ends."""
    lines = data.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


class Log:
    """An agent's log file, read afresh at every look; empty while missing."""

    def __init__(self, path):
        self.path = path

    def data(self):
        return read_file(self.path) or b""

    def lines(self):
        return log_lines(self.data())

    def count(self, text):
        """How many lines hold text."""
        return sum(1 for line in self.lines() if text in line)

    def wait_data(self, predicate, what, seconds=LOG_SECONDS):
        """Waits until the log's bytes satisfy predicate; returns them."""
        data = poll(self.data, predicate, seconds)
        if not predicate(data):
            raise AssertionError("the log does not show %s; it holds:\n%s"
                                 % (what, data.decode("latin-1")))
        return data

    def wait(self, predicate, what, seconds=LOG_SECONDS):
        """Waits until the log's lines satisfy predicate; returns them."""
        return log_lines(self.wait_data(lambda data: predicate(log_lines(data)), what, seconds))

    def wait_for(self, text, seconds=LOG_SECONDS):
        """Waits until the log holds text; returns the whole log."""
        return self.wait_data(lambda data: text in data, repr(text), seconds)

    def wait_count(self, text, count, seconds=LOG_SECONDS):
        """How many lines hold text once count of them do, or once seconds
        have passed; the caller checks the figure."""
        return poll(lambda: self.count(text), lambda n: n >= count, seconds, 0.1)


# ---- the scan journal ------------------------------------------------------------


def journal_record(kind, sequence, text=b""):
    """One record of the agent's scan journal "vxhid.scans": "VXSJ", payload
    length, CRC-32 of length and payload (all little-endian), then kind (b"S"
    a scan, b"D" delivered up to sequence), sequence number and text."""
    payload = kind + sequence.to_bytes(8, "little") + text
    length = len(payload).to_bytes(4, "little")
    return b"VXSJ" + length + zlib.crc32(length + payload).to_bytes(4, "little") + payload


def journal_of(scans):
    """A journal holding scans, undelivered, numbered from 1."""
    return b"".join(journal_record(b"S", n + 1, s) for n, s in enumerate(scans))


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


# ---- processes ------------------------------------------------------------------


class Process:
    """A program a test started. Its standard output goes to the file out (or
    nowhere), its standard error to err or with the output; the test ends it
    by its pid."""

    name = None

    def __init__(self, command, cwd=None, out=None, err=None, env=None):
        self.out_path, self.err_path = out, err
        if self.name is None:
            self.name = os.path.basename(command[0])
        with contextlib.ExitStack() as files:
            stdout = files.enter_context(open(out, "wb")) if out else subprocess.DEVNULL
            if err:
                stderr = files.enter_context(open(err, "wb"))
            else:
                stderr = subprocess.STDOUT if out else subprocess.DEVNULL
            self.process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                            stdout=stdout, stderr=stderr)

    @property
    def pid(self):
        return self.process.pid

    def poll(self):
        return self.process.poll()

    def out(self):
        return (read_file(self.out_path) or b"") if self.out_path else b""

    def err(self):
        return (read_file(self.err_path) or b"") if self.err_path else b""

    def output(self):
        """The end of what it printed, for a failure message."""
        return self.out()[-2000:].decode("latin-1")

    def wait_exit(self, seconds=START_SECONDS):
        """The exit code, None when it is still running after seconds."""
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, number, seconds):
        """Sends the signal number; the exit code as wait_exit gives it."""
        self.process.send_signal(number)
        return self.wait_exit(seconds)

    def kill(self, seconds=END_SECONDS):
        """Ends it hard, as a crash or a power cut would."""
        self.process.kill()
        return self.process.wait(timeout=seconds)

    def send_kill(self):
        """Kills it unless it has ended already; does not wait."""
        if self.process.poll() is None:
            self.process.kill()

    def end(self):
        self.send_kill()
        self.process.wait(timeout=END_SECONDS)

    def wait_listening(self, port, seconds=START_SECONDS):
        """Waits until 127.0.0.1:port listens; fails when the program ends
        first or when seconds have passed."""
        deadline = time.monotonic() + seconds
        while not listening(port):
            code = self.process.poll()
            if code is not None:
                raise AssertionError(self.ended_early(code))
            if time.monotonic() > deadline:
                raise AssertionError("%s does not listen on 127.0.0.1:%d" % (self.name, port))
            time.sleep(0.05)

    def ended_early(self, code):
        return "%s ended with code %d before listening; output:\n%s" % (self.name, code,
                                                                         self.output())


def agent_command(agent, args, wine=False):
    """The command line that runs the agent program with args."""
    return (["wine"] if wine else []) + [agent] + list(args)


class Agent(Process):
    """An agent, run in its program folder, where its log appears."""

    name = "the agent"

    def __init__(self, command, folder, out=None, env=None):
        super().__init__(command, cwd=folder, out=out, env=env)
        self.log = Log(os.path.join(folder, "vxhid.log"))

    def ended_early(self, code):
        return "%s\nlog:\n%r" % (super().ended_early(code), read_file(self.log.path))


class ProgramFolderTest(unittest.TestCase):
    """A temporary folder per test, with the program folder the agents run in
    ("program"), and the processes the test starts, each ended by its pid
    when the test ends."""

    run_prefix = "vxhid-e2e-"

    def setUp(self):
        self.root = make_run_folder(self.run_prefix)
        self.folder = os.path.join(self.root, "program")
        os.mkdir(self.folder)
        self.log = Log(self.path("vxhid.log"))
        self.processes = []
        self.addCleanup(self._end_processes)

    def _end_processes(self):
        """Kills every process still running, then waits for each; fails
        after all were handled when one would not end."""
        try:
            for process in self.processes:
                process.send_kill()
            stuck = []
            for process in self.processes:
                try:
                    process.end()
                except subprocess.TimeoutExpired:
                    stuck.append("%s (pid %d)" % (process.name, process.pid))
            if stuck:
                raise AssertionError("did not end within %d s: %s"
                                     % (END_SECONDS, ", ".join(stuck)))
        finally:
            remove_run_folder(self.root)

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        """The bytes of a file in the program folder, None when it is missing."""
        return read_file(self.path(name))

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def track(self, process):
        """Ends process with the test."""
        self.processes.append(process)
        return process

    def start_agent(self, command, folder=None):
        """An agent in folder (by default the program folder); its output
        goes to a file of the test's folder."""
        number = 1 + sum(1 for p in self.processes if isinstance(p, Agent))
        out = os.path.join(self.root, "agent-%d.out" % number)
        return self.track(Agent(command, folder or self.folder, out))


# ---- the native tools -------------------------------------------------------------


def unescape(text):
    """Undoes the tools' C escapes: \\r \\n \\t \\\\ \\" and \\xHH."""
    out, i = [], 0
    simple = {"r": "\r", "n": "\n", "t": "\t", "\\": "\\", '"': '"'}
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            if text[i + 1] == "x":
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append(simple[text[i + 1]])
            i += 2
            continue
        out.append(text[i])
        i += 1
    return "".join(out)


def json_objects(data):
    """The objects of output with one JSON object a line (ASCII only)."""
    return [json.loads(line) for line in data.decode("ascii").splitlines()]


class PeerRun:
    """One cncpeer session: its exit code and output. The text output has a
    line per step: 'announcement: "..."', 'verdict: "..."', 'PRBE -> "..."',
    'NOOP -> acknowledged'."""

    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr

    def value(self, name):
        """A quoted value such as the verdict, None when it is missing."""
        match = re.search(r'^%s: "(.*)"$' % re.escape(name), self.stdout, re.MULTILINE)
        return None if match is None else unescape(match.group(1))

    def answer(self, command):
        """The answer to command (as sent, with its argument); None when only
        the acknowledgement came. Fails when the output has no such line."""
        match = re.search(r'^%s -> (?:"(.*)"|acknowledged)$' % re.escape(command), self.stdout,
                          re.MULTILINE)
        if match is None:
            raise AssertionError("no %s answer in: %s" % (command, self.stdout))
        return None if match.group(1) is None else unescape(match.group(1))

    def objects(self):
        """The objects of a --json run."""
        return json_objects(self.stdout.encode("latin-1"))


class Watch(Process):
    """cncpeer watch: the scans on standard output, its status on standard
    error."""

    name = "cncpeer watch"

    def objects(self):
        """The scans of a --json watch so far."""
        return json_objects(self.out())


class CncPeer:
    """The native cncpeer tool, which plays the CNC Service's side."""

    def __init__(self, path):
        self.path = path

    def run(self, port, *commands, bind=None, seconds=COMMAND_SECONDS):
        """One session to 127.0.0.1:port (from the address bind if given)
        with the options and commands given."""
        command = [self.path, "--host", LOCALHOST, "--port", str(port)]
        if bind:
            command += ["--bind", bind]
        return PeerRun(subprocess.run(command + list(commands), capture_output=True,
                                      encoding="latin-1", timeout=seconds))

    def probe(self, port, seconds=COMMAND_SECONDS):
        """The answer to one PRBE, through a session of its own."""
        result = self.run(port, "PRBE", "QUIT", seconds=seconds)
        if result.returncode != 0:
            raise AssertionError("cncpeer failed (%d): %s" % (result.returncode, result.stderr))
        return result.answer("PRBE")

    def watch(self, port, folder, *options):
        """cncpeer watch on 127.0.0.1:port, writing watch.out and watch.err
        in folder; the caller ends it."""
        return Watch([self.path, "watch", "--host", LOCALHOST, "--port", str(port)]
                     + list(options), out=os.path.join(folder, "watch.out"),
                     err=os.path.join(folder, "watch.err"))


def faultpeer_answer(output):
    """The answer in faultpeer's output, None when it read none."""
    match = re.search(r'^answer: "(.*)"$', output, re.MULTILINE)
    return None if match is None else unescape(match.group(1))


class FaultPeer:
    """The native faultpeer tool: one PRBE whose answer it takes well or drops
    (MODE: probe, drop-before-answer, drop-without-ack, silent-without-ack)."""

    def __init__(self, path):
        self.path = path

    def command(self, port, mode, *options):
        """The command line of one session to 127.0.0.1:port, with options
        such as --timeout before the mode."""
        return [self.path, "--host", LOCALHOST, "--port", str(port)] + list(options) + [mode]

    def run(self, port, mode, seconds=COMMAND_SECONDS):
        """The answer it read, None when it read none; fails unless it ends
        with 0."""
        result = subprocess.run(self.command(port, mode), capture_output=True,
                                encoding="latin-1", timeout=seconds)
        if result.returncode != 0:
            raise AssertionError("faultpeer %s failed (%d): %s" % (mode, result.returncode,
                                                                  result.stderr))
        return faultpeer_answer(result.stdout)


# ---- vxgate ------------------------------------------------------------------------


class VxGate:
    """vxgate with an agents file of its own in folder and its log (level 4
    unless options say otherwise) in a file there; files named after the
    client id, so that gateways of one test do not read each other's lines.
    It can be killed and started again with the same command line."""

    def __init__(self, path, folder, broker_url, agents, *options, client_id="vxgate-e2e",
                 wrapper=()):
        self.client_id = client_id
        self.agents = os.path.join(folder, client_id + ".agents")
        self.write_agents(agents)
        self.log_path = os.path.join(folder, client_id + ".log")
        self.command = [*wrapper, path, "--broker", broker_url, "--agents", self.agents,
                        "--client-id", client_id, "--log-level", "4", *options]
        self.process = None
        self.start()

    def start(self):
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=log)

    @property
    def pid(self):
        return self.process.pid

    @property
    def status_topic(self):
        return "vxhid/gateway/%s/status" % self.client_id

    def log(self):
        return (read_file(self.log_path) or b"").decode("utf-8", "replace")

    def wait_log(self, text, seconds=LOG_SECONDS, count=1):
        wait_until(lambda: self.log().count(text) >= count, seconds,
                   "%r in the gateway's log:\n%s" % (text, self.log()[-6000:]))

    def write_agents(self, content):
        with open(self.agents, "w") as f:
            f.write(content)

    def signal(self, number):
        self.process.send_signal(number)

    def wait(self, seconds=10):
        return self.process.wait(timeout=seconds)

    def kill(self):
        self.process.kill()
        self.process.wait(timeout=END_SECONDS)

    def close(self):
        if self.process.poll() is None:
            self.kill()


# ---- Wine on a display of its own ------------------------------------------------


@contextlib.contextmanager
def stopped_on_failure(thing):
    """Stops thing when the block fails, e.g. a start half done."""
    try:
        yield thing
    except BaseException:
        thing.stop()
        raise


class Display:
    """Xvfb on the first free display number from first on, ended by its pid."""

    def __init__(self, first, options=()):
        self.first = first
        self.options = list(options)
        self.xvfb = None

    def start(self):
        """Starts the server; its DISPLAY value."""
        for number in range(self.first, self.first + 100):
            if os.path.exists("/tmp/.X%d-lock" % number) or \
                    os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24",
                                     "-nolisten", "tcp"] + self.options,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and xvfb.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    self.xvfb = xvfb
                    return ":%d" % number
                time.sleep(0.1)
            if xvfb.poll() is None:
                xvfb.kill()
                xvfb.wait()
        raise RuntimeError("no free X display")

    @property
    def running(self):
        return self.xvfb is not None

    def stop(self):
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)
            self.xvfb = None


class WineMachine:
    """A Wine prefix on a virtual X display of the run's own, with vxdesktop
    (tools/desktop-driver) and xdotool to drive its desktop. The prefix is one
    of the run's own (made in about 20 s) unless one is named: the display
    differs from that of any other Wine user all the same. It stops only what
    it started: its Xvfb by pid, and the Wine server of its own prefix."""

    command_seconds = COMMAND_SECONDS

    def __init__(self, run_prefix, win_build, first_display, prefix=None, display_options=()):
        self.driver_exe = os.path.join(win_build, "tools", "desktop-driver", "vxdesktop.exe")
        self.run_dir = make_run_folder(run_prefix)
        self.own_prefix = not prefix
        self.prefix = prefix or os.path.join(self.run_dir, "prefix")
        # No Mono or Gecko installer for a new prefix, no desktop menu entries.
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d")
        self.display = Display(first_display, display_options)

    def start(self, *needed):
        """Starts the display and makes the prefix, once the driver and the
        files in needed are there."""
        for path in (self.driver_exe,) + needed:
            if not os.path.exists(path):
                raise RuntimeError("missing " + path)
        self.env["DISPLAY"] = self.display.start()
        subprocess.run(["wineboot", "-i"], env=self.env, check=True, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The first boot finishes whole before anything else uses the prefix.
        subprocess.run(["wineserver", "-w"], env=self.env, check=True, timeout=300)

    def stop(self):
        if self.own_prefix and self.display.running:
            # Ends the Wine processes of this run's own prefix only.
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        self.display.stop()
        remove_run_folder(self.run_dir)

    def wait_server(self):
        """Waits until the prefix's Wine processes are all gone."""
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)

    def end_server(self):
        """Ends the prefix's Wine server and every Wine process in it."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        self.wait_server()

    def wine(self, *args, env=None):
        """Runs a Windows program to its end; its output in .stdout. The output
        goes through a file, not a pipe: Wine's own background processes,
        started by whichever program needs them first, inherit the standard
        handles and would hold a pipe open."""
        with tempfile.TemporaryFile(mode="w+") as out:
            result = subprocess.run(["wine"] + list(args), env=dict(self.env, **(env or {})),
                                    stdout=out, stderr=subprocess.DEVNULL,
                                    timeout=self.command_seconds)
            out.seek(0)
            result.stdout = out.read()
        return result

    def drive(self, *args):
        """One vxdesktop command."""
        return self.wine(self.driver_exe, *args)

    def must(self, *args):
        """One vxdesktop command that must succeed; its output."""
        result = self.drive(*args)
        if result.returncode != 0:
            raise AssertionError("vxdesktop %s failed (%d)" % (" ".join(args), result.returncode))
        return result.stdout.strip()

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=self.env, capture_output=True,
                              text=True, timeout=self.command_seconds)


class Desktop(WineMachine):
    """vxhid.exe on a Wine desktop of the run's own, with the run folder as its
    program folder, and cncpeer to collect its scans. VXHID_E2E_WINEPREFIX
    names a prefix to reuse; display_options go to Xvfb (e.g. -noreset, so
    that a keyboard map set with setxkbmap holds)."""

    def __init__(self, win_build, cncpeer, run_prefix="vxhid-desktop-", display_options=()):
        super().__init__(run_prefix, win_build, first_display=140,
                         prefix=os.environ.get("VXHID_E2E_WINEPREFIX"),
                         display_options=display_options)
        self.agent_exe = os.path.join(win_build, "vxhid.exe")
        self.cncpeer = CncPeer(cncpeer)
        self.log = Log(os.path.join(self.run_dir, "vxhid.log"))
        self.agent = None
        self.port = None

    def start(self):
        super().start(self.agent_exe, self.cncpeer.path)
        shutil.copy(self.agent_exe, self.run_dir)

    def start_agent(self, *args, env=None):
        """Starts vxhid.exe on 127.0.0.1 and a port of its own (connections
        that an agent before it closed may hold the last one, TIME_WAIT),
        with args after -I and -P and env added to the environment; waits
        for its window and its listener."""
        self.port = free_port()
        self.agent = Agent(["wine", "vxhid.exe", "-I", LOCALHOST, "-P", str(self.port)]
                           + list(args), self.run_dir, env=dict(self.env, **(env or {})))
        if self.drive("find-agent", "20000").returncode != 0:
            raise RuntimeError("the agent's window did not appear")
        self.agent.wait_listening(self.port, 20)

    def kill_agent(self):
        """Ends vxhid.exe hard, then the prefix's Wine server, so that the
        next agent's dialog is not left behind a stale tray window."""
        self.agent.kill()
        self.end_server()

    def stop(self):
        if self.agent is not None and self.agent.poll() is None:
            if self.display.running:
                self.drive("hotkey", "2")
            if self.agent.wait_exit(10) is None:
                self.agent.kill(10)
        super().stop()

    def open_dialog(self):
        """Win+H; the dialog's position and size."""
        self.must("win-h")
        return [int(v) for v in self.must("wait-dialog", "5000").split()]

    def wait_closed(self):
        self.must("wait-no-dialog", "5000")

    def type_scan(self, text):
        """Opens the dialog, types text and Enter, and waits until it closes."""
        self.open_dialog()
        self.must("type", text)
        self.must("keys", "enter")
        self.wait_closed()

    def probe(self):
        return self.cncpeer.probe(self.port)
