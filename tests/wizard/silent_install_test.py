#!/usr/bin/env python3
"""The install without a window, as a script runs it: the real installer (built with loopback
URLs) under Wine with /S and its switches, nginx serving the stand-in setup program, probe.exe
watching that no dialog, wizard or message box, ever shows. Each case reads the exit code.

usage: silent_install_test.py --exe VantreoInstaller.exe --probe probe.exe
           --setup VantreoSetup.exe --sign-keys DIR --signer SUBJECT --work DIR [unittest args]
"""

import contextlib
import os
import shutil
import struct
import subprocess
import sys
import threading
import time
import unittest

import install_driver as drv
from install_driver import KEY, gui

FOLDER = r"C:\Net Bar\Vantreo"
LAUNCHER = "VantreoSilentTestLauncher"
REG_SZ = 1
# Long enough for the HTTP layer to give up on a permanent error (4xx) and for a few of
# today's retries of one.
PERMANENT_ERROR_SECONDS = 15

options = None
rig = None
nginx = None


def setUpModule():
    global rig, nginx
    if os.geteuid() != 0:
        raise unittest.SkipTest("nginx needs root for port 80")
    nginx = drv.Nginx(os.path.join(options.work, "nginx"), options.address).start()
    rig = drv.make_rig(options.work, options.probe, "silent").__enter__()


def tearDownModule():
    if rig:
        rig.__exit__(*sys.exc_info())
    if nginx:
        nginx.stop()


def read_lines(path):
    with open(path, encoding="utf-8") as text:
        return text.read().splitlines()


class SilentRun:
    """The installer started with `args`; `wait` follows it to its end, noting every dialog
    window (the wizard, a message box) that shows meanwhile."""

    def __init__(self, args, exe=None):
        self.program = rig.start(exe or options.exe, args)
        self.windows = []

    def wait(self, timeout):
        deadline = time.time() + timeout
        while True:
            for window in (rig.probe.find("#32770", "*"), rig.probe.find("*", drv.WIZARD_TITLE)):
                if window:
                    self.windows.append(window.title)
            code = self.program.wait(0.2)
            if code is not None or time.time() > deadline:
                return code


class SilentCase(unittest.TestCase):
    def setUp(self):
        drv.forget_installs(rig, [FOLDER])
        nginx.serve(options.setup, signer=(options.sign_keys, options.signer))
        nginx.clear_log()
        drv.clear_install_log(rig.prefix)

    def tearDown(self):
        rig.stop_all()
        rig.probe.kill("VantreoInstaller.exe")
        rig.probe.kill("VantreoSetup.exe")

    def run_silent(self, args, timeout=20, code=None, exe=None):
        """Runs the installer (`exe`, else --exe) to its end (within `timeout` seconds) and
        returns its exit code, checked against `code` when given; no window may show."""
        run = SilentRun(args, exe)
        result = run.wait(timeout)
        self.assertEqual(run.windows, [], "a window showed")
        if code is not None:
            self.assertEqual(result, code, "%s ended with %s:\n%s" % (
                args, result, "\n".join(drv.install_log(rig.prefix)[-15:])))
        return result

    def assert_log_has(self, patterns, lines=None):
        lines = drv.install_log(rig.prefix) if lines is None else lines
        self.assertIsNone(drv.log_lacks(lines, patterns), "\n".join(lines[-30:]))

    def setup_log(self):
        path = os.path.join(drv.unix_path(rig.prefix, FOLDER), "setup.log")
        if not os.path.exists(path):
            return None
        with open(path) as log:
            return log.readline().strip()


PROXIES_SH = os.path.join(os.path.dirname(drv.NGINX_SH), "proxies.sh")
SQUID = "127.0.0.229:3128"
CONNECTIONS = r"Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
REG_BINARY = 3


