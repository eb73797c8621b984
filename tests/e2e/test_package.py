#!/usr/bin/env python3
"""End-to-end tests of the Windows Installer package: its tables through
msiinfo first, then silent installs, an upgrade and removals with Wine's
msiexec in a Wine prefix of this run's own, and the agent started from the
Startup shortcut the package made, answering cncpeer on 127.0.0.1.

    tests/e2e/test_package.py --msi PATH [--win-build DIR] [--cncpeer PATH]
                              [unittest options]

--msi is the package (build/windows/package/vxhid-<version>-x64.msi);
--win-build the Windows build folder holding vxhid.exe and
tools/desktop-driver/vxdesktop.exe (default build/windows); --cncpeer the
native cncpeer program (default build/native/tools/cncpeer/cncpeer). Needs
wine64, Xvfb and msitools. The tests run in the order of their numbers: they
share one prefix, and each leaves the machine as the next one expects. The
Wine tests run only when the table tests before them passed.
"""
import os
import re
import struct
import subprocess
import unittest

import e2e_support as e2e

COMMAND_TIMEOUT = 120

PROGRAM_FOLDER = r"C:\ProgramData\Vexmoor\vxhid"
STARTUP_FOLDER = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\StartUp"
SHORTCUT = STARTUP_FOLDER + r"\Vexmoor Tessel HID.lnk"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
UPGRADE_CODE = "{ED4AEE84-63BD-47DE-91E5-92D83C1A7F0C}"

OPTIONS = None


def msi_table(msi, table):
    """The rows of one table as lists of columns (msiinfo export)."""
    out = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True,
                         check=True, timeout=COMMAND_TIMEOUT).stdout
    # Three header lines: column names, column types, table name and keys.
    # A value in the last column may hold a tab (the Property table's
    # VXHID_TAB).
    lines = out.splitlines()
    columns = len(lines[0].split("\t"))
    return [line.split("\t", columns - 1) for line in lines[3:] if line]


def msi_version(msi):
    return dict(msi_table(msi, "Property"))["ProductVersion"]


def read_shortcut(path):
    """Target, working folder and arguments of a shell link (.lnk) file."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 0x4C or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise AssertionError("not a shell link: " + path)
    flags = struct.unpack_from("<I", data, 0x14)[0]
    pos = 0x4C
    if flags & 0x01:  # HasLinkTargetIDList
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    target = None
    if flags & 0x02:  # HasLinkInfo: LocalBasePath, a code-page string
        size, _, link_flags, _, base_offset = struct.unpack_from("<5I", data, pos)
        if link_flags & 0x01:
            end = data.index(b"\0", pos + base_offset)
            target = data[pos + base_offset:end].decode("latin-1")
        pos += size
    unicode = bool(flags & 0x80)
    strings = {}
    for bit, name in ((0x04, "name"), (0x08, "relative"), (0x10, "working"),
                      (0x20, "arguments"), (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            pos += 2
            length = count * 2 if unicode else count
            raw = data[pos:pos + length]
            # Wine counts the terminating zero as well; Windows does not.
            strings[name] = raw.decode("utf-16-le" if unicode else "latin-1").rstrip("\0")
            pos += length
    return target, strings.get("working", ""), strings.get("arguments", "")


class Machine(e2e.WineMachine):
    """A Wine prefix of its own on a display of its own: the PC the package is
    installed on."""

    command_seconds = COMMAND_TIMEOUT

    def __init__(self, win_build, cncpeer):
        super().__init__("vxhid-package-", win_build, first_display=940)
        self.cncpeer = e2e.CncPeer(cncpeer)

    def start(self):
        super().start(self.cncpeer.path)

    # ---- running things -----------------------------------------------------

    def msiexec(self, *args):
        """msiexec's exit code; its verbose log goes to the run folder."""
        log = os.path.join(self.run_dir, "msiexec.log")
        return self.wine("msiexec", *args, "/l*v", self.windows_path(log)).returncode

    def install(self, msi, **properties):
        options = ["%s=%s" % item for item in properties.items()]
        return self.msiexec("/i", self.windows_path(msi), "/qn", *options)

    def refused(self, msi, **properties):
        """Whether installing msi fails at its launch conditions (a newer
        version installed, a value refused): Wine's /qn log does not show
        their message, only that the action failed."""
        if self.install(msi, **properties) == 0:
            return False
        ended = re.findall(rb"LaunchConditions\. Return value (\d+)\.", self.log())
        return bool(ended) and ended[-1] != b"1"

    def log(self):
        """The verbose log of the last msiexec run."""
        with open(os.path.join(self.run_dir, "msiexec.log"), "rb") as f:
            return f.read()

    def uninstall(self, msi):
        return self.msiexec("/x", self.windows_path(msi), "/qn")

    def windows_path(self, unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def unix_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.prefix, "drive_c", *windows_path[3:].split("\\"))

    def exists(self, windows_path):
        return os.path.exists(self.unix_path(windows_path))

    def products(self):
        """DisplayName, DisplayVersion and Publisher of each product in Apps
        & Features (the Uninstall key of the 64-bit registry)."""
        out = self.wine("reg", "query", UNINSTALL_KEY, "/s", "/reg:64").stdout
        products, current = [], None
        for line in out.splitlines():
            if line.startswith("HKEY_"):
                current = {}
                products.append(current)
                continue
            match = re.match(r"\s+(\S+)\s+REG_\w+\s+(.*)$", line)
            if match and current is not None:
                current[match.group(1)] = match.group(2)
        return [(p.get("DisplayName"), p.get("DisplayVersion"), p.get("Publisher"))
                for p in products if "DisplayName" in p]

    def shortcut(self):
        return read_shortcut(self.unix_path(SHORTCUT))

    def start_shortcut(self):
        """Starts the agent as logon does: `wine start` on the shortcut."""
        self.wine("start", "/unix", self.unix_path(SHORTCUT))

    def stop_agent(self, port):
        self.drive("hotkey", "2")
        e2e.wait_until(lambda: not e2e.listeners(port), 30, "the agent to end", 0.2)
        # Let the process go before its files are touched.
        self.wait_server()

    def handshake(self, port):
        return self.cncpeer.run(port, "PRBE", "QUIT", seconds=COMMAND_TIMEOUT)


