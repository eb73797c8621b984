#!/usr/bin/env python3
"""End-to-end tests of the agent's host: start-up, log rotation, listening and
the accept loop, run against the real program in a temporary program folder.

    tests/e2e/test_host.py --agent PATH [--wine] [--tools DIR] [unittest options]

--agent is the native vxhid or vxhid.exe; --wine runs it under Wine, which
then needs WINEPREFIX and DISPLAY set (scripts/with-wine.sh sets both). One
test by name: append e.g. HostTest.test_second_instance_exits_without_touching_the_log.
--tools is a native build folder whose tools/cncpeer/cncpeer and
tools/soak/vxsoak the allowed-peers tests use. Without --tools those tests
are skipped, unless CI is set in the environment; with --tools (as ctest
gives it) a missing tool fails them.

The agent takes its working folder as its program folder, so each agent runs
in a fresh folder where its log files appear. Every agent binds to and every
connection goes to 127.0.0.1, from 127.0.0.1 or, for the allowed-peers
tests, from 127.0.0.2. Each test ends the agents it started, by pid;
Wine's own processes are left to whoever made the prefix.
"""
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import time

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import e2e_support as e2e

TAG = b"TesselMDC::_tWinMain"
TIME_STAMP = rb"[A-Z][a-z]{2}, \d{2} \d{2}:\d{2}:\d{2}"
BEGIN = b"Begin new Session"
FOUND = b"Found Running Session - delete and continue"
ALLOWED = "127.0.0.2"
REFUSED = "127.0.0.1"
ANNOUNCEMENT_LENGTH = 83
NOT_LOGGED = re.compile(
    rb"  \d+ more connections from peers off the allowed list were refused and not logged$")

OPTIONS = None

# The built-in key of the handshake.
BUILT_IN_KEY = b"Lark's ink-well!"
ACK = b"*"


def aes_ecb(key, data, decrypt=False):
    cipher = Cipher(algorithms.AES(key), modes.ECB())
    worker = cipher.decryptor() if decrypt else cipher.encryptor()
    return worker.update(data) + worker.finalize()


class HeldSession:
    """A session of the CNC Service's side that stays open between
    commands: connects from source, completes the handshake, and sends
    commands one at a time when asked."""

    def __init__(self, source, port):
        self.sock = e2e.connect(port, source)
        self.announcement = self.receive(ANNOUNCEMENT_LENGTH)
        self.key = os.urandom(16)
        self.sock.sendall(aes_ecb(BUILT_IN_KEY, self.key))
        response = self.receive(16)
        if aes_ecb(BUILT_IN_KEY, response, decrypt=True)[:8] != self.key[:8]:
            raise AssertionError("the response code does not carry the session key")
        self.sock.sendall(response)
        self.verdict = self.read_frame()

    def receive(self, size):
        data = b""
        while len(data) < size:
            chunk = self.sock.recv(size - len(data))
            if not chunk:
                raise AssertionError("the agent closed the session after %r" % data)
            data += chunk
        return data

    def read_frame(self):
        """The message of the next frame from the agent, acknowledged."""
        header = aes_ecb(self.key, self.receive(16), decrypt=True)
        fill, length = header[0], (header[1] << 8) | header[2]
        body = aes_ecb(self.key, self.receive(length - 16), decrypt=True) if length > 16 else b""
        self.sock.sendall(ACK)
        return body[:len(body) - fill]

    def command(self, text, answered=True):
        """Sends one command; returns its answer frame's message."""
        message = text + b"\r\n"
        fill = (16 - len(message) % 16) % 16
        body = message + b"*" * fill
        length = 16 + len(body)
        header = bytes([fill, length >> 8, length & 0xFF]) + b"*" * 13
        self.sock.sendall(aes_ecb(self.key, header) + aes_ecb(self.key, body))
        if self.receive(1) != ACK:
            raise AssertionError("the agent did not acknowledge " + text.decode())
        return self.read_frame() if answered else None

    def close(self):
        self.sock.close()