def set_connection_settings(flags, proxy=""):
    """Stores Internet Options' DefaultConnectionSettings value: flags (1 direct, 2 fixed proxy),
    the proxy text, then an empty bypass list and script URL."""
    value = struct.pack("<III", 0x46, 1, flags) + struct.pack("<I", len(proxy)) + proxy.encode()
    return rig.probe.reg_set_raw(CONNECTIONS, "DefaultConnectionSettings", REG_BINARY,
                                 value + bytes(8) + bytes(32))


class ThroughTheSystemProxy(SilentCase):
    def setUp(self):
        super().setUp()
        self.squid_dir = os.path.join(options.work, "squid")
        result = subprocess.run([PROXIES_SH, "start", self.squid_dir, "--squid", SQUID],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))
        if os.path.exists(os.path.join(self.squid_dir, "not-started")):
            self.skipTest(open(os.path.join(self.squid_dir, "not-started")).read().strip())

    def tearDown(self):
        set_connection_settings(1)
        subprocess.run([PROXIES_SH, "stop", self.squid_dir])
        super().tearDown()

    def test_the_whole_install_goes_through_the_proxy_internet_options_name(self):
        self.assertTrue(set_connection_settings(2, SQUID))
        self.run_silent(["/S", "/NOLAUNCH", r"/D=C:\Net Bar\Vantreo"], timeout=120, code=0)
        with open(os.path.join(self.squid_dir, "squid", "access.log")) as log:
            through = [line for line in log
                       if " GET http://%s/download/VantreoSetup.exe " % options.address in line]
        self.assertGreaterEqual(len([line for line in through if "/206 " in line]), 3, through)
        self.assert_log_has(['REQUEST proxy settings from Internet Options: http "%s"' % SQUID,
                             "REQUEST route to http://%s kept: proxy %s" % (options.address, SQUID),
                             "END exit code 0"])


class WholeSilentInstall(SilentCase):
    def test_installs_into_the_given_folder_and_starts_the_game_unless_nolaunch(self):
        # The folder unquoted, its blank splitting it into two arguments, as scripts write it.
        self.run_silent(["/S", r"/D=C:\Net", r"Bar\Vantreo"], timeout=120, code=0)
        self.assertEqual(rig.probe.reg_query(KEY, "Path"), (REG_SZ, FOLDER.encode() + b"\0"))
        self.assertEqual(self.setup_log(), "arguments /VERYSILENT /SILENT")
        deadline = time.time() + 10
        while len(drv.started_programs(rig.prefix, FOLDER)) < 2 and time.time() < deadline:
            time.sleep(0.2)
        self.assertEqual(sorted(drv.started_programs(rig.prefix, FOLDER)),
                         ["started GlyphHint.exe in %s" % FOLDER, "started Vantreo.exe in %s" % FOLDER])
        self.assertEqual(drv.temp_downloads(rig.prefix), [], "the download was left behind")
        self.assert_log_has([r"STEP command line: /S /D=C:\\Net Bar\\Vantreo$",
                             r"STEP install started into C:\\Net Bar\\Vantreo$",
                             'CHECK .*VantreoSetup.exe: checked; signer "Vantreo Test Publisher"',
                             'LAUNCH .*VantreoSetup.exe" /VERYSILENT /SILENT', "EXIT .*exit code 0",
                             "STEP installed; starting the game", "LAUNCH .*Vantreo.exe as",
                             r"END exit code 0: installed into C:\\Net Bar\\Vantreo$"])

        # Again into the stored folder (no /D=), switches in other cases and order, the log
        # where /LOG= says: installed, the game not started.
        shutil.rmtree(drv.unix_path(rig.prefix, FOLDER))
        drv.clear_install_log(rig.prefix)
        log = drv.unix_path(rig.prefix, r"C:\silent run.log")
        if os.path.exists(log):
            os.remove(log)
        self.run_silent(["/nolaunch", r"/Log=C:\silent run.log", "/s"], timeout=120, code=0)
        self.assertEqual(self.setup_log(), "arguments /VERYSILENT /SILENT")
        time.sleep(1)
        self.assertEqual(drv.started_programs(rig.prefix, FOLDER), [])
        self.assertEqual(rig.probe.reg_query(KEY, "Path"), (REG_SZ, FOLDER.encode() + b"\0"))
        self.assertEqual(drv.install_log(rig.prefix), [], "logged at the default place")
        self.assert_log_has([r"STEP install started into C:\\Net Bar\\Vantreo$",
                             r"STEP installed; the game is not started \(/NOLAUNCH\)",
                             "END exit code 0"], read_lines(log))

    def test_a_dead_first_source_is_passed_over(self):
        # The installer built with two sources, the first a host where nothing listens.
        self.run_silent(["/S", "/NOLAUNCH", "/D=" + FOLDER], timeout=120, code=0,
                        exe=options.dead_first_exe)
        self.assertEqual(self.setup_log(), "arguments /VERYSILENT /SILENT")
        self.assert_log_has([r"REQUEST source http://127\.0\.0\.254/download/VantreoSetup\.exe not used",
                             "CHECK .*VantreoSetup.exe: checked;", "END exit code 0"])
        self.assertFalse([line for line in drv.install_log(rig.prefix)
                          if "GET http://127.0.0.254/" in line], "a request went to the dead host")

    def test_a_game_that_cannot_be_started_ends_with_10_not_0(self):
        # The setup program succeeds but leaves no game behind: installed, the start fails.
        rig.probe.reg_set_sz(KEY, "StandinPrograms", "none")
        self.run_silent(["/S", "/D=" + FOLDER], timeout=120, code=10)
        self.assertEqual(self.setup_log(), "arguments /VERYSILENT /SILENT")
        self.assert_log_has(["EXIT .*exit code 0", "STEP installed; starting the game",
                             r"LAUNCH .*\\Vantreo.exe failed",
                             r"END exit code 10: installed into C:\\Net Bar\\Vantreo, but the "
                             "game could not be started$"])


