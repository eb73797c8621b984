#!/usr/bin/env python3
"""End-to-end tests of scans typed with other keyboard layouts: vxhid.exe runs
under Wine with a German, French, UK or US layout, keys are typed into its open
dialog as X keycodes, and the dialog's edit box, read as Unicode, is what the
scan must be.

    tests/e2e/test_layouts.py [--win-build DIR] [--cncpeer PATH] [unittest options]

Options as tests/e2e/test_desktop.py. Needs wine64, Xvfb, setxkbmap
(x11-xkb-utils), libXtst, and the locales package for localedef.

Wine takes its keyboard layout from its locale, and misreads the keys above
ASCII under a UTF-8 one: each layout's agent runs under a Latin-1 locale
made for the run, with the X keyboard map set to match (Xvfb -noreset keeps
that map when its last client leaves). Keys go in as X keycodes, the scan
codes of the layout's fixture plus 8, so that the layout in force, not a
table of Wine's or xdotool's, turns them into characters. Dead keys are left
out: X composes them before Windows sees a key.
"""
import ctypes
import os
import re
import subprocess
import time
import unittest

import e2e_support as e2e

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures",
                        "keyboard_layouts")
SHIFT = 0x2A + 8  # left Shift's keycode
ALT_GR = 108      # right Alt: AltGr in X's European layouts
ENTER = 0x1C + 8

OPTIONS = None
DESKTOP = None


def keys_of(layout):
    """character -> (keycode, Shift, AltGr) from the layout's fixture, the
    plainest way first."""
    keys = {}
    cell = r"(CH\(0x[0-9A-F]+\)|DEAD\(0x[0-9A-F]+\)|NONE)"
    row = re.compile(r"^KEY\((0x[0-9A-F]+), (0x[0-9A-F]+), [\w |]+, " + ", ".join([cell] * 6) + r"\)",
                     re.MULTILINE)
    with open(os.path.join(FIXTURES, layout + ".inc")) as fixture:
        text = fixture.read()
    for match in row.finditer(text):
        vk, scan = int(match.group(1), 16), int(match.group(2), 16)
        # Not the keypad (its digits need Num Lock), nor an extended key.
        if 0x60 <= vk <= 0x6F or scan > 0x7F:
            continue
        keycode = scan + 8
        cells = match.groups()[2:]
        # base, Shift, AltGr, Shift+AltGr
        for index, shift, alt_gr in ((0, False, False), (1, True, False), (4, False, True),
                                     (5, True, True)):
            found = re.match(r"CH\((0x[0-9A-F]+)\)", cells[index])
            c = found and chr(int(found.group(1), 16))
            if found and (c not in keys or (alt_gr, shift) < keys[c][:0:-1]):
                keys[c] = (keycode, shift, alt_gr)
    return keys


class Keyboard:
    """Key events straight into the X server (XTEST), by keycode."""

    def __init__(self, display):
        self.x11 = ctypes.CDLL("libX11.so.6")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XFlush.argtypes = [ctypes.c_void_p]
        self.x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                ctypes.c_ulong]
        self.display = self.x11.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError("cannot open X display " + display)

    def close(self):
        self.x11.XCloseDisplay(self.display)

    def key(self, keycode, down):
        self.xtst.XTestFakeKeyEvent(self.display, keycode, 1 if down else 0, 0)
        self.x11.XFlush(self.display)
        time.sleep(0.03)

    def press(self, keycode, *held):
        for k in held:
            self.key(k, True)
        self.key(keycode, True)
        self.key(keycode, False)
        for k in reversed(held):
            self.key(k, False)

    def type(self, keys, text):
        for c in text:
            keycode, shift, alt_gr = keys[c]
            self.press(keycode, *([SHIFT] if shift else []) + ([ALT_GR] if alt_gr else []))


