#!/usr/bin/env python3
"""End-to-end tests of the agent's desktop side: vxhid.exe runs under Wine on a
virtual X display of its own; vxdesktop.exe (tools/desktop-driver) and xdotool
drive the desktop; the cncpeer tool collects the scans over TCP on 127.0.0.1.

    tests/e2e/test_desktop.py [--win-build DIR] [--cncpeer PATH] [unittest options]

--win-build is the Windows build folder holding vxhid.exe and
tools/desktop-driver/vxdesktop.exe (default build/windows); --cncpeer the
native cncpeer program (default build/native/tools/cncpeer/cncpeer). Needs
wine64, Xvfb and xdotool. Each run uses its own Wine prefix (a temporary one
unless VXHID_E2E_WINEPREFIX names one to reuse) and its own display, and stops
only what it started. The tests run in the order of their numbers: they share
one agent, and the last one ends it.
"""
import argparse
import json
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

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DIALOG_TITLE = "Vexmoor HID"
COMMAND_TIMEOUT = 60
# The hot-key identifier that drops the agent's keyboard hook, as Windows
# does with a hook that overran its time-out; only when the environment
# variable below enables it.
DROP_HOOK_HOT_KEY = "32343"
REINSTALL_LINE = "Keyboard hook no longer receives keys - installed again"
TRAY_LINE = "Task bar created - tray icon added again"


class Desktop:
    """The display, the Wine prefix, the agent and the tools that drive them."""

    def __init__(self, win_build, cncpeer):
        self.agent_exe = os.path.join(win_build, "vxhid.exe")
        self.driver_exe = os.path.join(win_build, "tools", "desktop-driver", "vxdesktop.exe")
        self.cncpeer = cncpeer
        self.run_dir = tempfile.mkdtemp(prefix="vxhid-desktop-")
        self.own_prefix = "VXHID_E2E_WINEPREFIX" not in os.environ
        # A prefix of its own (made in about 20 s) unless one is named: this
        # run's display differs from that of any other Wine user.
        prefix = os.environ.get("VXHID_E2E_WINEPREFIX") or os.path.join(self.run_dir, "prefix")
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d")
        self.xvfb = None
        self.agent = None
        self.port = None

    # ---- start and stop -------------------------------------------------------

    def start(self):
        for path in (self.agent_exe, self.driver_exe, self.cncpeer):
            if not os.path.exists(path):
                raise RuntimeError("missing " + path)
        self._start_display()
        subprocess.run(["wineboot", "-i"], env=self.env, check=True, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, check=True, timeout=300)
        shutil.copy(self.agent_exe, self.run_dir)
        self.port = free_port()
        # Log level 3, for the tray icon's line; the hot key that drops the
        # keyboard hook enabled for this agent only.
        self.agent = subprocess.Popen(
            ["wine", "vxhid.exe", "-I", "127.0.0.1", "-P", str(self.port), "-D", "3"],
            cwd=self.run_dir, env=dict(self.env, VXHID_TEST_HOOK_DROP="1"),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.drive("find-agent", "20000").returncode != 0:
            raise RuntimeError("the agent's window did not appear")
        wait_for_port(self.port, 20)

    def _start_display(self):
        for number in range(140, 240):
            if os.path.exists("/tmp/.X%d-lock" % number) or \
                    os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.time() + 10
            while time.time() < deadline and xvfb.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    self.xvfb = xvfb
                    self.env["DISPLAY"] = ":%d" % number
                    return
                time.sleep(0.1)
            if xvfb.poll() is None:
                xvfb.kill()
                xvfb.wait()
        raise RuntimeError("no free X display")

    def stop(self):
        if self.agent is not None and self.agent.poll() is None:
            if self.xvfb is not None:
                self.drive("hotkey", "2")
            try:
                self.agent.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.agent.kill()
                self.agent.wait(timeout=10)
        if self.own_prefix and self.xvfb is not None:
            # Ends the Wine processes of this run's own prefix only.
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)
        if os.environ.get("VXHID_E2E_KEEP") == "1":
            print("kept " + self.run_dir, file=sys.stderr)
        else:
            shutil.rmtree(self.run_dir, ignore_errors=True)

    # ---- driving --------------------------------------------------------------

    def drive(self, *args):
        # Output goes through a file, not a pipe: Wine's own background
        # processes, started by whichever program needs them first, inherit
        # the standard handles and would hold a pipe open.
        with tempfile.TemporaryFile(mode="w+") as out:
            result = subprocess.run(["wine", self.driver_exe] + list(args), env=self.env,
                                    stdout=out, stderr=subprocess.DEVNULL,
                                    timeout=COMMAND_TIMEOUT)
            out.seek(0)
            result.stdout = out.read()
        return result

    def must(self, *args):
        result = self.drive(*args)
        if result.returncode != 0:
            raise AssertionError("vxdesktop %s failed (%d)" % (" ".join(args),
                                                              result.returncode))
        return result.stdout.strip()

    def open_dialog(self):
        self.must("win-h")
        return [int(v) for v in self.must("wait-dialog", "5000").split()]

    def wait_closed(self):
        self.must("wait-no-dialog", "5000")

    def log_lines(self, text):
        with open(os.path.join(self.run_dir, "vxhid.log"), encoding="latin-1") as log:
            return [line for line in log if text in line]

    def wait_log_lines(self, text, count, seconds):
        deadline = time.time() + seconds
        while len(self.log_lines(text)) < count and time.time() < deadline:
            time.sleep(0.1)
        return len(self.log_lines(text))

    def tray_visible(self):
        return self.xdotool("search", "--onlyvisible", "--name",
                            "Wine System Tray").returncode == 0

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=self.env, capture_output=True,
                              text=True, timeout=COMMAND_TIMEOUT)

    def probe(self):
        """The answer to one PRBE, through a session of its own."""
        result = subprocess.run([self.cncpeer, "--host", "127.0.0.1", "--port", str(self.port),
                                 "PRBE", "QUIT"], capture_output=True, text=True,
                                timeout=COMMAND_TIMEOUT)
        if result.returncode != 0:
            raise AssertionError("cncpeer failed (%d): %s" % (result.returncode, result.stderr))
        match = re.search(r'^PRBE -> "(.*)"$', result.stdout, re.MULTILINE)
        if match is None:
            raise AssertionError("no PRBE answer in: " + result.stdout)
        return unescape(match.group(1))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, seconds):
    deadline = time.time() + seconds
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                pass
            # The agent serves one session at a time and replaces this one at
            # the next connection.
            return
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.2)


