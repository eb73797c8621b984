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
import shutil
import struct
import subprocess
import tempfile
import unittest

import e2e_support as e2e

COMMAND_TIMEOUT = 120

INSTALL_FOLDER = r"C:\Program Files\Vexmoor\vxhid"
# The folder of the packages before the program moved under Program Files.
EARLIER_FOLDER = r"C:\ProgramData\Vexmoor\vxhid"
# Each user's own program folder, which the shortcut names first.
FOLDER_OPTION = '-F "%LOCALAPPDATA%\\Vexmoor\\vxhid"'

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

    def user_folder(self):
        """The program folder of this prefix's user: %LOCALAPPDATA% as Wine
        sets it, with Vexmoor\\vxhid."""
        value = self.wine("cmd", "/c", "echo", "%LOCALAPPDATA%").stdout.strip()
        return value + r"\Vexmoor\vxhid"

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


def build_earlier_package(version, path):
    """The package as released before the program moved under Program
    Files (tests/e2e/earlier_package: vxhid.exe and everything a user's
    agent writes in C:\\ProgramData\\Vexmoor\\vxhid), with this build's
    program."""
    stage = tempfile.mkdtemp(prefix="vxhid-earlier-package-")
    try:
        for source in (os.path.join(e2e.ROOT, "tests", "e2e", "earlier_package", "vxhid.wxs"),
                       os.path.join(e2e.ROOT, "tests", "e2e", "earlier_package", "permissions.idt"),
                       os.path.join(e2e.ROOT, "resources", "vxhid.ico"),
                       os.path.join(OPTIONS.win_build, "vxhid.exe")):
            shutil.copy(source, stage)
        subprocess.run(["wixl", "-a", "x64", "-D", "Version=" + version,
                        "-D", "VersionBase=" + version.rsplit(".", 1)[0],
                        "-D", "VersionRevision=" + version.rsplit(".", 1)[1],
                        "-D", "UpgradeCode=" + UPGRADE_CODE, "-o", "earlier.msi", "vxhid.wxs"],
                       cwd=stage, check=True, timeout=COMMAND_TIMEOUT, stdout=subprocess.DEVNULL)
        subprocess.run(["msibuild", "earlier.msi", "-i", "permissions.idt"], cwd=stage,
                       check=True, timeout=COMMAND_TIMEOUT)
        shutil.move(os.path.join(stage, "earlier.msi"), path)
    finally:
        shutil.rmtree(stage, ignore_errors=True)


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

        roots = {"CommonAppDataFolder": "C:\\ProgramData", "ProgramFiles64Folder": "C:\\Program Files"}

        def path(directory):
            parts = []
            while directory not in roots:
                directory, name = directories[directory]
                parts.insert(0, name)
            return "\\".join([roots[directory]] + parts)

        components = {row[0]: row for row in msi_table(self.msi, "Component")}
        self.assertEqual({"AgentProgram", "StartupShortcut"}, set(components))
        program = components["AgentProgram"]
        self.assertEqual(INSTALL_FOLDER, path(program[2]))
        self.assertEqual("vxhid.exe", program[5])
        self.assertEqual(STARTUP_FOLDER, path(components["StartupShortcut"][2]))
        for row in components.values():
            self.assertTrue(int(row[3]) & 256, "not a 64-bit component: " + row[0])
        files = msi_table(self.msi, "File")
        self.assertEqual([["vxhid.exe", "AgentProgram", "vxhid.exe"]], [f[:3] for f in files])
        # The package makes no folder for the agent to write in.
        self.assertEqual([], msi_table(self.msi, "CreateFolder"))

        shortcut, = msi_table(self.msi, "Shortcut")
        self.assertEqual(["StartAtLogon", "AllUsersStartupFolder"], shortcut[:2])
        self.assertEqual("Vexmoor Tessel HID.lnk", shortcut[2].split("|")[-1])
        self.assertEqual(["StartupShortcut", "[#vxhid.exe]", "[VxhidShortcutArgs]"], shortcut[3:6])
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
        # The shortcut's arguments: the user's folder, then the options,
        # once those are built.
        shortcut_args = {row[3]: name for name, row in actions.items()
                         if row[2] == "VxhidShortcutArgs"}
        self.assertEqual({FOLDER_OPTION, FOLDER_OPTION + " [VxhidArgs]"}, set(shortcut_args))
        for name in shortcut_args.values():
            self.assertNotIn(name, ui_sequence)
            self.assertLess(max(int(sequence[a][2]) for a in args), int(sequence[name][2]))
            self.assertLess(int(sequence[name][2]), int(sequence["CreateShortcuts"][2]))
        self.assertEqual('VxhidArgs = ""', sequence[shortcut_args[FOLDER_OPTION]][1])
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

    def test_no_access_lists(self):
        # vxhid.exe and its folder keep what Program Files passes on: users
        # read and run, and change nothing. No table of the package widens
        # that.
        tables = subprocess.run(["msiinfo", "tables", self.msi], capture_output=True, text=True,
                                check=True, timeout=COMMAND_TIMEOUT).stdout.split()
        for table in ("LockPermissions", "MsiLockPermissionsEx"):
            if table in tables:
                self.assertEqual([], msi_table(self.msi, table), table)


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
        self.assertEqual(["vxhid.exe"], os.listdir(self.m.unix_path(INSTALL_FOLDER)))
        target, working, arguments = self.m.shortcut()
        self.assertEqual(INSTALL_FOLDER + r"\vxhid.exe", target)
        self.assertEqual(INSTALL_FOLDER, working.rstrip("\\"))
        self.assertEqual(FOLDER_OPTION + " -I 127.0.0.1 -P %d" % port, arguments)

        texts = self.m.drive("version-info", INSTALL_FOLDER + r"\vxhid.exe").stdout.splitlines()
        for line in ("CompanyName=Vexmoor", "ProductName=Tessel HID", "FileVersion=" + version,
                     "ProductVersion=" + version):
            self.assertIn(line, texts)

    def test_02_the_shortcut_starts_the_agent_in_the_users_own_folder(self):
        port = self.port
        user_folder = self.m.user_folder()
        self.assertFalse(self.m.exists(user_folder))
        self.m.start_shortcut()
        e2e.wait_until(lambda: e2e.listeners(port), 30, "the agent to listen on %d" % port, 0.2)
        self.assertEqual(["127.0.0.1"], e2e.listeners(port))
        result = self.m.handshake(port)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("100 Confirmed", result.value("verdict"))
        # The agent made the user's folder and keeps its files there, and
        # nothing beside vxhid.exe.
        with open(self.m.unix_path(user_folder + r"\vxhid.log"), "rb") as f:
            first = f.readline()
        self.assertIn(b"(vxhid.exe) version %s 127.0.0.1 CI Port %d"
                      % (msi_version(PACKAGES["current"]).encode(), port), first)
        for name in ("vxhid.scans", "vxhid.scans.lock"):
            self.assertTrue(self.m.exists(user_folder + "\\" + name), name)
        self.assertEqual(["vxhid.exe"], os.listdir(self.m.unix_path(INSTALL_FOLDER)))
        self.m.stop_agent(port)

    def test_03_upgrade_replaces_the_program_and_keeps_the_users_files(self):
        user_folder = self.m.user_folder()
        kept = {
            "ini.txt": b"%d\r\n%s\r\n" % (self.port, user_folder.encode()),
            "vxdnc.exe": b"service program",
            "vxdnc.obo": b"saved service program",
            "vxdnc.update": b"replacement",
            "tesselDncUpdater.exe": b"updater",
        }
        for name, data in kept.items():
            with open(self.m.unix_path(user_folder + "\\" + name), "wb") as f:
                f.write(data)
        for name in ("vxhid.log", "vxhid.scans"):
            with open(self.m.unix_path(user_folder + "\\" + name), "rb") as f:
                kept[name] = f.read()

        # No property given: the shortcut keeps its arguments.
        self.assertEqual(0, self.m.install(PACKAGES["next"]))
        self.assertEqual([("Tessel HID", msi_version(PACKAGES["next"]), "Vexmoor")],
                         self.m.products())
        self.assertEqual(FOLDER_OPTION + " -I 127.0.0.1 -P %d" % self.port, self.m.shortcut()[2])
        self.assertEqual(["vxhid.exe"], os.listdir(self.m.unix_path(INSTALL_FOLDER)))
        for name, data in kept.items():
            with open(self.m.unix_path(user_folder + "\\" + name), "rb") as f:
                self.assertEqual(data, f.read(), name)

        # The previous package (only its fourth number lower) is refused and
        # changes nothing.
        self.assertTrue(self.m.refused(PACKAGES["current"]))
        self.assertEqual([("Tessel HID", msi_version(PACKAGES["next"]), "Vexmoor")],
                         self.m.products())
        self.assertEqual(FOLDER_OPTION + " -I 127.0.0.1 -P %d" % self.port, self.m.shortcut()[2])

        # Given properties replace the saved arguments as a whole, also when
        # the installed package itself runs again: it then reinstalls (Wine
        # rewrites the shortcut in a plain maintenance pass too, Windows
        # only with REINSTALL).
        self.assertEqual(0, self.m.install(PACKAGES["next"], LOGLEVEL="3"))
        self.assertEqual(FOLDER_OPTION + " -D 3", self.m.shortcut()[2])
        self.assertIn(b"REINSTALL = ALL", self.m.log())

    def test_04_removal_keeps_the_users_folder(self):
        user_folder = self.m.user_folder()
        self.assertEqual(0, self.m.uninstall(PACKAGES["next"]))
        self.assertEqual([], self.m.products())
        self.assertFalse(self.m.exists(INSTALL_FOLDER + r"\vxhid.exe"))
        self.assertFalse(self.m.exists(SHORTCUT))
        for name in ("vxhid.log", "vxhid.scans", "ini.txt", "vxdnc.exe", "vxdnc.obo"):
            self.assertTrue(self.m.exists(user_folder + "\\" + name), name)

    def test_05_arguments_only_for_the_properties_given(self):
        cases = [
            ({}, ""),
            ({"LOGLEVEL": "0"}, " -D 0"),
            ({"PORT": "9000", "PEERS": "127.0.0.2,127.0.0.3"}, " -P 9000 -A 127.0.0.2,127.0.0.3"),
            ({"ADDRESS": "127.0.0.1", "PORT": "8194", "LOGLEVEL": "2", "PEERS": "127.0.0.4"},
             " -I 127.0.0.1 -P 8194 -D 2 -A 127.0.0.4"),
            ({"ADDRESS": "127.0.0.1", "PEERS": "127.0.0.5"}, " -I 127.0.0.1 -A 127.0.0.5"),
            ({"KEYBOARD": "US"}, " -L US"),
            ({"PORT": "9000", "KEYBOARD": "us"}, " -P 9000 -L US"),
        ]
        for properties, options in cases:
            with self.subTest(properties=properties):
                self.assertEqual(0, self.m.install(PACKAGES["current"], **properties))
                target, working, actual = self.m.shortcut()
                self.assertEqual(FOLDER_OPTION + options, actual)
                self.assertEqual(INSTALL_FOLDER, working.rstrip("\\"))
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
                self.assertFalse(self.m.exists(INSTALL_FOLDER + r"\vxhid.exe"))
                self.assertFalse(self.m.exists(SHORTCUT))