class SilentFailures(SilentCase):
    def test_what_cannot_start_ends_at_once_with_its_code(self):
        cases = [
            (["/S", "/X"], 2, 'END exit code 2: unknown switch "/X"'),
            (["/NOLAUNCH"], 2, 'END exit code 2: "/NOLAUNCH" goes only with /S'),
            (["/S", "/D="], 2, 'END exit code 2: "/D=" needs a value'),
            (["/S", r"/D=Games\Vantreo"], 7, "END exit code 7: .* not a full path"),
            (["/S", "/D=C:\\" + "x" * 250], 7, "END exit code 7: .* too long"),
        ]
        for args, code, line in cases:
            drv.clear_install_log(rig.prefix)
            self.run_silent(args, code=code)
            self.assert_log_has([line])
            self.assertIsNone(rig.probe.reg_query(KEY, "Path"), "a folder was stored")
        # A running lobby is neither closed nor shown: the script decides.
        rig.probe.reg_set_sz(KEY, "LauncherClass", LAUNCHER)
        launcher = rig.host(LAUNCHER, ignore_close=True)
        self.run_silent(["/S"], code=4)
        self.assert_log_has(["END exit code 4: the lobby is running and stays"])
        time.sleep(0.5)
        self.assertEqual(launcher.posted(), [])
        self.assertEqual(nginx.requests(), [], "a failed start downloaded")

    def test_a_refused_program_ends_with_5_and_is_never_started(self):
        nginx.serve(options.setup)  # the stand-in as built, without its signature
        self.run_silent(["/S"], timeout=120, code=5)
        self.assertIsNone(self.setup_log(), "the setup program ran")
        self.assertEqual(drv.temp_downloads(rig.prefix), [], "the refused file was kept")
        self.assert_log_has(["FAIL refused .*VantreoSetup.exe: the downloaded program is not signed",
                             "END exit code 5: the downloaded program was refused"])

    def test_a_missing_file_ends_at_once_with_1(self):
        os.remove(nginx.served)  # nginx answers 404
        started = time.time()
        self.run_silent(["/S"], code=1, timeout=PERMANENT_ERROR_SECONDS)
        self.assertLess(time.time() - started, PERMANENT_ERROR_SECONDS)
        self.assertEqual([r[2] for r in nginx.requests()], [404], "asked once, not again")
        self.assert_log_has(["FAIL status: the server answered with status 404",
                             "END exit code 1: the setup program could not be downloaded: "
                             "the server answered with status 404"])

    def test_a_second_copy_ends_with_3_while_the_first_installs(self):
        first = SilentRun(["/S", "/NOLAUNCH"])
        deadline = time.time() + 30
        while not nginx.requests() and time.time() < deadline:
            time.sleep(0.2)
        self.assertTrue(nginx.requests(), "the first copy did not begin")
        self.run_silent(["/S"], code=3)
        self.assert_log_has(["END exit code 3: another installer is running"])
        self.assertEqual(first.wait(120), 0)
        self.assertEqual(first.windows, [], "a window showed")