def unescape(text):
    """Undoes cncpeer's C escapes: \\r \\n \\t \\\\ \\" and \\xHH."""
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


DESKTOP = None


def setUpModule():
    global DESKTOP
    DESKTOP = Desktop(OPTIONS.win_build, OPTIONS.cncpeer)
    try:
        DESKTOP.start()
    except Exception:
        DESKTOP.stop()
        raise


def tearDownModule():
    if DESKTOP is not None:
        DESKTOP.stop()


class DesktopTest(unittest.TestCase):
    def setUp(self):
        self.d = DESKTOP
        self.assertEqual("0", self.d.must("count-dialogs"), "a dialog was left open")

    def test_01_resources(self):
        lines = self.d.must("resources", self.d.agent_exe).splitlines()
        self.assertEqual([
            "icon group=101 images=1",
            "image width=32 height=32 colours=16 planes=1 bits=4 id=1",
            "dialog style=0x10c812d3 exstyle=0x0 x=10 y=10 cx=186 cy=90 menu= class= "
            "caption=Vexmoor HID font=8,MS Sans Serif items=4",
            "item id=1000 class=#129 style=0x50810080 exstyle=0x0 x=13 y=25 cx=153 cy=23 text=",
            "item id=1 class=#128 style=0x50010001 exstyle=0x0 x=73 y=69 cx=50 cy=14 text=OK",
            "item id=2 class=#128 style=0x50010000 exstyle=0x0 x=128 y=69 cx=50 cy=14 "
            "text=Cancel",
            "item id=-1 class=#130 style=0x50020000 exstyle=0x0 x=13 y=14 cx=134 cy=8 "
            "text=Type or  Scan Barcode, RFID or QR Code",
            "accel flags=0x1b key=0x50 command=103",  # VIRTKEY NOINVERT CONTROL ALT, P
            "version 11.1.0.8",
        ], lines)

    def test_01b_tray_icon_is_shown(self):
        # With no tray on the X server, Wine shows tray icons in a window of
        # its own, visible only while it holds an icon.
        found = self.d.xdotool("search", "--onlyvisible", "--name", "Wine System Tray")
        self.assertEqual(0, found.returncode, "no visible tray window")

    def test_02_win_h_opens_the_dialog_centred_and_in_front(self):
        x, y, width, height = self.d.open_dialog()
        left, top, right, bottom = [int(v) for v in self.d.must("work-area").split()]
        self.assertEqual((0, 0), (left, top))
        self.assertEqual((right // 2 - width // 2, bottom // 2 - height // 2), (x, y))
        self.assertEqual(DIALOG_TITLE, self.d.must("foreground"))
        self.d.must("keys", "escape")
        self.d.wait_closed()
        self.assertEqual("", self.d.probe())

    def test_03_typed_text_and_enter_give_one_scan(self):
        self.d.open_dialog()
        self.d.must("type", "Scan-0042 ok!")
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("Scan-0042 ok!\n", self.d.probe())
        self.assertEqual("", self.d.probe())

    def test_04_tab_ok_and_empty_enter_commit(self):
        self.d.open_dialog()
        self.d.must("type", "tab1")
        self.d.must("keys", "tab")
        self.d.wait_closed()
        self.d.open_dialog()
        self.d.must("type", "ok2")
        self.d.must("click", "1")
        self.d.wait_closed()
        # One Enter press on an empty dialog commits exactly one empty scan.
        self.d.open_dialog()
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("tab1\nok2\n\n", self.d.probe())

    def test_05_cancel_escape_and_close_box_keep_the_pending_text(self):
        self.d.open_dialog()
        self.d.must("type", "c1")
        self.d.must("click", "2")
        self.d.wait_closed()
        self.d.open_dialog()
        self.d.must("type", "e2")
        self.d.must("keys", "escape")
        self.d.wait_closed()
        self.d.open_dialog()
        self.d.must("type", "x3")
        self.d.must("close-dialog")
        self.d.wait_closed()
        self.assertEqual("", self.d.probe())
        self.d.open_dialog()
        self.d.must("type", "end")
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("c1e2x3end\n", self.d.probe())

    def test_06_win_h_while_open_opens_no_second_dialog(self):
        self.d.open_dialog()
        self.d.must("win-h")
        self.d.must("hotkey", "1")
        self.d.must("hotkey", "2")  # dispatched by the dialog's loop and ignored
        time.sleep(1)
        self.assertEqual("1", self.d.must("count-dialogs"))
        self.assertIsNone(self.d.agent.poll())
        # The H of the second Win+H is a shortcut, not typing.
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("\n", self.d.probe())

    def test_07_typing_into_another_window_adds_nothing(self):
        other = subprocess.Popen(["wine", self.d.driver_exe, "window", "Other window", "8000"],
                                 env=self.d.env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            self.d.must("focus", "Other window", "5000")
            self.d.must("type", "zzz")
            self.d.must("keys", "enter", "tab")
            time.sleep(0.5)
            self.assertEqual("", self.d.probe())
        finally:
            other.wait(timeout=COMMAND_TIMEOUT)
        # Shift was followed all along: it is not left stuck down.
        self.d.open_dialog()
        self.d.must("type", "Aa")
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("Aa\n", self.d.probe())

    def test_08_xdotool_typing_into_the_focused_dialog(self):
        self.d.open_dialog()
        found = self.d.xdotool("search", "--name", DIALOG_TITLE)
        self.assertEqual(0, found.returncode)
        window = found.stdout.split()[0]
        self.d.xdotool("windowfocus", "--sync", window)
        self.d.xdotool("type", "--delay", "30", "Xdo-Tool 42#")
        self.d.xdotool("key", "Return")
        self.d.wait_closed()
        self.assertEqual("Xdo-Tool 42#\n", self.d.probe())

    def test_09_a_300_character_scan_arrives_whole(self):
        text = ("0123456789abcdefghijklmnopqrstuvwxyz" * 9)[:300]
        self.d.open_dialog()
        self.d.must("type", text)
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual(text + "\n", self.d.probe())

    def test_10_other_hot_key_identifiers_do_nothing(self):
        self.d.must("hotkey", "7")
        time.sleep(0.5)
        self.assertEqual("0", self.d.must("count-dialogs"))
        self.assertIsNone(self.d.agent.poll())

    def test_11_keys_arrive_as_the_edit_box_shows_them_with_caps_lock_off_and_on(self):
        # What the operator sees in the box is the oracle: Caps Lock changes
        # letters only, Shift+1 stays "!" and Shift+; stays ":". Caps Lock is
        # off on a new display; each capslock press toggles it.
        caps_lock_on = False
        try:
            for shown in ("Ab!:1z", "aB!:1Z"):
                self.d.open_dialog()
                self.d.must("type", "Ab!:1z")
                box = self.d.must("edit-text")
                self.d.must("keys", "enter")
                self.d.wait_closed()
                self.assertEqual(shown, box)
                self.assertEqual(box + "\n", self.d.probe())
                if shown == "Ab!:1z":
                    self.d.must("keys", "capslock")
                    caps_lock_on = True
        finally:
            # Off again for the tests after this one, only if it was turned on.
            if caps_lock_on:
                self.d.must("keys", "capslock")

    def test_12_win_h_adds_nothing_to_the_scan(self):
        self.d.open_dialog()
        self.d.must("type", "AB")
        self.d.must("win-h")
        self.d.must("type", "C")
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("ABC\n", self.d.probe())

    def test_13_a_dropped_keyboard_hook_is_installed_again_without_losing_keys(self):
        self.assertEqual(0, len(self.d.log_lines(REINSTALL_LINE)))
        # Found by the watchdog's timer while the operator is typing.
        self.d.must("hotkey", DROP_HOOK_HOT_KEY)
        self.d.open_dialog()
        self.d.must("type", "Lost-")
        self.assertEqual(1, self.d.wait_log_lines(REINSTALL_LINE, 1, 5))
        self.d.must("type", "Hook 77")
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("Lost-Hook 77\n", self.d.probe())
        # Found when Enter reaches the dialog's OK button before any timer:
        # a reader types a scan and Enter in one burst.
        self.d.open_dialog()
        self.d.must("hotkey", DROP_HOOK_HOT_KEY)
        self.d.must("scan", "Quick!")
        self.d.wait_closed()
        self.assertEqual("Quick!\n", self.d.probe())
        self.assertEqual(2, self.d.wait_log_lines(REINSTALL_LINE, 2, 5))
        # A hook that works is left alone.
        self.d.open_dialog()
        self.d.must("type", "Kept")
        time.sleep(1.5)
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("Kept\n", self.d.probe())
        time.sleep(1)
        self.assertEqual(2, len(self.d.log_lines(REINSTALL_LINE)))

    def test_14_the_tray_icon_comes_back_when_the_task_bar_is_created_again(self):
        self.assertTrue(self.d.tray_visible())
        self.d.must("tray-delete")
        deadline = time.time() + 5
        while self.d.tray_visible() and time.time() < deadline:
            time.sleep(0.2)
        self.assertFalse(self.d.tray_visible(), "the tray window stayed with no icon")
        self.d.must("taskbar-created")
        self.assertEqual(1, self.d.wait_log_lines(TRAY_LINE, 1, 5))
        deadline = time.time() + 5
        while not self.d.tray_visible() and time.time() < deadline:
            time.sleep(0.2)
        self.assertTrue(self.d.tray_visible())

    def test_15_watch_collects_typed_scans_in_order_once_each(self):
        out_path = os.path.join(self.d.run_dir, "watch.out")
        err_path = os.path.join(self.d.run_dir, "watch.err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            watch = subprocess.Popen([self.d.cncpeer, "watch", "--host", "127.0.0.1", "--port",
                                      str(self.d.port), "--interval", "200", "--json"],
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            scans = ["W-001", "w 002 Two", "", "W-004"]
            for scan in scans:
                self.d.open_dialog()
                if scan:
                    self.d.must("type", scan)
                self.d.must("keys", "enter")
                self.d.wait_closed()
            deadline = time.time() + 20
            while time.time() < deadline:
                with open(out_path, "rb") as f:
                    if f.read().count(b"\n") >= len(scans):
                        break
                time.sleep(0.2)
            time.sleep(1.5)  # several more probes: nothing comes twice
            watch.send_signal(signal.SIGTERM)
            self.assertEqual(0, watch.wait(timeout=15))
        finally:
            if watch.poll() is None:
                watch.kill()
                watch.wait(timeout=10)
        with open(err_path, "rb") as f:
            status = f.read().decode("latin-1")
        with open(out_path, "rb") as f:
            lines = f.read().decode("ascii").splitlines()
        objects = [json.loads(line) for line in lines]
        self.assertEqual(scans, [o["scan"] for o in objects], status)
        for o in objects:
            self.assertEqual(["time", "host", "port", "scan"], list(o))
            self.assertEqual(("127.0.0.1", self.d.port), (o["host"], o["port"]))
        self.assertEqual(1, status.count("cncpeer: watching"), status)
        self.assertEqual("", self.d.probe())  # the agent kept none back

    def test_99_identifier_2_ends_the_agent_with_exit_code_0(self):
        self.d.must("hotkey", "2")
        self.assertEqual(0, self.d.agent.wait(timeout=30))
        self.assertNotEqual(0, self.d.drive("find-agent").returncode)


def parse_options():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--win-build", default=os.path.join(ROOT, "build", "windows"))
    parser.add_argument("--cncpeer",
                        default=os.path.join(ROOT, "build", "native", "tools", "cncpeer",
                                             "cncpeer"))
    options, rest = parser.parse_known_args()
    options.win_build = os.path.abspath(options.win_build)
    options.cncpeer = os.path.abspath(options.cncpeer)
    return options, rest


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    unittest.main(argv=[sys.argv[0]] + REST, verbosity=2)