def isolated_network_available():
    """Whether a program can be run in a network namespace of its own."""
    try:
        return subprocess.run(["unshare", "-n", "true"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def reset_connection(port):
    """Connects to the agent and resets the connection at once."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    try:
        s.connect(("127.0.0.1", port))
    except OSError:
        pass
    s.close()


def seconds_until(second_of_minute):
    """Seconds from now to the start of the next wall-clock second whose
    second of the minute is the given one; 0 while inside it."""
    now = time.time()
    if time.localtime(now).tm_sec == second_of_minute:
        return 0.0
    start = int(now) + 1
    while time.localtime(start).tm_sec != second_of_minute:
        start += 1
    return start - now


def windows_path(path):
    return "Z:" + path.replace("/", "\\") if OPTIONS.wine else path


class AgentTest(e2e.ProgramFolderTest):
    """A program folder per test, the agents started in it, and helpers."""

    run_prefix = "vxhid-host-e2e-"

    # ---- helpers --------------------------------------------------------------

    def start(self, args, isolated=False):
        command = e2e.agent_command(OPTIONS.agent, args, OPTIONS.wine)
        if isolated:
            command = ["unshare", "-n"] + command
        return self.start_agent(command)

    def start_listening(self, port, args=None):
        if args is None:
            args = ["-I", "127.0.0.1", "-P", str(port), "-D", "3"]
        agent = self.start(args)
        agent.wait_listening(port)
        return agent

    def assertLogLine(self, line, message):
        """A level-3 line of the host: time stamp, two blanks, tag, message."""
        pattern = TIME_STAMP + b"  " + re.escape(TAG + b" " + message)
        self.assertRegex(line, b"^" + pattern + b"$")

    def version_line(self, port):
        return b"Vexmoor Tessel HID (vxhid.exe) version 11.1.0.8 127.0.0.1 CI Port %d" % port

    @staticmethod
    def count(lines, message):
        return sum(1 for line in lines if line.endswith(b" " + message))

    def receive_until_closed(self, s):
        """What the agent sends before it closes the connection."""
        data = b""
        try:
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    return data
                data += chunk
        except ConnectionResetError:
            return data
        except socket.timeout:
            self.fail("the agent keeps the connection open; it sent %r" % data)

    def tool(self, name):
        """A native tool; skips the test only when run by hand without
        --tools, and fails it when the tools were asked for or under CI."""
        if not OPTIONS.tools:
            if os.environ.get("CI"):
                self.fail("CI is set but no --tools folder with the native cncpeer and vxsoak")
            self.skipTest("no --tools folder with the native cncpeer and vxsoak")
        path = e2e.native_tool(OPTIONS.tools, name)
        if not os.path.exists(path):
            self.fail("no %s in %s (build it there first)" % (name, OPTIONS.tools))
        return path

    def hold_session(self, source, port):
        """An authenticated session from source that the test keeps open."""
        session = HeldSession(source, port)
        self.addCleanup(session.close)
        self.assertEqual(b"100 Confirmed", session.verdict)
        self.assertEqual(b"", session.command(b"PRBE"))
        return session

    def check_held_session_answers(self, session):
        """The held session was neither replaced nor disturbed: PRBE is
        answered and QUIT ends it as always."""
        self.assertEqual(b"", session.command(b"PRBE"))
        self.assertEqual(b"100", session.command(b"QUIT"))

    def cncpeer(self, port, source, *commands):
        return e2e.CncPeer(self.tool("cncpeer")).run(port, *commands, bind=source)

    def check_refusal(self, port, lines_before):
        """A connection from 127.0.0.1 is closed without the announcement,
        with its level-1 line, and without the accept loop's session lines."""
        refused = e2e.connect(port, REFUSED)
        self.addCleanup(refused.close)
        refused_port = refused.getsockname()[1]
        self.assertEqual(b"", self.receive_until_closed(refused))
        line = b"Refused a connection from 127.0.0.1 port %d: not an allowed peer" % refused_port
        lines = self.log.wait(lambda lines: self.count(lines, line) == 1, "the refusal line")
        self.assertLogLine([l for l in lines if l.endswith(line)][0], line)
        self.assertEqual(self.count(lines_before, BEGIN), self.count(lines, BEGIN))
        self.assertEqual(self.count(lines_before, FOUND), self.count(lines, FOUND))
        return lines


class HostTest(AgentTest):
    def test_start_rotates_the_log_and_begins_with_the_version_line(self):
        previous = b"Dec, 01 10:00:00  line of the previous run\r\n"
        self.write("vxhid.log", previous)
        self.write("vxhidLog.sav", b"Nov, 30 09:00:00  line of an older run\r\n")
        port = e2e.free_port()
        self.start_listening(port)

        self.assertEqual(previous, self.read("vxhidLog.sav"))
        lines = self.log.wait(
            lambda lines: any(b"Listening on the DNC Socket, port %d" % port in line
                              for line in lines), "the listening line")
        self.assertLogLine(lines[0], self.version_line(port))
        self.assertEqual(1, sum(1 for line in lines if b"Vexmoor Tessel HID" in line))

    def test_connections_in_turn_replace_the_session(self):
        port = e2e.free_port()
        self.start_listening(port)
        # No previous log: nothing to save, a fresh log all the same.
        self.assertIsNone(self.read("vxhidLog.sav"))
        self.assertLogLine(self.log.wait(len, "a first line")[0], self.version_line(port))

        first = socket.create_connection(("127.0.0.1", port), timeout=e2e.LOG_SECONDS)
        self.addCleanup(first.close)
        lines = self.log.wait(lambda lines: self.count(lines, BEGIN) == 1, "the first session")
        self.assertEqual(0, self.count(lines, FOUND))

        second = socket.create_connection(("127.0.0.1", port), timeout=e2e.LOG_SECONDS)
        self.addCleanup(second.close)
        lines = self.log.wait(lambda lines: self.count(lines, BEGIN) == 2, "the second session")
        session_lines = [line for line in lines if line.endswith(BEGIN) or line.endswith(FOUND)]
        self.assertEqual(3, len(session_lines))
        for line, message in zip(session_lines, [BEGIN, FOUND, BEGIN]):
            self.assertLogLine(line, message)

        # The replaced session's connection is closed by the agent; whatever
        # it sent before that does not matter here.
        first.settimeout(e2e.LOG_SECONDS)
        try:
            while first.recv(4096):
                pass
        except ConnectionResetError:
            pass
        except socket.timeout:
            self.fail("the first connection stays open after the second one was accepted")

    def test_second_instance_exits_without_touching_the_log(self):
        port = e2e.free_port()
        running = self.start_listening(port)
        listening_line = b"Listening on the DNC Socket, port %d" % port
        self.log.wait(lambda lines: any(listening_line in line for line in lines),
                      "the listening line")
        before = self.read("vxhid.log")

        second = self.start(["-I", "127.0.0.1", "-P", str(port), "-D", "3"])
        code = second.wait_exit()
        self.assertIsNotNone(code, "the second instance is still running")
        self.assertEqual(0, code, second.output())

        # Its connection test is the running agent's next session; the log
        # was neither rotated nor started again.
        lines = self.log.wait(lambda lines: self.count(lines, BEGIN) == 1,
                              "the session of the connection test")
        self.assertTrue(self.read("vxhid.log").startswith(before))
        self.assertIsNone(self.read("vxhidLog.sav"))
        self.assertEqual(1, sum(1 for line in lines if b"Vexmoor Tessel HID" in line))
        self.assertIsNone(running.poll())
        self.assertTrue(e2e.listening(port))

    def test_one_line_ini_ends_the_program_without_a_log(self):
        # Should the file be accepted after all, the agent would bind to the
        # machine's first address: the native program then runs without a
        # network. Under Wine the Wine server owns the sockets, so that cannot
        # be done there.
        isolated = not OPTIONS.wine and isolated_network_available()
        self.write("ini.txt", b"%d\n" % e2e.free_port())
        agent = self.start([], isolated=isolated)
        code = agent.wait_exit()
        self.assertIsNotNone(code, "the agent is still running")
        self.assertEqual(0, code, agent.output())
        self.assertEqual(["ini.txt"], sorted(os.listdir(self.folder)))


    def test_restart_listens_again_at_once_on_the_port_it_served(self):
        # The agent closes the connection itself after QUIT, which keeps its
        # port in TIME_WAIT for a while; a failed update and QUIT end it.
        port = e2e.free_port()
        args = ["-I", "127.0.0.1", "-P", str(port)]
        first = self.start_listening(port, args)
        session = HeldSession("127.0.0.1", port)
        self.addCleanup(session.close)
        self.assertEqual(b"100 Confirmed", session.verdict)
        self.assertEqual(b"200\r\n", session.command(b"UPDT"))
        self.assertEqual(b"100", session.command(b"QUIT"))
        self.assertEqual(0, first.wait_exit())
        self.start_listening(port, args)

    def test_program_folder_option(self):
        # -F names the program folder, made when missing; its environment
        # variables are expanded, and no letter of the path is an option.
        profile = os.path.join(self.root, "Users", "JEAN-PIERRE X1")
        os.environ["VXHID_E2E_PROFILE"] = windows_path(profile)
        self.addCleanup(os.environ.pop, "VXHID_E2E_PROFILE", None)
        sep = "\\" if OPTIONS.wine else "/"
        port = e2e.free_port()
        self.start_listening(port, ["-F", "%VXHID_E2E_PROFILE%" + sep + "vxhid",
                                    "-I", "127.0.0.1", "-P", str(port), "-D", "3"])
        folder = os.path.join(profile, "vxhid")
        self.folder = folder
        self.log = e2e.Log(self.path("vxhid.log"))
        lines = self.log.wait(len, "the version line")
        self.assertLogLine(lines[0], self.version_line(port))
        for name in ("vxhid.scans", "vxhid.scans.lock"):
            self.assertTrue(os.path.exists(os.path.join(folder, name)), name)
        # Nothing in the folder the agent was started in.
        self.assertEqual([], os.listdir(os.path.join(self.root, "program")))


class ResetStormTest(AgentTest):
    """Connections reset as fast as they go, over the second of the minute
    that the log's loop guard watches: the agent lives on, its log holds at
    most about 100 lines of the accept loop and 100 of sessions in any
    second, a line soon after the storm counts those left out, and a session
    works as before."""

    def storm(self, level):
        port = e2e.free_port()
        agent = self.start_listening(port, ["-I", "127.0.0.1", "-P", str(port), "-D", level])
        guard_second = int(self.log.wait(len, "the version line")[0][14:16])
        # Start half a second before the guard's second (within it, at once)
        # and go on until half a second after it.
        now = time.time()
        start = now + seconds_until(guard_second)
        end = (start if start > now else int(now)) + 1.5
        time.sleep(max(0.0, start - 0.5 - time.time()))
        connections = 0
        while time.time() < end:
            reset_connection(port)
            connections += 1
        self.assertGreater(connections, 300)
        self.assertIsNone(agent.poll(), "the agent ended; its log ends with %r"
                          % self.log.lines()[-2:])

        counted = re.compile(rb"  (TesselDNC::writeLog )?\d+ lines caused by peer connections "
                             rb"were not logged: more than 100 in a second$")
        lines = self.log.wait(lambda lines: any(counted.search(l) for l in lines),
                              "the count of the lines left out")
        self.assertFalse(any(b"seems to be in a loop" in line for line in lines))
        per_second = {}
        for line in lines[1:]:
            per_second[line[:16]] = per_second.get(line[:16], 0) + 1
        # 100 of the accept loop's and 100 of the sessions', with their counts.
        self.assertLessEqual(max(per_second.values()), 205, per_second)
        # A session after the storm is served as always, once the agent has
        # worked through the connections still waiting (under Wine that
        # takes a while): its log stays quiet for two seconds.
        deadline, size, quiet_since = time.time() + 300, -1, time.time()
        while time.time() - quiet_since < 2:
            self.assertLess(time.time(), deadline, "the agent does not catch up")
            current = len(self.log.data())
            if current != size:
                size, quiet_since = current, time.time()
            time.sleep(0.2)
        session = HeldSession("127.0.0.1", port)
        self.addCleanup(session.close)
        self.assertEqual(b"100 Confirmed", session.verdict)
        self.assertEqual(b"", session.command(b"PRBE"))
        self.assertEqual(b"100", session.command(b"QUIT"))
        self.assertIsNone(agent.poll())

    def test_level_1(self):
        self.storm("1")

    def test_level_3(self):
        self.storm("3")


class AllowedPeersTest(AgentTest):
    """The allowed-peers list (-A or the properties file's fifth line)."""

    def test_allowed_peer_is_served_and_others_are_refused(self):
        port = e2e.free_port()
        self.start_listening(port, ["-I", "127.0.0.1", "-P", str(port), "-D", "3",
                                    "-A", ALLOWED])
        held = self.hold_session(ALLOWED, port)
        allowed_port = held.sock.getsockname()[1]
        peer_line = b"Connection from 127.0.0.2 port %d" % allowed_port
        lines = self.log.wait(lambda lines: self.count(lines, BEGIN) == 1, "the allowed session")
        self.assertLogLine([l for l in lines if l.endswith(peer_line)][0], peer_line)
        self.assertLess(lines.index([l for l in lines if l.endswith(peer_line)][0]),
                        lines.index([l for l in lines if l.endswith(BEGIN)][0]))

        lines = self.check_refusal(port, lines)
        self.assertEqual(0, self.count(lines, FOUND))
        # The allowed peer's session was left alone: it still answers.
        self.check_held_session_answers(held)

        # The allowed peer's next session is served as always; cncpeer from
        # 127.0.0.1 gets no announcement.
        served = self.cncpeer(port, ALLOWED, "PRBE", "QUIT")
        self.assertEqual(0, served.returncode, served.stderr)
        self.assertEqual("", served.answer("PRBE"))
        turned_away = self.cncpeer(port, REFUSED, "PRBE")
        self.assertEqual(3, turned_away.returncode, turned_away.stdout)
        self.assertNotIn("announcement", turned_away.stdout)
        self.assertIn("may be off the agent's allowed-peers list", turned_away.stderr)
        lines = self.log.wait(lambda lines: self.count(lines, b"not an allowed peer") == 2,
                              "the second refusal")
        self.assertEqual(2, self.count(lines, BEGIN))
        self.assertEqual(1, self.count(lines, FOUND))

    def test_fifth_line_of_the_properties_file(self):
        # With a command line the agent reads the file that the whole
        # (upper-cased) command line names; this one also gives -I and -D,
        # and its "-a" inside a word is no -A. Blanks around the list and
        # the CR LF line ends do not count.
        args = ["-I", "127.0.0.1", "-D", "3", "vx-agent.txt"]
        port = e2e.free_port()
        self.write(" ".join(args).upper(),
                   b"%d\r\n.\r\n5000\r\n5000\r\n %s \r\n" % (port, ALLOWED.encode()))
        self.start_listening(port, args)
        lines = self.log.wait(lambda lines: any(b"Listening on the DNC Socket" in l for l in lines),
                              "the listening line")
        self.assertEqual(1, self.count(lines, b"Allowed peers: 127.0.0.2"))
        held = self.hold_session(ALLOWED, port)
        lines = self.log.wait(lambda lines: self.count(lines, BEGIN) == 1, "the allowed session")
        self.check_refusal(port, lines)
        self.check_held_session_answers(held)
        served = self.cncpeer(port, ALLOWED, "PRBE", "QUIT")
        self.assertEqual(0, served.returncode, served.stderr)
        self.log.wait(lambda lines: self.count(lines, BEGIN) == 2, "the next allowed session")

    def test_a_note_on_the_fifth_line_is_ignored_as_before(self):
        # Older versions ignored a fifth line: a note there keeps starting,
        # and every peer is allowed.
        args = ["-I", "127.0.0.1", "-D", "3", "vx-agent.txt"]
        port = e2e.free_port()
        self.write(" ".join(args).upper(),
                   b"%d\r\n.\r\n5000\r\n5000\r\nCNC Service at 127.0.0.2\r\n" % port)
        self.start_listening(port, args)
        served = self.cncpeer(port, REFUSED, "PRBE", "QUIT")
        self.assertEqual(0, served.returncode, served.stderr)
        lines = self.log.wait(lambda lines: self.count(lines, BEGIN) == 1, "the session")
        self.assertFalse(any(b"Allowed peers" in line for line in lines), lines)

    def test_an_update_passes_the_list_on(self):
        # UPDT starts the new service program with the list in force: here
        # the agent itself, which then still refuses peers off the list.
        # (Natively and under Wine alike; the program it starts is ended by
        # its process id, found through its command line.)
        agent_copy = "vxdnc.update"
        shutil.copy(OPTIONS.agent, self.path(agent_copy))
        self.write("vxdnc.exe", b"the service program before the update")
        port = e2e.free_port()
        self.start_listening(port, ["-I", "127.0.0.1", "-P", str(port), "-D", "3",
                                    "-A", ALLOWED])
        session = self.hold_session(ALLOWED, port)
        self.addCleanup(self.end_started_service_program)
        session.command(b"UPDT", answered=False)  # the agent ends: no answer comes
        # The restarted program waits 6 s, then starts a fresh log and saves
        # the agent's, which ends with the parameters it was given.
        deadline = time.time() + e2e.START_SECONDS
        while b"Renames are done" not in (self.read("vxhidLog.sav") or b""):
            self.assertLess(time.time(), deadline, "the updated program does not start")
            time.sleep(0.2)
        self.assertIn(b"-X -P %d -I 127.0.0.1 -A 127.0.0.2\r\n" % port,
                      self.read("vxhidLog.sav"))
        # It runs at the default level: its refusals show the list.
        self.log.wait(len, "the restarted program's version line")
        while not e2e.listening(port):
            self.assertLess(time.time(), deadline, "the updated program does not listen")
            time.sleep(0.1)
        refused = e2e.connect(port, REFUSED)
        self.addCleanup(refused.close)
        self.assertEqual(b"", self.receive_until_closed(refused))
        self.log.wait(lambda lines: any(l.endswith(b"Refused a connection from 127.0.0.1 port %d: "
                                                   b"not an allowed peer"
                                                   % refused.getsockname()[1]) for l in lines),
                      "the refusal line")

    def started_service_program(self):
        """Process ids of the vxdnc.exe the update started in this folder."""
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    command = f.read()
            except OSError:
                continue
            if b"vxdnc.exe" in command and (self.folder.encode() in command or OPTIONS.wine
                                            and os.readlink("/proc/%s/cwd" % pid) == self.folder):
                found.append(int(pid))
        return found

    def end_started_service_program(self):
        for pid in self.started_service_program():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def test_malformed_lists_end_the_start(self):
        seventeen = ",".join("10.0.0.%d" % i for i in range(1, 18))
        too_long = ",".join(["100.100.100.100"] * 15 + ["100.100.100.1000"])
        not_address = b"Allowed peers list entry \"%s\" is not an IPv4 address"
        file_args = ["-I", "127.0.0.1", "-D", "3"]
        # (options after -I, -P and -D, or None for the properties file;
        #  the list; the line that must end the log)
        cases = [
            (["-A"], None, b"Allowed peers list is empty"),
            (["-A", "-P", "1"], None, b"Allowed peers list is empty"),
            (["-A", "127.0.0.2,"], None, not_address % b""),
            (["-A", "127.0.0.2,,127.0.0.3"], None, not_address % b""),
            (["-a", "localhost"], None, not_address % b"LOCALHOST"),
            (["-A", "127.0.0.2;127.0.0.3"], None, not_address % b"127.0.0.2;127.0.0.3"),
            (["-A", seventeen], None,
             b"Allowed peers list has more than 16 addresses, at entry \"10.0.0.17\""),
            (["-A", too_long], None,
             b"Allowed peers list is longer than 255 characters, at entry \"100.100.100.1000\""),
            (None, "-A localhost", not_address % b"localhost"),
            (None, "127.0.0.2,,127.0.0.3", not_address % b""),
            (None, "127.0.0.2, 127.0.0.3", not_address % b" 127.0.0.3"),
            (None, seventeen, b"Allowed peers list has more than 16 addresses, at entry "
                              b"\"10.0.0.17\""),
            (None, too_long,
             b"Allowed peers list is longer than 255 characters, at entry \"100.100.100.1000\""),
        ]
        for options, file_list, message in cases:
            with self.subTest(options=options, file_list=file_list):
                for name in os.listdir(self.folder):
                    os.remove(self.path(name))
                port = e2e.free_port()
                if options is None:
                    args = file_args
                    self.write(" ".join(args), b"%d\r\n.\r\n5000\r\n5000\r\n%s\r\n"
                               % (port, file_list.encode()))
                else:
                    args = ["-I", "127.0.0.1", "-P", str(port), "-D", "3"] + options
                agent = self.start(args)
                code = agent.wait_exit()
                self.assertEqual(0, code, agent.output())
                lines = self.log.lines()
                self.assertGreaterEqual(len(lines), 2, lines)
                self.assertIn(b"Vexmoor Tessel HID", lines[0])
                self.assertLogLine(lines[-1], message)
                self.assertFalse(any(b"Listening" in line for line in lines), lines)
                self.assertFalse(e2e.listening(port))

    def test_storm_of_refused_peers_while_the_allowed_session_polls(self):
        """A short form of the soak's refused phase: bursts of connections
        from 127.0.0.1 for a few seconds while a session from 127.0.0.2
        polls PRBE; vxsoak fails on any missed answer, any byte sent to a
        refused peer, or a replaced session."""
        vxsoak = self.tool("vxsoak")
        port = e2e.free_port()
        agent = self.start_listening(port, ["-I", "127.0.0.1", "-P", str(port), "-D", "1",
                                            "-A", ALLOWED])
        first = self.log.wait(len, "the version line")[0]
        # The refusal lines are limited per second, so natively the storm
        # runs without pacing, right after the start, whose second is the
        # log guard's. Under Wine a refused peer that resets before the
        # accept makes the accept fail, and each failed accept writes the
        # socket layer's level-1 line; there the driver keeps quiet around
        # the guard's second.
        pacing = ["--guard-second", first[14:16].decode()] if OPTIONS.wine else []
        run = subprocess.run([vxsoak, "--port", str(port)] + pacing +
                             ["--seconds", "3", "--seed", "1", "--phases", "refused",
                              "--source", ALLOWED, "--refused-source", REFUSED],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=e2e.START_SECONDS)
        self.assertEqual(0, run.returncode, run.stdout.decode("latin-1"))
        figures = re.search(rb"refused=(\d+) polls=(\d+)", run.stdout)
        self.assertGreater(int(figures.group(1)), 100, run.stdout)
        self.assertGreater(int(figures.group(2)), 0, run.stdout)
        lines = self.log.lines()
        self.assertGreater(self.count_refusals(lines), 0)
        self.assertTrue(any(NOT_LOGGED.search(line) for line in lines), lines[-20:])
        # At most ten refusal lines a second, and one that counts the rest.
        per_second = {}
        for line in lines:
            if line.endswith(b": not an allowed peer") or NOT_LOGGED.search(line):
                per_second[line[:16]] = per_second.get(line[:16], 0) + 1
        self.assertLessEqual(max(per_second.values()), 11, per_second)
        self.assertFalse(any(b"seems to be in a loop" in line for line in lines))
        self.assertIsNone(agent.poll())

    @staticmethod
    def count_refusals(lines):
        return sum(1 for line in lines if line.endswith(b": not an allowed peer"))


def parse_options():
    parser = e2e.option_parser()
    e2e.add_agent_options(parser)
    parser.add_argument("--tools")
    return e2e.parse_options(parser, paths=("agent", "tools"), existing=("agent",))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
