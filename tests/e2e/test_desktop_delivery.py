#!/usr/bin/env python3
"""End-to-end tests of scan delivery with the real desktop: vxhid.exe under
Wine, scans typed into its dialog (as tests/e2e/test_desktop.py does), the
answers dropped by the native faultpeer, the agent stopped by its stop
message or ended hard and started again in the same program folder.

    tests/e2e/test_desktop_delivery.py [--win-build DIR] [--cncpeer PATH]
                                       [--faultpeer PATH] [unittest options]

Uses the display, Wine prefix and tools of test_desktop.py's Desktop; the
tests run in the order of their numbers and share one program folder.
"""
import argparse
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_desktop  # noqa: E402

ROOT = test_desktop.ROOT


class RestartableDesktop(test_desktop.Desktop):
    """A Desktop whose agent can be ended and started again."""

    def start_agent(self):
        self.agent = subprocess.Popen(
            ["wine", "vxhid.exe", "-I", "127.0.0.1", "-P", str(self.port)], cwd=self.run_dir,
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.drive("find-agent", "20000").returncode != 0:
            raise RuntimeError("the agent's window did not appear")
        test_desktop.wait_for_port(self.port, 20)

    def kill_agent(self):
        """Ends vxhid.exe hard, then this prefix's Wine server, so that the
        next agent's dialog is not left behind a stale tray window."""
        self.agent.kill()
        self.agent.wait(timeout=30)
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)
        self.port = test_desktop.free_port()

    def scan(self, text):
        self.open_dialog()
        self.must("type", text)
        self.must("keys", "enter")
        self.wait_closed()

    def fault(self, mode):
        result = subprocess.run([OPTIONS.faultpeer, "--port", str(self.port), mode],
                                capture_output=True, text=True,
                                timeout=test_desktop.COMMAND_TIMEOUT)
        if result.returncode != 0:
            raise AssertionError("faultpeer %s failed (%d): %s" % (mode, result.returncode,
                                                                  result.stderr))
        match = re.search(r'^answer: "(.*)"$', result.stdout, re.MULTILINE)
        return None if match is None else test_desktop.unescape(match.group(1))

    def log(self):
        with open(os.path.join(self.run_dir, "vxhid.log"), "rb") as f:
            return f.read()


DESKTOP = None


def setUpModule():
    global DESKTOP
    DESKTOP = RestartableDesktop(OPTIONS.win_build, OPTIONS.cncpeer)
    try:
        DESKTOP.start()
    except Exception:
        DESKTOP.stop()
        raise


def tearDownModule():
    if DESKTOP is not None:
        DESKTOP.stop()


class DesktopDeliveryTest(unittest.TestCase):
    def setUp(self):
        self.d = DESKTOP

    def test_01_answer_dropped_before_it_arrives_comes_in_the_next_session_once(self):
        self.d.scan("KEEP1")
        self.assertIsNone(self.d.fault("drop-before-answer"))
        self.assertEqual("KEEP1\n", self.d.probe())
        self.assertEqual("", self.d.probe())
        log = self.d.log()
        self.assertIn(b" Response not delivered: 1 scans kept for the next probe\r\n", log)
        self.assertEqual(1, log.count(b"Response: KEEP1"))

    def test_02_answer_never_acknowledged_comes_in_the_next_session_once(self):
        self.d.scan("KEEP2")
        self.d.scan("KEEP3")
        self.assertEqual("KEEP2\nKEEP3\n", self.d.fault("drop-without-ack"))
        self.assertEqual("KEEP2\nKEEP3\n", self.d.probe())
        self.assertEqual("", self.d.probe())

    def test_03_the_stop_message_keeps_the_queue(self):
        self.d.scan("STOP1")
        self.d.scan("STOP2")
        self.d.must("hotkey", "2")
        self.assertEqual(0, self.d.agent.wait(timeout=30))
        self.d.port = test_desktop.free_port()
        self.d.start_agent()
        self.assertEqual("STOP1\nSTOP2\n", self.d.probe())
        self.assertEqual("", self.d.probe())

    def test_04_a_killed_agent_keeps_the_queue(self):
        self.d.scan("KILL1")
        self.d.scan("KILL2")
        self.assertEqual("KILL1\nKILL2\n", self.d.fault("drop-without-ack"))
        self.d.scan("KILL3")
        time.sleep(0.1)  # the journal is on disk within 50 ms of a commit
        self.d.kill_agent()
        self.d.start_agent()
        self.assertEqual("KILL1\nKILL2\nKILL3\n", self.d.probe())
        self.assertEqual("", self.d.probe())


def parse_options():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--win-build", default=os.path.join(ROOT, "build", "windows"))
    parser.add_argument("--cncpeer",
                        default=os.path.join(ROOT, "build", "native", "tools", "cncpeer",
                                             "cncpeer"))
    parser.add_argument("--faultpeer",
                        default=os.path.join(ROOT, "build", "native", "tools", "faultpeer",
                                             "faultpeer"))
    options, rest = parser.parse_known_args()
    options.win_build = os.path.abspath(options.win_build)
    options.cncpeer = os.path.abspath(options.cncpeer)
    options.faultpeer = os.path.abspath(options.faultpeer)
    return options, rest


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    unittest.main(argv=[sys.argv[0]] + REST, verbosity=2)
