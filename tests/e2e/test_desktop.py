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
import signal
import subprocess
import time
import unittest

import e2e_support as e2e

DIALOG_TITLE = "Vexmoor HID"
# The hot-key identifier that drops the agent's keyboard hook, as Windows
# does with a hook that overran its time-out; only when the environment
# variable below enables it.
DROP_HOOK_HOT_KEY = "32343"
REINSTALL_LINE = b"Keyboard hook no longer receives keys - installed again"
TRAY_LINE = b"Task bar created - tray icon added again"

OPTIONS = None
DESKTOP = None


def setUpModule():
    global DESKTOP
    DESKTOP = e2e.Desktop(OPTIONS.win_build, OPTIONS.cncpeer)
    with e2e.stopped_on_failure(DESKTOP):
        DESKTOP.start()
        # Log level 3, for the tray icon's line; the hot key that drops the
        # keyboard hook enabled for this agent only.
        # A reinstall is held a moment, as on a busy machine, so that keys
        # are typed while it happens.
        DESKTOP.start_agent(
            "-D", "3", env={"VXHID_TEST_HOOK_DROP": "1", "VXHID_TEST_REINSTALL_HOLD_MS": "400"})


def tearDownModule():
    if DESKTOP is not None:
        DESKTOP.stop()


def tray_visible(desktop):
    """Whether Wine's tray window shows: with no tray on the X server, Wine
    shows tray icons in a window of its own, visible only while it holds an
    icon."""
    return desktop.xdotool("search", "--onlyvisible", "--name",
                           "Wine System Tray").returncode == 0


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
        self.assertTrue(tray_visible(self.d), "no visible tray window")

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
        self.d.type_scan("Scan-0042 ok!")
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
        self.d.agent.log.wait_for(b"Stop message ignored while the scan dialog is open\r\n")
        time.sleep(1)
        self.assertEqual("1", self.d.must("count-dialogs"))
        self.assertIsNone(self.d.agent.poll())
        # The H of the second Win+H is a shortcut, not typing.
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("\n", self.d.probe())

    def test_07_typing_into_another_window_adds_nothing(self):
        other = subprocess.Popen(["wine", self.d.driver_exe, "window", "Other window", "10000"],
                                 env=self.d.env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            self.d.must("focus", "Other window", "8000")
            self.d.must("type", "zzz")
            self.d.must("keys", "enter", "tab")
            time.sleep(0.5)
            self.assertEqual("", self.d.probe())
        finally:
            other.wait(timeout=e2e.COMMAND_SECONDS)
        # Shift was followed all along: it is not left stuck down.
        self.d.type_scan("Aa")
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
        self.d.type_scan(text)
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
        self.assertEqual(0, self.d.log.count(REINSTALL_LINE))
        # Found by the watchdog's timer while the operator is typing.
        self.d.must("hotkey", DROP_HOOK_HOT_KEY)
        self.d.open_dialog()
        # One key at a time, so that the watchdog finds the loss mid-word and
        # the next keys come while the hook is being installed again.
        for c in "Lost-":
            self.d.must("type", c)
        self.assertEqual(1, self.d.log.wait_count(REINSTALL_LINE, 1, 5))
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
        self.assertEqual(2, self.d.log.wait_count(REINSTALL_LINE, 2, 5))
        # A hook that works is left alone.
        self.d.open_dialog()
        self.d.must("type", "Kept")
        time.sleep(1.5)
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual("Kept\n", self.d.probe())
        time.sleep(1)
        self.assertEqual(2, self.d.log.count(REINSTALL_LINE))

    def test_14_the_tray_icon_comes_back_when_the_task_bar_is_created_again(self):
        self.assertTrue(tray_visible(self.d))
        self.d.must("tray-delete")
        shown = e2e.poll(lambda: tray_visible(self.d), lambda shown: not shown, 5, 0.2)
        self.assertFalse(shown, "the tray window stayed with no icon")
        self.d.must("taskbar-created")
        self.assertEqual(1, self.d.log.wait_count(TRAY_LINE, 1, 5))
        self.assertTrue(e2e.poll(lambda: tray_visible(self.d), bool, 5, 0.2))

    def test_15_watch_collects_typed_scans_in_order_once_each(self):
        watch = self.d.cncpeer.watch(self.d.port, self.d.run_dir, "--interval", "200", "--json")
        try:
            scans = ["W-001", "w 002 Two", "", "W-004"]
            for scan in scans:
                self.d.open_dialog()
                if scan:
                    self.d.must("type", scan)
                self.d.must("keys", "enter")
                self.d.wait_closed()
            e2e.poll(lambda: watch.out().count(b"\n"), lambda n: n >= len(scans), 20, 0.2)
            time.sleep(1.5)  # several more probes: nothing comes twice
            self.assertEqual(0, watch.stop(signal.SIGTERM, 15))
        finally:
            watch.end()
        status = watch.err().decode("latin-1")
        objects = watch.objects()
        self.assertEqual(scans, [o["scan"] for o in objects], status)
        for o in objects:
            self.assertEqual(["time", "host", "port", "scan"], list(o))
            self.assertEqual(("127.0.0.1", self.d.port), (o["host"], o["port"]))
        self.assertEqual(1, status.count("cncpeer: watching"), status)
        self.assertEqual("", self.d.probe())  # the agent kept none back

    def test_99_identifier_2_ends_the_agent_with_exit_code_0(self):
        self.d.must("hotkey", "2")
        self.assertEqual(0, self.d.agent.wait_exit(30))
        self.assertNotEqual(0, self.d.drive("find-agent").returncode)


def parse_options():
    parser = e2e.option_parser()
    e2e.add_windows_options(parser, "cncpeer")
    return e2e.parse_options(parser, paths=("win_build", "cncpeer"))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