MACHINE = None
PACKAGES = {}
TABLES_BROKEN = []


def start_machine():
    """The Wine prefix, and the next and newer packages: a next version (only
    the fourth number higher) and a newer one (the third higher), built from
    the same program."""
    global MACHINE
    PACKAGES["current"] = OPTIONS.msi
    # MACHINE names it once it is ready; a start that fails stops it here.
    with e2e.stopped_on_failure(Machine(OPTIONS.win_build, OPTIONS.cncpeer)) as machine:
        machine.start()
        major, minor, build, revision = map(int, msi_version(OPTIONS.msi).split("."))
        for name, version in (("next", (major, minor, build, revision + 1)),
                              ("newer", (major, minor, build + 1, 0))):
            path = os.path.join(machine.run_dir, "vxhid-%s.msi" % name)
            subprocess.run(["bash", os.path.join(e2e.ROOT, "packaging", "build-msi.sh"),
                            ".".join(map(str, version)),
                            os.path.join(OPTIONS.win_build, "vxhid.exe"), path],
                           check=True, timeout=COMMAND_TIMEOUT, stdout=subprocess.DEVNULL)
            PACKAGES[name] = path
    MACHINE = machine


def tearDownModule():
    if MACHINE is not None:
        MACHINE.stop()


class PackageTablesTest(unittest.TestCase):
    """The package as msiinfo reads it, before any msiexec runs it."""

    def setUp(self):
        self.msi = OPTIONS.msi

    def run(self, result=None):
        # A package whose tables are wrong is not handed to msiexec.
        count = (lambda: len(result.failures) + len(result.errors)) if result else (lambda: 0)
        before = count()
        outcome = super().run(result)
        if count() > before:
            TABLES_BROKEN.append(self.id())
        return outcome

    def test_properties_name_the_product_per_machine_without_restart(self):
        properties = dict(msi_table(self.msi, "Property"))
        version = msi_version(self.msi)
        self.assertRegex(version, r"^\d+\.\d+\.\d+\.\d+$")
        self.assertTrue(self.msi.endswith("vxhid-%s-x64.msi" % version), self.msi)
        for name, value in (("ProductName", "Tessel HID"), ("Manufacturer", "Vexmoor"),
                            ("UpgradeCode", UPGRADE_CODE), ("ALLUSERS", "1"),
                            ("REBOOT", "ReallySuppress"), ("ARPPRODUCTICON", "vxhid.ico")):
            self.assertEqual(value, properties.get(name), name)
        # The server side of a managed installation sees only secure ones.
        secure = properties["SecureCustomProperties"].split(";")
        for name in ("ADDRESS", "PORT", "LOGLEVEL", "PEERS", "KEYBOARD", "VXHID_REPLACED",
                     "VXHID_NEWER_INSTALLED"):
            self.assertIn(name, secure)
        info = subprocess.run(["msiinfo", "suminfo", self.msi], capture_output=True, text=True,
                              check=True).stdout
        self.assertIn("Template: x64;1033", info)

    def test_components_put_the_program_and_the_shortcut_in_their_folders(self):
        directories = {row[0]: (row[1], row[2].split("|")[-1])
                       for row in msi_table(self.msi, "Directory")}

        def path(directory):
            parts = []
            while directory != "CommonAppDataFolder":
                directory, name = directories[directory]
                parts.insert(0, name)
            return "C:\\ProgramData\\" + "\\".join(parts)

        components = {row[0]: row for row in msi_table(self.msi, "Component")}
        self.assertEqual({"AgentProgram", "StartupShortcut"}, set(components))
        program = components["AgentProgram"]
        self.assertEqual(PROGRAM_FOLDER, path(program[2]))
        self.assertEqual("vxhid.exe", program[5])
        self.assertEqual(STARTUP_FOLDER, path(components["StartupShortcut"][2]))
        for row in components.values():
            self.assertTrue(int(row[3]) & 256, "not a 64-bit component: " + row[0])
        files = msi_table(self.msi, "File")
        self.assertEqual([["vxhid.exe", "AgentProgram", "vxhid.exe"]], [f[:3] for f in files])
        self.assertIn(["INSTALLDIR", "AgentProgram"], msi_table(self.msi, "CreateFolder"))

        shortcut, = msi_table(self.msi, "Shortcut")
        self.assertEqual(["StartAtLogon", "AllUsersStartupFolder"], shortcut[:2])
        self.assertEqual("Vexmoor Tessel HID.lnk", shortcut[2].split("|")[-1])
        self.assertEqual(["StartupShortcut", "[#vxhid.exe]", "[VxhidArgs]"], shortcut[3:6])
        self.assertEqual("INSTALLDIR", shortcut[11])  # WkDir

    def test_arguments_are_built_only_in_the_execute_sequence(self):
        actions = {row[0]: row for row in msi_table(self.msi, "CustomAction")}
        for row in actions.values():
            self.assertEqual("51", row[1], row[0])  # sets a property
        args = [name for name, row in actions.items() if row[2] == "VxhidArgs"]
        self.assertEqual(10, len(args))
        sequence = {row[0]: row for row in msi_table(self.msi, "InstallExecuteSequence")}
        ui_sequence = {row[0]: row for row in msi_table(self.msi, "InstallUISequence")}
        for name in args:
            self.assertIn(name, sequence)
            self.assertNotIn(name, ui_sequence)
            self.assertLess(int(sequence[name][2]), int(sequence["CreateShortcuts"][2]))
        self.assertLess(int(sequence["RemoveExistingProducts"][2]),
                        int(sequence["InstallInitialize"][2]))
        # The launch conditions' check properties are set before the
        # conditions, and REINSTALL before CostFinalize reads it, in both
        # sequences (a full-UI installation evaluates them in the first).
        checks = {"VXHID_CHECK": ".[ADDRESS].[PEERS].", "VXHID_CHECK_ADDRESS": ",[ADDRESS],",
                  "VXHID_CHECK_PEERS": ",[PEERS],", "VXHID_CHECK_LOGLEVEL": ".[LOGLEVEL]"}
        self.assertEqual(checks, {row[2]: row[3] for row in actions.values()
                                  if row[2].startswith("VXHID_CHECK")})
        reinstall, = [name for name, row in actions.items() if row[2] == "REINSTALL"]
        self.assertEqual("ALL", actions[reinstall][3])
        for table in (sequence, ui_sequence):
            for name, row in actions.items():
                if row[2] in checks:
                    self.assertLess(int(table[name][2]), int(table["LaunchConditions"][2]))
                    self.assertGreater(int(table[name][2]), int(table["AppSearch"][2]))
            self.assertLess(int(table[reinstall][2]), int(table["CostFinalize"][2]))
            self.assertIn("Installed AND NOT REMOVE", table[reinstall][1])

    def test_upgrade_ranges(self):
        version = msi_version(self.msi)
        upgrade = sorted(msi_table(self.msi, "Upgrade"), key=lambda row: row[-1])
        # Older and equal versions (of the first three numbers) are replaced;
        # a newer one is only detected, and a launch condition refuses it.
        self.assertEqual([[UPGRADE_CODE, version, "", "", "2", "", "VXHID_NEWER_INSTALLED"],
                          [UPGRADE_CODE, "0.0.0", version, "", "768", "", "VXHID_REPLACED"]],
                         upgrade)
        # Windows Installer ignores the fourth number; the installed
        # package's own record of it refuses a lower one.
        base, revision = version.rsplit(".", 1)
        conditions = {row[0].strip(): row[1] for row in msi_table(self.msi, "LaunchCondition")}
        self.assertIn("NOT VXHID_NEWER_INSTALLED", conditions)
        self.assertIn('NOT (VXHID_INSTALLED_BASE = "%s" AND VXHID_INSTALLED_REVISION > %s)'
                      % (base, revision), conditions)

    def test_launch_conditions_refuse_what_the_agent_would_misread(self):
        conditions = [row[0] for row in msi_table(self.msi, "LaunchCondition")]
        properties = dict(msi_table(self.msi, "Property"))
        self.assertEqual('"', properties["VXHID_QUOTE"])
        self.assertEqual("\t", properties["VXHID_TAB"])
        # Every printable character but digits, dots and commas, and the tab,
        # is refused in ADDRESS and PEERS (letters in either case).
        refused = set()
        for condition in conditions:
            if not condition.startswith("NOT (VXHID_CHECK "):
                continue
            for operator, literal, name in re.findall(
                    r'VXHID_CHECK (~?><) (?:"([^"]*)"|(VXHID_\w+))', condition):
                character = literal or properties[name]
                self.assertEqual(1, len(character), condition)
                refused |= {character.lower(), character.upper()} if operator == "~><" \
                    else {character}
        expected = {chr(c) for c in range(32, 127)} - set("0123456789.,") | {"\t"}
        self.assertEqual(sorted(expected), sorted(refused))
        for condition in ('PORT = "" OR (PORT >= 1 AND PORT <= 65535)',
                          'LOGLEVEL = "" OR ' + " OR ".join('VXHID_CHECK_LOGLEVEL = ".%d"' % level
                                                            for level in range(6))):
            self.assertIn(condition, conditions)
        for name in ("ADDRESS", "PEERS"):
            shape, = [c for c in conditions if c.startswith(name + ' = "" OR ')]
            for part in ('VXHID_CHECK_%s >< "."' % name, 'VXHID_CHECK_%s >< ",."' % name,
                         'VXHID_CHECK_%s >< ".,"' % name, 'VXHID_CHECK_%s >< ".."' % name):
                self.assertIn(part, shape)
            # One address; a list without empty entries.
            self.assertIn('ADDRESS >< ","' if name == "ADDRESS" else 'VXHID_CHECK_PEERS >< ",,"',
                          shape)

    def test_access_lists(self):
        def aces(sddl):
            self.assertTrue(sddl.startswith("D:P("), sddl)  # protected: nothing inherited
            entries = re.findall(r"\(([^)]*)\)", sddl[3:])
            self.assertEqual(sddl[3:], "".join("(%s)" % e for e in entries))
            result = {}
            for entry in entries:
                kind, flags, rights, _, _, sid = entry.split(";")
                self.assertEqual("A", kind, entry)
                mask = 0x1F01FF if rights == "FA" else int(rights, 16)
                result[(sid, flags)] = mask
            return result

        read, write_data, append, read_ea, write_ea, execute = 0x1, 0x2, 0x4, 0x8, 0x10, 0x20
        delete_child, read_attributes, write_attributes = 0x40, 0x80, 0x100
        delete, read_control, synchronize = 0x10000, 0x20000, 0x100000
        full = 0x1F01FF
        reading = read | read_ea | execute | read_attributes | read_control | synchronize
        # Users: list the folder and add files (and folders) to it; files
        # they add, or anything else put in it, inherit change and delete
        # for users, so UPDT can rename the service program's files. They
        # may not delete or rename what is in the folder by the folder's own
        # entry (no delete-child), nor the folder itself.
        folder_users = reading | write_data | append | write_ea | write_attributes
        expected = {
            ("ProgramFolder", "INSTALLDIR", "CreateFolder"): {
                ("SY", "OICI"): full, ("BA", "OICI"): full,
                ("BU", ""): folder_users, ("BU", "OICIIO"): folder_users | delete},
            # vxhid.exe, which every user's logon starts: users read and run.
            ("AgentProgram", "vxhid.exe", "File"): {
                ("SY", ""): full, ("BA", ""): full, ("BU", ""): reading},
        }
        rows = msi_table(self.msi, "MsiLockPermissionsEx")
        self.assertEqual(sorted(expected), sorted(tuple(row[:3]) for row in rows))
        for row in rows:
            self.assertEqual("", row[4], row[0])  # no condition
            self.assertEqual(expected[tuple(row[:3])], aces(row[3]), row[0])
        self.assertFalse(folder_users & (delete | delete_child))
        self.assertFalse(reading & (write_data | append | delete))