def downloads(requests):
    """How often the whole file was fetched: the bytes the server sent, in whole files (the
    size request's few bytes and the segments' ranges together make one)."""
    return round(sum(r[4] for r in requests if r[0] == "GET") / drv.SETUP_SIZE)


class SecuritySoftware(SilentCase):
    """A scanner at work on the new file, as security software does it to a new program."""

    def test_a_file_a_scanner_holds_is_waited_out(self):
        # Held from its first byte for 15 s: the download (about 6 s) ends first, and the new
        # file's rename to its name waits for the scanner, well within the 30 s allowed.
        holder = rig.start(options.scanner_hold, [drv.SETUP_NAME + ".download", "15000"])
        self.run_silent(["/S", "/NOLAUNCH", "/D=" + FOLDER], timeout=120, code=0)
        self.assertEqual(holder.wait(10), 0, "the scanner never held the file")
        self.assertEqual(self.setup_log(), "arguments /VERYSILENT /SILENT")
        self.assertEqual(downloads(nginx.requests()), 1, nginx.requests())
        lines = drv.install_log(rig.prefix)
        self.assertEqual([line for line in lines if "_tmp" in line], [])
        self.assertEqual([p for p in drv.temp_downloads(rig.prefix) if "_tmp" in p], [])
        self.assert_log_has([r"(WAIT|REQUEST) .*VantreoSetup\.exe.*in use by another program",
                             "END exit code 0"], lines)

    def test_a_file_taken_away_each_time_ends_with_9_after_two_downloads(self):
        stop = threading.Event()

        def quarantine():  # deletes the new program whenever it shows
            while not stop.is_set():
                for path in drv.temp_downloads(rig.prefix):
                    if os.path.basename(path) == drv.SETUP_NAME:
                        with contextlib.suppress(OSError):
                            os.remove(path)
                time.sleep(0.002)

        scanner = threading.Thread(target=quarantine)
        scanner.start()
        try:
            self.run_silent(["/S", "/NOLAUNCH", "/D=" + FOLDER], timeout=180, code=9)
        finally:
            stop.set()
            scanner.join()
        self.assertIsNone(self.setup_log(), "the setup program ran")
        self.assertEqual(downloads(nginx.requests()), 2, nginx.requests())
        lines = drv.install_log(rig.prefix)
        self.assertEqual([line for line in lines if "refused" in line], [], "\n".join(lines))
        self.assert_log_has([r"END exit code 9: the downloaded file was taken away by security "
                             r"software: .*VantreoSetup.exe"], lines)


def main():
    global options
    options, argv = drv.parse_test_options(
        ("--exe", "--probe", "--setup", "--address", "--work", "--sign-keys", "--signer",
         "--dead-first-exe", "--scanner-hold"))
    unittest.main(argv=argv, verbosity=2)


if __name__ == "__main__":
    main()
