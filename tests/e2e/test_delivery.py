#!/usr/bin/env python3
"""End-to-end tests of scan delivery: a scan leaves the agent only when the
peer has acknowledged the answer that carried it, and the queue outlives the
process in the scan journal "vxhid.scans" in the program folder.

    tests/e2e/test_delivery.py --agent PATH --faultpeer PATH [--wine] [unittest options]

--agent is the native vxhid (or vxhid.exe with --wine, which then needs
WINEPREFIX and DISPLAY); --faultpeer the native faultpeer tool
(tools/faultpeer), which probes and then takes the answer well or drops it.
The scans are queued by writing the journal before the agent starts, so no
desktop is needed. Every agent binds to and every connection goes to
127.0.0.1; each test ends the agents it started, by pid.
"""
import os

import e2e_support as e2e
from e2e_support import journal_record, journal_scans

JOURNAL = "vxhid.scans"

OPTIONS = None


class DeliveryTest(e2e.ProgramFolderTest):
    run_prefix = "vxhid-delivery-e2e-"

    def setUp(self):
        super().setUp()
        self.port = e2e.free_port()

    # ---- helpers --------------------------------------------------------------

    def seed(self, scans, delivered_through=0):
        data = b"".join(journal_record(b"S", n + 1, s) for n, s in enumerate(scans))
        if delivered_through:
            data += journal_record(b"D", delivered_through)
        self.write(JOURNAL, data)

    def agent_command(self):
        return e2e.agent_command(OPTIONS.agent, ["-I", "127.0.0.1", "-P", str(self.port)],
                                 OPTIONS.wine)

    def start(self):
        agent = self.start_agent(self.agent_command())
        agent.wait_listening(self.port)
        return agent

    def kill(self, agent):
        """Ends the agent hard, as a crash or a power cut would."""
        agent.kill()
        # The next agent listens on a port of its own: connections the agent
        # closed itself may hold the old one for a while (TIME_WAIT).
        self.port = e2e.free_port()

    def peer(self, mode):
        return e2e.FaultPeer(OPTIONS.faultpeer).run(self.port, mode)

    def probe(self):
        return self.peer("probe")

    # ---- tests ----------------------------------------------------------------

    def test_answer_dropped_before_it_arrives_is_delivered_in_the_next_session(self):
        self.seed([b"KEEP1"])
        agent = self.start()
        self.assertIsNone(self.peer("drop-before-answer"))
        log = self.log.wait_for(b"  Response not delivered: 1 scans kept for the next probe\r\n")
        self.assertNotIn(b"Response: KEEP1", log)

        self.assertEqual("KEEP1\n", self.probe())
        self.log.wait_for(b"  Response: KEEP1\n\r\n")
        self.assertEqual("", self.probe())
        # The delivered mark is on disk: a new start does not bring it back.
        self.kill(agent)
        self.assertEqual([], journal_scans(self.read(JOURNAL)))
        self.start()
        self.assertEqual("", self.probe())

    def test_answer_never_acknowledged_outlives_a_kill_and_comes_once(self):
        self.seed([b"KEEP2", b"KEEP3"])
        agent = self.start()
        self.assertEqual("KEEP2\nKEEP3\n", self.peer("drop-without-ack"))
        self.log.wait_for(b"  Response not delivered: 2 scans kept for the next probe\r\n")
        self.kill(agent)

        self.start()
        self.assertEqual("KEEP2\nKEEP3\n", self.probe())
        self.assertEqual("", self.probe())

    def test_a_killed_agent_keeps_its_queue_in_order(self):
        self.seed([b"GONE", b"A1", b"", b"C3"], delivered_through=1)
        self.kill(self.start())
        self.assertEqual([b"A1", b"", b"C3"], journal_scans(self.read(JOURNAL)))
        self.start()
        self.assertEqual("A1\n\nC3\n", self.probe())

    def test_a_second_agent_leaves_the_journal_alone(self):
        self.seed([b"MINE"])
        self.start()
        before = self.read(JOURNAL)
        second = self.start_agent(self.agent_command())
        self.assertEqual(0, second.wait_exit(), second.output())
        self.assertEqual(before, self.read(JOURNAL))
        self.assertEqual("MINE\n", self.probe())

    def test_a_second_agent_on_another_port_leaves_the_journal_alone(self):
        self.seed([b"MINE"])
        first_port = self.port
        self.start()
        before = self.read(JOURNAL)
        self.port = e2e.free_port()
        self.start()  # the same folder, another port: it finds the journal locked
        self.log.wait_for(b"is in use by another agent: scans are kept in memory only\r\n")
        self.assertEqual("", self.probe())
        self.assertEqual(before, self.read(JOURNAL))
        self.port = first_port
        self.assertEqual("MINE\n", self.probe())
        self.assertEqual("", self.probe())

    def test_the_log_folders_journal_is_taken_over_and_found_after_an_update(self):
        # Earlier versions kept the journal in the log folder, which the
        # properties file may put elsewhere (with a command line, the file
        # the whole upper-cased line names). Its scans come first.
        args = ["-I", "127.0.0.1", "vx-agent.txt"]
        os.mkdir(self.path("logs"))
        with open(os.path.join(self.path("logs"), JOURNAL), "wb") as f:
            f.write(e2e.journal_of([b"OLD1", b"OLD2"]))
        self.seed([b"NEW1"])
        self.write(" ".join(args).upper(), b"%d\r\nlogs\r\n" % self.port)
        agent = self.start_agent(e2e.agent_command(OPTIONS.agent, args, OPTIONS.wine))
        agent.wait_listening(self.port)
        self.assertEqual("OLD1\nOLD2\nNEW1\n", self.peer("drop-without-ack"))
        e2e.Log(os.path.join(self.path("logs"), "vxhid.log")).wait_for(
            b"  Response not delivered: 3 scans kept for the next probe\r\n")
        self.kill(agent)
        self.assertFalse(os.path.exists(os.path.join(self.path("logs"), JOURNAL)))
        self.assertEqual([b"OLD1", b"OLD2", b"NEW1"], journal_scans(self.read(JOURNAL)))

        # The start after an update reads no properties: the journal is
        # where it looks.
        agent = self.start_agent(e2e.agent_command(
            OPTIONS.agent, ["-X", "-I", "127.0.0.1", "-P", str(self.port)], OPTIONS.wine))
        agent.wait_listening(self.port)
        self.assertEqual("OLD1\nOLD2\nNEW1\n", self.probe())
        self.assertEqual("", self.probe())


def parse_options():
    parser = e2e.option_parser()
    e2e.add_agent_options(parser)
    parser.add_argument("--faultpeer", required=True)
    return e2e.parse_options(parser, paths=("agent", "faultpeer"),
                             existing=("agent", "faultpeer"))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