class PackageWineUpgradeTest(unittest.TestCase):
    """An upgrade from the package that kept vxhid.exe and every user's
    files in C:\\ProgramData\\Vexmoor\\vxhid, and the carrying over of
    an undelivered scan from there as the README says. Runs after
    PackageWineTest (unittest runs the classes by name), on the same
    machine, with nothing installed."""

    def setUp(self):
        if MACHINE is None:
            self.skipTest("the Wine machine did not start")
        self.m = MACHINE

    def test_upgrade_from_the_earlier_package(self):
        earlier = os.path.join(self.m.run_dir, "vxhid-earlier.msi")
        build_earlier_package(msi_version(PACKAGES["current"]), earlier)
        port = e2e.free_port()
        self.assertEqual(0, self.m.install(earlier, ADDRESS="127.0.0.1", PORT=str(port)))
        self.assertEqual(EARLIER_FOLDER + r"\vxhid.exe", self.m.shortcut()[0])
        files = {
            "ini.txt": b"%d\r\n%s\r\n" % (port, EARLIER_FOLDER.encode()),
            "vxhid.log": b"Dec, 01 10:00:00  the earlier agent's log\r\n",
            "vxhid.scans": e2e.journal_record(b"S", 1, b"CARRIED-1"),
        }
        for name, data in files.items():
            with open(self.m.unix_path(EARLIER_FOLDER + "\\" + name), "wb") as f:
                f.write(data)

        # The upgrade removes the earlier program, installs the new one
        # under Program Files, keeps the arguments and leaves the earlier
        # folder's files as they are.
        self.assertEqual(0, self.m.install(PACKAGES["current"]))
        self.assertEqual([("Tessel HID", msi_version(PACKAGES["current"]), "Vexmoor")],
                         self.m.products())
        self.assertFalse(self.m.exists(EARLIER_FOLDER + r"\vxhid.exe"))
        target, working, arguments = self.m.shortcut()
        self.assertEqual(INSTALL_FOLDER + r"\vxhid.exe", target)
        self.assertEqual(FOLDER_OPTION + " -I 127.0.0.1 -P %d" % port, arguments)
        for name, data in files.items():
            with open(self.m.unix_path(EARLIER_FOLDER + "\\" + name), "rb") as f:
                self.assertEqual(data, f.read(), name)

        # Carried over as the README says, the undelivered scan reaches the
        # CNC Service from the user's own folder.
        user_folder = self.m.unix_path(self.m.user_folder())
        os.makedirs(user_folder, exist_ok=True)
        shutil.copy(self.m.unix_path(EARLIER_FOLDER + r"\vxhid.scans"), user_folder)
        self.m.start_shortcut()
        e2e.wait_until(lambda: e2e.listeners(port), 30, "the agent to listen on %d" % port, 0.2)
        result = self.m.handshake(port)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("CARRIED-1\n", result.answer("PRBE"))
        self.m.stop_agent(port)
        self.assertEqual(0, self.m.uninstall(PACKAGES["current"]))
        self.assertTrue(os.path.exists(os.path.join(user_folder, "vxhid.scans")))


def parse_options():
    parser = e2e.option_parser()
    parser.add_argument("--msi", required=True)
    e2e.add_windows_options(parser, "cncpeer")
    return e2e.parse_options(parser, paths=("msi", "win_build", "cncpeer"))


if __name__ == "__main__":
    OPTIONS, REST = parse_options()
    e2e.run_tests(REST)