class LayoutDesktop(e2e.Desktop):
    """The desktop with Wine's programs run under one locale, which the X
    tools never see."""

    def __init__(self, *args):
        super().__init__(*args, run_prefix="vxhid-layouts-", display_options=["-noreset"])
        self.locales = os.path.join(self.run_dir, "locales")
        self.locale = {}

    def wine(self, *args, env=None):
        return super().wine(*args, env=dict(self.locale, **(env or {})))

    def make_locale(self, name):
        path = os.path.join(self.locales, name + ".ISO-8859-1")
        if not os.path.isdir(path):
            os.makedirs(self.locales, exist_ok=True)
            # localedef warns (exit 1) about some of glibc's own locales;
            # the folder it leaves is what counts.
            subprocess.run(["localedef", "-i", name, "-f", "ISO-8859-1", path],
                           capture_output=True, timeout=120)
            if not os.path.isdir(path):
                raise RuntimeError("localedef made no " + path)
        return name + ".ISO-8859-1"

    def use_layout(self, locale, xkb, *agent_args):
        """Ends any agent and the Wine server, sets the X keyboard map, and
        starts an agent under the locale."""
        self.stop_agent()
        self.locale = {"LC_ALL": self.make_locale(locale), "LOCPATH": self.locales}
        subprocess.run(["setxkbmap", "-display", self.env["DISPLAY"], xkb], check=True,
                       timeout=30)
        self.start_agent(*agent_args, env=self.locale)

    def stop_agent(self):
        if self.agent is not None and self.agent.poll() is None:
            self.drive("hotkey", "2")
            if self.agent.wait_exit(10) is None:
                self.agent.kill(10)
        self.agent = None
        self.end_server()

    def focus_dialog(self):
        found = self.xdotool("search", "--name", "^Vexmoor HID$")
        self.assertion(found.returncode == 0, "no dialog window on the display")
        self.xdotool("windowfocus", "--sync", found.stdout.split()[0])
        time.sleep(0.3)

    def edit_text(self):
        units = [int(u, 16) for u in self.must("edit-text-unicode").split()]
        return bytes(b for u in units for b in u.to_bytes(2, "little")).decode("utf-16-le")

    def probe_json(self):
        """One PRBE's answer, decoded from cncpeer's JSON."""
        run = self.cncpeer.run(self.port, "--json", "PRBE", "QUIT")
        if run.returncode != 0:
            raise AssertionError("cncpeer failed (%d): %s" % (run.returncode, run.stderr))
        return run.objects()[0]["answer"]

    @staticmethod
    def assertion(condition, message):
        if not condition:
            raise AssertionError(message)


def setUpModule():
    global DESKTOP
    DESKTOP = LayoutDesktop(OPTIONS.win_build, OPTIONS.cncpeer)
    with e2e.stopped_on_failure(DESKTOP):
        DESKTOP.start()


def tearDownModule():
    if DESKTOP is not None:
        DESKTOP.stop()


class LayoutTest(unittest.TestCase):
    def setUp(self):
        self.d = DESKTOP

    def typed(self, keys, text):
        """Types text into the open dialog; the edit box's text, then the
        scan that Enter committed."""
        self.d.open_dialog()
        self.d.focus_dialog()
        keyboard = Keyboard(self.d.env["DISPLAY"])
        try:
            keyboard.type(keys, text)
            time.sleep(0.3)
            box = self.d.edit_text()
            keyboard.press(ENTER)
        finally:
            keyboard.close()
        self.d.wait_closed()
        return box, self.d.probe_json()

    def test_scans_are_what_the_layout_types(self):
        rows = [
            ("de", "de_DE", 'Maß-Nr. "Z/y" @ä#'),
            ("fr", "fr_FR", "AZER-12/éàç@"),
            ("gb", "en_GB", '"@£#\\A1'),
            ("us", "en_US", 'Ab-1/@"#\\ z'),
        ]
        for xkb, locale, text in rows:
            with self.subTest(layout=xkb):
                self.d.use_layout(locale, xkb)
                box, scan = self.typed(keys_of(xkb), text)
                self.assertEqual(text, box, "the keys typed are not the text")
                self.assertEqual(box + "\n", scan)

    def test_unicode_packets_count_as_typed(self):
        self.d.use_layout("en_US", "us")
        self.d.open_dialog()
        # A, the euro sign, a grinning face (a surrogate pair), B.
        self.d.must("packets", "41", "20ac", "d83d", "de00", "42")
        time.sleep(0.3)
        box = self.d.edit_text()
        self.assertEqual("A\u20ac\U0001F600B", box)
        self.d.must("keys", "enter")
        self.d.wait_closed()
        self.assertEqual(box + "\n", self.d.probe_json())

    def test_the_us_setting_keeps_the_us_translation(self):
        # A scanner set to US on a German PC: the box shows what the PC
        # types, the scan what the scanner meant.
        self.d.use_layout("de_DE", "de", "-L", "US")
        box, scan = self.typed(keys_of("de"), 'Maß-Nr. "Z/y" @ä#')
        self.assertEqual('Maß-Nr. "Z/y" @ä#', box)
        self.assertEqual("Ma-Nr. @Z&y@ q#\n", scan)


def parse_options():
    parser = e2e.option_parser()
    e2e.add_windows_options(parser, "cncpeer")
    return e2e.parse_options(parser, paths=("win_build", "cncpeer"))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
