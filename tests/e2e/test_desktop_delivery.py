#!/usr/bin/env python3
"""End-to-end tests of scan delivery with the real desktop: vxhid.exe under
Wine, scans typed into its dialog (as tests/e2e/test_desktop.py does), the
answers dropped by the native faultpeer, the agent stopped by its stop
message or ended hard and started again in the same program folder.

    tests/e2e/test_desktop_delivery.py [--win-build DIR] [--cncpeer PATH]
                                       [--faultpeer PATH] [unittest options]

Uses the display, Wine prefix and tools of e2e_support's Desktop, as
test_desktop.py does; the tests run in the order of their numbers and share
one program folder.
"""
import time
import unittest

import e2e_support as e2e

OPTIONS = None
DESKTOP = None


def setUpModule():
    global DESKTOP
    DESKTOP = e2e.Desktop(OPTIONS.win_build, OPTIONS.cncpeer, "vxhid-desktop-delivery-")
    with e2e.stopped_on_failure(DESKTOP):
        DESKTOP.start()
        # The first agent logs at level 3 (its undelivered-answer line then
        # names the operation), the ones started again at the default level.
        DESKTOP.start_agent("-D", "3")


def tearDownModule():
    if DESKTOP is not None:
        DESKTOP.stop()


class DesktopDeliveryTest(unittest.TestCase):
    def setUp(self):
        self.d = DESKTOP

    def fault(self, mode):
        return e2e.FaultPeer(OPTIONS.faultpeer).run(self.d.port, mode)

    def test_01_answer_dropped_before_it_arrives_comes_in_the_next_session_once(self):
        self.d.type_scan("KEEP1")
        self.assertIsNone(self.fault("drop-before-answer"))
        self.assertEqual("KEEP1\n", self.d.probe())
        self.assertEqual("", self.d.probe())
        log = self.d.log.data()
        self.assertIn(b" Response not delivered: 1 scans kept for the next probe\r\n", log)
        self.assertEqual(1, log.count(b"Response: KEEP1"))

    def test_02_answer_never_acknowledged_comes_in_the_next_session_once(self):
        self.d.type_scan("KEEP2")
        self.d.type_scan("KEEP3")
        self.assertEqual("KEEP2\nKEEP3\n", self.fault("drop-without-ack"))
        self.assertEqual("KEEP2\nKEEP3\n", self.d.probe())
        self.assertEqual("", self.d.probe())

    def test_03_the_stop_message_keeps_the_queue(self):
        self.d.type_scan("STOP1")
        self.d.type_scan("STOP2")
        self.d.must("hotkey", "2")
        self.assertEqual(0, self.d.agent.wait_exit(30))
        self.d.start_agent()
        self.assertEqual("STOP1\nSTOP2\n", self.d.probe())
        self.assertEqual("", self.d.probe())

    def test_04_a_killed_agent_keeps_the_queue(self):
        self.d.type_scan("KILL1")
        self.d.type_scan("KILL2")
        self.assertEqual("KILL1\nKILL2\n", self.fault("drop-without-ack"))
        self.d.type_scan("KILL3")
        time.sleep(0.1)  # the journal is on disk within 50 ms of a commit
        self.d.kill_agent()
        self.d.start_agent()
        self.assertEqual("KILL1\nKILL2\nKILL3\n", self.d.probe())
        self.assertEqual("", self.d.probe())


def parse_options():
    parser = e2e.option_parser()
    e2e.add_windows_options(parser, "cncpeer", "faultpeer")
    return e2e.parse_options(parser, paths=("win_build", "cncpeer", "faultpeer"))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