class PackageWineTest(unittest.TestCase):
    """Installs, starts, upgrades and removes under Wine, in this order."""

    port = None

    @classmethod
    def setUpClass(cls):
        if TABLES_BROKEN:
            raise unittest.SkipTest("the package's tables are wrong: " + ", ".join(TABLES_BROKEN))
        start_machine()

    def setUp(self):
        self.m = MACHINE

    def test_01_install_with_address_and_port(self):
        PackageWineTest.port = port = e2e.free_port()
        self.assertEqual(0, self.m.install(PACKAGES["current"], ADDRESS="127.0.0.1",
                                           PORT=str(port)))
        version = msi_version(PACKAGES["current"])
        self.assertEqual([("Tessel HID", version, "Vexmoor")], self.m.products())
        self.assertTrue(self.m.exists(PROGRAM_FOLDER + r"\vxhid.exe"))
        target, working, arguments = self.m.shortcut()
        self.assertEqual(PROGRAM_FOLDER + r"\vxhid.exe", target)
        self.assertEqual(PROGRAM_FOLDER, working.rstrip("\\"))
        self.assertEqual("-I 127.0.0.1 -P %d" % port, arguments)

        texts = self.m.drive("version-info", PROGRAM_FOLDER + r"\vxhid.exe").stdout.splitlines()
        for line in ("CompanyName=Vexmoor", "ProductName=Tessel HID", "FileVersion=" + version,
                     "ProductVersion=" + version):
            self.assertIn(line, texts)

    def test_02_the_shortcut_starts_the_agent_in_the_program_folder(self):
        port = self.port
        self.m.start_shortcut()
        e2e.wait_until(lambda: e2e.listeners(port), 30, "the agent to listen on %d" % port, 0.2)
        self.assertEqual(["127.0.0.1"], e2e.listeners(port))
        result = self.m.handshake(port)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("100 Confirmed", result.value("verdict"))
        with open(self.m.unix_path(PROGRAM_FOLDER + r"\vxhid.log"), "rb") as f:
            first = f.readline()
        self.assertIn(b"(vxhid.exe) version %s 127.0.0.1 CI Port %d"
                      % (msi_version(PACKAGES["current"]).encode(), port), first)
        self.m.stop_agent(port)

    def test_03_upgrade_keeps_logs_settings_and_update_files(self):
        kept = {
            "ini.txt": b"%d\r\n%s\r\n" % (self.port, PROGRAM_FOLDER.encode()),
            "vxdnc.exe": b"service program",
            "vxdnc.obo": b"saved service program",
            "vxdnc.update": b"replacement",
            "tesselDncUpdater.exe": b"updater",
        }
        for name, data in kept.items():
            with open(self.m.unix_path(PROGRAM_FOLDER + "\\" + name), "wb") as f:
                f.write(data)
        log = self.m.unix_path(PROGRAM_FOLDER + r"\vxhid.log")
        with open(log, "rb") as f:
            kept["vxhid.log"] = f.read()

        # No property given: the shortcut keeps its arguments.
        self.assertEqual(0, self.m.install(PACKAGES["next"]))
        self.assertEqual([("Tessel HID", msi_version(PACKAGES["next"]), "Vexmoor")],
                         self.m.products())
        self.assertEqual("-I 127.0.0.1 -P %d" % self.port, self.m.shortcut()[2])
        self.assertTrue(self.m.exists(PROGRAM_FOLDER + r"\vxhid.exe"))
        for name, data in kept.items():
            with open(self.m.unix_path(PROGRAM_FOLDER + "\\" + name), "rb") as f:
                self.assertEqual(data, f.read(), name)

        # The previous package (only its fourth number lower) is refused and
        # changes nothing.
        self.assertTrue(self.m.refused(PACKAGES["current"]))
        self.assertEqual([("Tessel HID", msi_version(PACKAGES["next"]), "Vexmoor")],
                         self.m.products())
        self.assertEqual("-I 127.0.0.1 -P %d" % self.port, self.m.shortcut()[2])

        # Given properties replace the saved arguments as a whole, also when
        # the installed package itself runs again: it then reinstalls (Wine
        # rewrites the shortcut in a plain maintenance pass too, Windows
        # only with REINSTALL).
        self.assertEqual(0, self.m.install(PACKAGES["next"], LOGLEVEL="3"))
        self.assertEqual("-D 3", self.m.shortcut()[2])
        self.assertIn(b"REINSTALL = ALL", self.m.log())

    def test_04_removal_keeps_logs_and_ini_txt(self):
        self.assertEqual(0, self.m.uninstall(PACKAGES["next"]))
        self.assertEqual([], self.m.products())
        self.assertFalse(self.m.exists(PROGRAM_FOLDER + r"\vxhid.exe"))
        self.assertFalse(self.m.exists(SHORTCUT))
        for name in ("vxhid.log", "ini.txt", "vxdnc.exe", "vxdnc.obo"):
            self.assertTrue(self.m.exists(PROGRAM_FOLDER + "\\" + name), name)

    def test_05_arguments_only_for_the_properties_given(self):
        cases = [
            ({}, ""),
            ({"LOGLEVEL": "0"}, "-D 0"),
            ({"PORT": "9000", "PEERS": "127.0.0.2,127.0.0.3"}, "-P 9000 -A 127.0.0.2,127.0.0.3"),
            ({"ADDRESS": "127.0.0.1", "PORT": "8194", "LOGLEVEL": "2", "PEERS": "127.0.0.4"},
             "-I 127.0.0.1 -P 8194 -D 2 -A 127.0.0.4"),
            ({"ADDRESS": "127.0.0.1", "PEERS": "127.0.0.5"}, "-I 127.0.0.1 -A 127.0.0.5"),
            ({"KEYBOARD": "US"}, "-L US"),
            ({"PORT": "9000", "KEYBOARD": "us"}, "-P 9000 -L US"),
        ]
        for properties, arguments in cases:
            with self.subTest(properties=properties):
                self.assertEqual(0, self.m.install(PACKAGES["current"], **properties))
                target, working, actual = self.m.shortcut()
                self.assertEqual(arguments, actual)
                self.assertEqual(PROGRAM_FOLDER, working.rstrip("\\"))
                self.assertEqual(0, self.m.uninstall(PACKAGES["current"]))
                self.assertFalse(self.m.exists(SHORTCUT))

    def test_06_a_newer_installed_version_is_not_replaced(self):
        # Newer in the third number: the Upgrade table's detection refuses.
        self.assertEqual(0, self.m.install(PACKAGES["newer"]))
        self.assertTrue(self.m.refused(PACKAGES["current"]))
        self.assertEqual([("Tessel HID", msi_version(PACKAGES["newer"]), "Vexmoor")],
                         self.m.products())
        self.assertEqual(0, self.m.uninstall(PACKAGES["newer"]))

    def test_07_values_the_agent_would_misread_are_refused(self):
        # A host name (the agent would skip its letters and listen on the
        # first address), a blank in the list (a malformed list: the agent
        # would not start), " -X" (the agent's start after an update), a
        # port out of range, a level the agent would read
        # as another, a keyboard translation the agent does not know. The table test covers the rest of what is refused;
        # these show that Wine's msiexec evaluates the conditions as meant.
        cases = [
            {"ADDRESS": "localhost"},
            {"PEERS": "127.0.0.2, 127.0.0.3"},
            {"ADDRESS": "127.0.0.1 -X"},
            {"PORT": "70000"},
            {"LOGLEVEL": "03"},
            {"KEYBOARD": "DE"},
        ]
        for properties in cases:
            with self.subTest(properties=properties):
                self.assertTrue(self.m.refused(PACKAGES["current"], **properties))
                self.assertEqual([], self.m.products())
                self.assertFalse(self.m.exists(PROGRAM_FOLDER + r"\vxhid.exe"))
                self.assertFalse(self.m.exists(SHORTCUT))


def parse_options():
    parser = e2e.option_parser()
    parser.add_argument("--msi", required=True)
    e2e.add_windows_options(parser, "cncpeer")
    return e2e.parse_options(parser, paths=("msi", "win_build", "cncpeer"))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
