#!/usr/bin/env python3
"""The whole install as a user sees it: the real installer (built with loopback URLs) under Wine
in a virtual display, nginx serving the stand-in setup program throttled on a loopback address,
and probe.exe pressing the buttons and reading the status line and the bar.

usage: install_gui_test.py --exe VantreoInstaller.exe --probe probe.exe
           --tree-probe tree_probe.exe --setup VantreoSetup.exe --address 127.0.0.61
           --work DIR [unittest args]
"""

import os
import re
import shutil
import subprocess
import sys
import time
import unittest

import install_driver as drv
from install_driver import (CONFIGURING, FOLDER_LABEL, IDC_AGREE, IDC_BAR_CAP, IDC_BROWSE,
                            IDC_CLOSE, IDC_MANUAL_LINK, IDC_MINIMIZE, IDC_PATH,
                            IDC_TERMS_LINK, IDCANCEL, IDOK, INSTALLING, KEY, NETWORK_STALLED,
                            PACKAGE_REFUSED, REDOWNLOADING, SETUP_SIZE, STARTING_GAME, gui)

DEFAULT_FOLDER = r"C:\Program Files\Vantreo"
LOBBY_TEXT = "Lumeo游戏大厅正在运行，是否要重新安装?"
REG_SZ, REG_DWORD = 1, 4
IDC_LOG_PATH = 1012
QUIT_QUESTION = "安装尚未完成，确定要退出吗？"
NEW_FOLDER_BUTTON = 0x3746  # of the system's folder dialog
FULL_BAR = 453

options = None
rig = None
nginx = None


def signer():
    """The test certificate the build signs its stand-ins with: (key folder, subject)."""
    return (options.sign_keys, options.signer)


def setUpModule():
    global rig, nginx
    if os.geteuid() != 0:
        raise unittest.SkipTest("nginx needs root for port 80 on %s" % options.address)
    tls = (os.path.join(options.tls_dir, "server.pem"), os.path.join(options.tls_dir, "server.key"))
    nginx = drv.Nginx(os.path.join(options.work, "nginx"), options.address, tls=tls).start()
    rig = drv.make_rig(options.work, options.probe, "install").__enter__()
    # A D: drive for the folder dialog.
    drive_d = os.path.join(options.work, "drive-d")
    os.makedirs(drive_d, exist_ok=True)
    link = os.path.join(rig.prefix, "dosdevices", "d:")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(drive_d, link)
    # The prefix's drive list is read when its server starts: start it again.
    rig.probe.close()
    subprocess.run(["wineserver", "-k"], env=rig.env, check=False)
    subprocess.run(["wineserver", "-w"], env=rig.env, check=False)
    rig.probe = gui.Probe(rig, rig.probe_exe)


def tearDownModule():
    if rig:
        rig.__exit__(*sys.exc_info())
    if nginx:
        nginx.stop()


class InstallCase(unittest.TestCase):
    def setUp(self):
        drv.forget_installs(rig, [DEFAULT_FOLDER, r"D:\Vantreo"])
        self.digest = nginx.serve(options.setup, signer=signer())
        nginx.clear_log()
        drv.clear_install_log(rig.prefix)
        self.wizard = None

    def tearDown(self):
        if self.wizard:
            self.wizard.close()
        rig.stop_all()
        rig.probe.kill("VantreoInstaller.exe")
        rig.probe.kill("VantreoSetup.exe")

    def open_wizard(self, exe=None):
        self.wizard = drv.Wizard(rig, exe or options.exe, options.watch)
        return self.wizard

    def wait_percent(self, at_least, timeout=60):
        samples = self.wizard.watch(
            until=lambda s: (s.percent or 0) >= at_least, timeout=timeout)
        self.assertTrue(samples and (samples[-1].percent or 0) >= at_least,
                        "the download did not reach %d %%: %s" % (at_least, samples[-3:]))
        return samples

    def assert_exits_quickly(self, started, limit=2.5):
        code = self.wizard.program.wait(10)
        elapsed = time.time() - started
        self.assertIsNotNone(code, "the installer still runs")
        self.assertLess(elapsed, limit, "the installer took %.1f s to end" % elapsed)
        return elapsed

    def close_running(self, wizard):
        """Closes the wizard while an install runs: it asks; Yes ends it."""
        wizard.post(gui.WM_CLOSE)
        box = rig.probe.message_box(drv.BOX_TITLE, 10000)
        self.assertIsNotNone(box, "no question")
        rig.probe.click(box[0], gui.IDYES)
        self.assertIsNotNone(wizard.program.wait(10))

    def assert_install_completed(self, samples, folder=DEFAULT_FOLDER):
        """The end of a whole install: the closing texts, the full bar, the exit, the two
        programs started in the install folder, the downloaded file byte for byte."""
        lines = drv.distinct(samples)
        self.assertEqual(lines[-2:], [CONFIGURING, STARTING_GAME], lines)
        self.assertNotIn(NETWORK_STALLED, lines)
        self.assertNotIn(REDOWNLOADING, lines)
        finishing = [s for s in samples if s.status == STARTING_GAME and s.strip]
        self.assertTrue(finishing, "no sample while the game starts")
        self.assertEqual(finishing[-1].bar_width, FULL_BAR)
        self.assertEqual(self.wizard.program.wait(15), 0, "the installer did not end by itself")

        deadline = time.time() + 10
        while len(drv.started_programs(rig.prefix, folder)) < 2 and time.time() < deadline:
            time.sleep(0.2)
        self.assertEqual(sorted(drv.started_programs(rig.prefix, folder)),
                         ["started GlyphHint.exe in %s" % folder,
                          "started Vantreo.exe in %s" % folder])
        setup_log = os.path.join(drv.unix_path(rig.prefix, folder), "setup.log")
        with open(setup_log) as log:
            self.assertEqual(log.read().split("\n")[0].strip(), "arguments /VERYSILENT /SILENT")
        # The installer runs elevated under Wine: it downloaded to its private folder and
        # deleted the program once it had run. The program ran only after its signature
        # (which covers every byte) was checked.
        downloads = drv.temp_downloads(rig.prefix)
        self.assertEqual(downloads, [], "the download or its parts were left behind")
        self.assert_log_has(["START VantreoInstaller.exe .* elevated",
                             "STEP install started into " + re.escape(folder),
                             "REQUEST GET https?://.*/VantreoSetup.exe range - status 200 ",
                             "REQUEST GET https?://.*/VantreoSetup.exe range \\d+- status 206 bytes \\d+ ms",
                             'CHECK .*VantreoSetup.exe: checked; signer "Vantreo Test Publisher"',
                             "LAUNCH .*VantreoSetup.exe\" /VERYSILENT /SILENT",
                             "EXIT .*exit code 0", "STEP installed; starting the game",
                             "LAUNCH .*Vantreo.exe as the signed-in user"])

    def assert_log_has(self, patterns):
        """Each pattern matches a line of the installer's log, in this order."""
        lines = drv.install_log(rig.prefix)
        self.assertIsNone(drv.log_lacks(lines, patterns), "\n".join(lines[-40:]))

    def assert_bar_follows(self, samples):
        widths = [s.bar_width for s in samples if s.strip]
        self.assertTrue(widths, "the bar never showed")
        self.assertEqual(widths, sorted(widths), "the bar shrank")
        for sample in samples:
            if sample.strip:
                left, top, right, bottom = sample.strip
                if right == left:  # placed empty, out of the way
                    self.assertEqual((left, top), (25, 295), sample)
                else:
                    self.assertEqual((left, top, bottom - top), (28, 295, 10), sample)
        # Never ahead of the line (which is truncated: at 7 % the bar may stand at 7.9 %), but
        # the finish fills the bar just before it changes the line: the run of samples of the
        # line shown just before the closing texts may show a fuller bar.
        closing = next((i for i, s in enumerate(samples)
                        if s.status in (CONFIGURING, STARTING_GAME)), len(samples))
        last_line_start = closing
        while last_line_start > 0 and samples[last_line_start - 1].status == \
                samples[closing - 1].status:
            last_line_start -= 1
        for sample in samples[:last_line_start]:
            if sample.percent is not None:
                self.assertLessEqual(sample.bar_width, FULL_BAR * (sample.percent + 1) // 100,
                                     sample)


class WholeInstall(InstallCase):
    def check_whole_install(self, served_size, shots, exe=None):
        self.digest = nginx.serve(options.setup, served_size, signer())
        wizard = self.open_wizard(exe)
        self.assertEqual(wizard.status(), FOLDER_LABEL)
        wizard.screenshot(shots + "-0-ready")
        wizard.watcher.shots = shots
        wizard.click(IDOK)
        # Every change of the line and every step of the bar re-renders the skin: none may
        # keep a GDI object. A leak grows with every repaint, in both halves; an object made
        # once, the first time something is drawn, adds to one half only.
        samples, gdi = [], []
        for percent in (35, 60, 85):
            samples += wizard.watch(until=lambda s: (s.percent or 0) >= percent, timeout=60)
            gdi.append(gdi_objects(wizard))
        samples += wizard.watch(timeout=120)
        print("\n%s: %s" % (shots, " | ".join(drv.distinct(samples))))
        print("GDI objects at 35, 60 and 85 %%: %s" % gdi)
        self.assertGreater(gdi[0], 0)
        self.assertLessEqual(min(gdi[1] - gdi[0], gdi[2] - gdi[1]), 2, "GDI objects pile up")

        lines = drv.distinct(samples)
        if lines[0] == FOLDER_LABEL:  # sampled before the monitor's first word
            lines = lines[1:]
        self.assertEqual(lines[0], INSTALLING, lines)
        percents = [s.percent for s in samples if s.percent is not None]
        self.assertEqual(percents, sorted(percents), "the percentage went back")
        self.assertLess(percents[0], 50, "the first percentage came late: %s" % lines)
        self.assertIn(90, percents, lines)
        creep = sorted({p for p in percents if p > 90})
        self.assertGreaterEqual(len(creep), 3, "no creep while the setup program ran: %s" % lines)
        # The download may be paused; the setup program may not.
        self.assertTrue(any(s.start_enabled for s in samples if (s.percent or 100) < 90))
        self.assertFalse(any(s.start_enabled for s in samples if (s.percent or 0) > 90))
        self.assert_bar_follows(samples)
        # The download fills 90 % of the bar: 407 of 453 pixels.
        self.assertIn(FULL_BAR * 90 // 100, [s.bar_width for s in samples if s.percent == 90])
        self.assert_install_completed(samples)

        # The size probe, then four segments (the first from byte 0, asked without a range).
        requests = nginx.requests()
        self.assertEqual(len(requests), 5, requests)
        starts = sorted(int(r[3][len("bytes="):-1]) for r in requests if r[3] != "-")
        quarter = served_size // 4
        self.assertEqual(starts, [quarter, 2 * quarter, 3 * quarter], requests)
        self.assertEqual(rig.probe.reg_query(KEY, "Path"), (REG_SZ, DEFAULT_FOLDER.encode() + b"\0"))

    def test_whole_install_when_the_size_matches(self):
        self.check_whole_install(SETUP_SIZE, "install")

    def test_whole_install_over_https_with_the_pinned_root(self):
        # The installer built for https://ADDRESS/... with the test root as its only root.
        self.check_whole_install(SETUP_SIZE, "install-https", exe=options.https_exe)
        self.assert_log_has([r"TLS %s: https, certificate .*%s" % (
            re.escape(options.address), re.escape(options.address))])

    def test_whole_install_when_the_server_file_is_larger(self):
        self.check_whole_install(SETUP_SIZE + 1400000, "install-larger")

    def test_whole_install_when_the_server_file_is_smaller(self):
        self.check_whole_install(SETUP_SIZE - 1400000, "install-smaller")

    # DLLs of system names planted beside the installer (its Downloads folder), with Wine told
    # to prefer such native DLLs: the installer takes its DLLs from System32 only. Not
    # version.dll and uxtheme.dll: Wine's own user32 imports the first and loads the second
    # by name while it starts (Windows' user32 does neither), before any code of the
    # installer runs; the control below shows the planting works for uxtheme.dll.
    PLANTED_NAMES = ("gdiplus", "wintrust", "crypt32", "bcrypt", "dwmapi", "secur32")

    def test_a_whole_install_never_loads_a_planted_dll(self):
        folder = os.path.join(options.work, "Downloads")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        exe = shutil.copy(options.exe, os.path.join(folder, "VantreoInstaller.exe"))
        shutil.copy(options.plant_probe, folder)
        for name in self.PLANTED_NAMES + ("uxtheme",):
            shutil.copy(options.planted_dll, os.path.join(folder, name + ".dll"))
        rig.env["VANTREO_EXTRA_DLLOVERRIDES"] = "uxtheme=n,b"
        try:
            # The control: the ordinary search order does load a planted DLL.
            control = rig.start(os.path.join(folder, "plant_probe.exe"), ["uxtheme.dll"])
            self.assertEqual(control.wait(30), 0)
            marker = os.path.join(folder, "uxtheme.dll.loaded")
            self.assertTrue(os.path.exists(marker), "the planted DLL was not taken: no control")
            os.remove(marker)
            os.remove(os.path.join(folder, "uxtheme.dll"))
            rig.env["VANTREO_EXTRA_DLLOVERRIDES"] = ",".join(self.PLANTED_NAMES) + "=n,b"
            self.check_whole_install(SETUP_SIZE, "planted", exe=exe)
        finally:
            del rig.env["VANTREO_EXTRA_DLLOVERRIDES"]
        self.assertEqual([n for n in os.listdir(folder) if n.endswith(".loaded")], [])


class RefusedProgram(InstallCase):
    def test_an_unsigned_setup_program_is_never_started_and_the_user_is_told(self):
        nginx.serve(options.setup)  # the stand-in as built, without its signature
        nginx.clear_log()
        wizard = self.open_wizard()
        wizard.click(IDOK)
        samples = wizard.watch(until=lambda s: s.status == PACKAGE_REFUSED, timeout=120)
        self.assertEqual(wizard.status(), PACKAGE_REFUSED, drv.distinct(samples))
        wizard.screenshot("refused")
        self.assertNotIn(CONFIGURING, drv.distinct(samples))
        self.assertFalse(os.path.exists(os.path.join(drv.unix_path(rig.prefix, DEFAULT_FOLDER),
                                                     "setup.log")), "the setup program ran")
        self.assertEqual(rig.probe.process_count("VantreoSetup.exe"), 0)
        self.assertEqual(len(nginx.requests()), 10, "fetched twice, then no more")
        self.assertEqual(drv.temp_downloads(rig.prefix), [], "the refused file was kept")
        self.assertTrue(wizard.enabled(IDC_MANUAL_LINK), "the manual download is the way on")
        self.assert_log_has(["FAIL refused .*VantreoSetup.exe: the downloaded program is not signed",
                             "FAIL refused .*VantreoSetup.exe: the downloaded program is not signed",
                             "STATUS " + re.escape(PACKAGE_REFUSED)])
        wizard.click(IDC_CLOSE)
        self.assert_exits_quickly(time.time(), limit=5)


class PauseAndContinue(InstallCase):
    def test_pause_holds_the_download_without_network_message_then_continue_completes(self):
        wizard = self.open_wizard()
        wizard.click(IDOK)
        before = self.wait_percent(25)
        self.assertEqual(tips(wizard)[IDOK], ["暂停"])
        wizard.click(IDOK)  # pause
        time.sleep(1.0)
        before += wizard.watch(until=lambda s: False, timeout=0)
        held = wizard.status()
        self.assertRegex(held, drv.PAUSED)
        self.assertEqual(tips(wizard)[IDOK], ["继续"])
        parts = drv.temp_downloads(rig.prefix)
        sizes = [os.path.getsize(p) for p in parts]
        self.assertTrue(parts, "no part files while downloading")
        wizard.screenshot("pause-1-paused")
        # Longer than the five seconds after which silence means a network fault.
        paused = wizard.watch(until=lambda s: False, timeout=7)
        lines = drv.distinct(paused)
        self.assertTrue(all(line == held for line in lines),
                        "the line changed while paused from %s: %s" % (held, lines))
        self.assertEqual([os.path.getsize(p) for p in parts], sizes, "bytes came while paused")
        self.assertTrue(wizard.enabled(IDOK), "the button cannot continue")

        # Minimising does not touch the install.
        wizard.click(IDC_MINIMIZE)
        deadline = time.time() + 5
        while not wizard.minimised() and time.time() < deadline:
            time.sleep(0.1)
        self.assertTrue(wizard.minimised())
        wizard.post(drv.WM_SYSCOMMAND, drv.SC_RESTORE)
        time.sleep(0.5)
        self.assertFalse(wizard.minimised())

        wizard.watcher.shots = "pause"
        wizard.click(IDOK)  # continue
        time.sleep(0.5)
        self.assertEqual(tips(wizard)[IDOK], ["暂停"])
        after = wizard.watch(timeout=120)
        samples = before + paused + after
        lines = drv.distinct(samples)
        print("\npause: %s" % " | ".join(lines))
        percents = [s.percent for s in samples if s.percent is not None]
        self.assertEqual(percents, sorted(percents))
        self.assertGreater(max(p for p in percents if p <= 90),
                           int(drv.PAUSED.match(held).group(1)))
        self.assert_bar_follows(samples)
        self.assert_install_completed(samples)
        # Continued from the part files: more range requests, no second size probe... or one
        # per restart, but never the whole file again.
        sent = sum(r[4] for r in nginx.requests())
        self.assertLess(sent, SETUP_SIZE * 1.05, "the download started over: %d bytes" % sent)


DISK_FULL = re.compile(r"磁盘空间不足，请清理磁盘后重试（需要 (\d+\.\d) MB，可用 (\d+\.\d) MB）$")


class SmallDisk:
    r"""The prefix's C:\ProgramData (where the elevated installer downloads) on a small volume of
    its own, a loop-mounted ext4 image, with a ballast file that takes its room."""

    def __init__(self, megabytes=32):
        self.data = os.path.join(rig.prefix, "drive_c", "ProgramData")
        self.image = os.path.join(options.work, "small-disk.img")
        self.ballast = os.path.join(self.data, "ballast.bin")
        with open(self.image, "wb") as image:
            image.truncate(megabytes << 20)
        subprocess.run(["mkfs.ext4", "-q", "-F", "-m", "0", "-O", "^has_journal", self.image],
                       check=True)
        saved = self.data + ".saved"
        shutil.rmtree(saved, ignore_errors=True)
        shutil.copytree(self.data, saved, symlinks=True)
        subprocess.run(["mount", "-o", "loop", self.image, self.data], check=True)
        subprocess.run(["cp", "-a", saved + "/.", self.data], check=True)
        shutil.rmtree(saved)

    def available(self):
        stat = os.statvfs(self.data)
        return stat.f_bavail * stat.f_frsize

    def leave(self, free):
        """Fills the volume with ballast until `free` bytes are left (0: until it is full)."""
        with open(self.ballast, "ab") as ballast:
            try:
                while self.available() > free:
                    ballast.write(bytes(min(1 << 20, max(self.available() - free, 4096))))
                    ballast.flush()
                    os.fsync(ballast.fileno())
            except OSError:
                pass  # full

    def free(self):
        os.remove(self.ballast)

    def remove(self):
        subprocess.run(["umount", "-l", self.data], check=False)
        os.remove(self.image)


class FullDisk(InstallCase):
    def setUp(self):
        super().setUp()
        self.disk = SmallDisk()

    def tearDown(self):
        super().tearDown()
        self.disk.remove()

    def wait_disk_full(self, timeout):
        samples = self.wizard.watch(until=lambda s: DISK_FULL.match(s.status or ""),
                                    timeout=timeout)
        self.assertTrue(samples and DISK_FULL.match(samples[-1].status or ""),
                        "no disk message: %s" % samples[-3:])
        time.sleep(0.5)
        self.assertEqual(tips(self.wizard)[IDOK], ["继续"])
        self.assertTrue(self.wizard.enabled(IDOK), "the button cannot try again")
        return samples

    def test_continue_after_space_is_freed_goes_on_from_the_bytes_written(self):
        # Too little room before the download: nothing is fetched, the sizes are said.
        self.disk.leave(6 << 20)
        wizard = self.open_wizard()
        wizard.click(IDOK)
        samples = self.wait_disk_full(30)
        self.assertEqual(DISK_FULL.match(samples[-1].status).group(1), "13.4")  # the whole file
        self.assertLess(sum(r[4] for r in nginx.requests()), 1 << 20, "bytes were fetched")
        self.assert_log_has(["FAIL .*not enough disk space: 14000000 bytes needed",
                             "STATUS 磁盘空间不足，请清理磁盘后重试（需要 13.4 MB，可用"])

        # Room made, "继续": the download runs; another program fills the disk meanwhile.
        self.disk.free()
        wizard.click(IDOK)
        samples += self.wait_percent(30)
        filled = time.time()
        self.disk.leave(0)
        samples += self.wait_disk_full(10)
        self.assertLess(time.time() - filled, 3, "the segments went on")
        needed, available = DISK_FULL.match(samples[-1].status).groups()
        self.assertLess(float(needed), 13.4 * 0.75, "the rest of the file")  # 30 % was in
        self.assertLess(float(available), 0.5)
        sent = sum(r[4] for r in nginx.requests())
        time.sleep(2)
        self.assertEqual(sum(r[4] for r in nginx.requests()), sent, "a segment went on")

        # Room again: the rest comes, never the whole file once more.
        self.disk.free()
        wizard.click(IDOK)
        samples += wizard.watch(timeout=120)
        self.assert_install_completed(samples)
        total = sum(r[4] for r in nginx.requests())
        self.assertLess(total, SETUP_SIZE * 1.1, "the download started over: %d bytes" % total)
        self.assert_log_has(["STEP continued after the disk was full",
                             "STEP continued after the disk was full",
                             "STEP installed; starting the game"])


class CloseInTheMiddle(InstallCase):
    """Closing while an install runs asks first: No goes on as if nothing happened, Yes ends at
    once and keeps the part files for the next run. Before the start, closing asks nothing
    (every other test ends that way)."""

    def start_and_reach(self, percent):
        wizard = self.open_wizard()
        wizard.click(IDOK)
        self.wait_percent(percent)
        self.assertTrue(drv.temp_downloads(rig.prefix), "no part files while downloading")
        return wizard

    def ask(self, wizard, close):
        close(wizard)
        box = rig.probe.message_box(drv.BOX_TITLE, 10000)
        self.assertIsNotNone(box, "no question")
        self.assertEqual(box[1:], (QUIT_QUESTION, [gui.IDYES, gui.IDNO]))
        return box[0]

    def answer_yes_and_check_the_parts_stay(self, wizard, box):
        started = time.time()
        rig.probe.click(box, gui.IDYES)
        self.assert_exits_quickly(started)
        parts = drv.temp_downloads(rig.prefix)
        self.assertTrue(parts, "the download was thrown away")
        self.assertGreater(sum(os.path.getsize(p) for p in parts), 0)

    def test_no_goes_on_then_yes_keeps_the_parts_and_the_next_run_continues(self):
        closers = {"close button": lambda w: w.click(IDC_CLOSE),
                   "escape": lambda w: w.post(drv.WM_KEYDOWN, drv.VK_ESCAPE, 0x00010001),
                   "alt+f4": lambda w: w.post(drv.WM_SYSCOMMAND, drv.SC_CLOSE)}
        wizard = self.start_and_reach(10)
        for name, close in closers.items():
            box = self.ask(wizard, close)
            # The window thread goes on while the question waits: the line still moves.
            reached = drv.percent_of(wizard.status())
            moving = wizard.watch(until=lambda s: (s.percent or 0) > reached, timeout=10)
            self.assertTrue(moving and moving[-1].percent > reached, name)
            wizard.screenshot("close-question")
            rig.probe.click(box, gui.IDNO)
            self.assertTrue(rig.probe.gone("#32770", drv.BOX_TITLE, 5000), name)
            self.assertTrue(wizard.program.running(), name)
        # As if nothing happened: the download goes on, the button still pauses.
        self.wait_percent(40)
        self.assertTrue(wizard.enabled(IDOK))
        self.assertEqual(tips(wizard)[IDOK], ["暂停"])
        box = self.ask(wizard, closers["close button"])
        kept = drv.percent_of(wizard.status())
        self.answer_yes_and_check_the_parts_stay(wizard, box)
        wizard.finish_screenshots()
        # The next run continues where this one stopped: its bar starts at the kept share and
        # its requests ask only for what is missing, each under the file's validator.
        wizard = self.open_wizard()
        wizard.click(IDOK)
        samples = wizard.watch(timeout=120)
        first = next(s.percent for s in samples if s.percent is not None)
        print("\nkept at the close: %d %%, the next run's first line: %d %%" % (kept, first))
        self.assertGreaterEqual(first, kept - 5, drv.distinct(samples)[:3])
        self.assert_install_completed(samples)
        self.assert_log_has(["REQUEST GET .*/VantreoSetup.exe range \\d+- if-range status 206"])

    def test_close_while_paused_keeps_the_pause_on_no(self):
        wizard = self.start_and_reach(20)
        wizard.click(IDOK)  # pause
        time.sleep(1)
        held = wizard.status()
        box = self.ask(wizard, lambda w: w.post(gui.WM_CLOSE))
        rig.probe.click(box, gui.IDNO)
        time.sleep(1)
        self.assertEqual(wizard.status(), held)
        self.assertEqual(tips(wizard)[IDOK], ["继续"])
        box = self.ask(wizard, lambda w: w.post(gui.WM_CLOSE))
        self.answer_yes_and_check_the_parts_stay(wizard, box)

    def test_close_while_the_setup_program_runs_asks_too(self):
        wizard = self.start_and_reach(92)
        box = self.ask(wizard, lambda w: w.post(gui.WM_CLOSE))
        started = time.time()
        rig.probe.click(box, gui.IDYES)
        self.assert_exits_quickly(started)


class TermsBox(InstallCase):
    def test_unticked_terms_grey_the_button_and_it_does_nothing(self):
        wizard = self.open_wizard()
        time.sleep(1)  # the fade-in is over
        ticked = wizard.screenshot("terms-1-ticked")
        wizard.click(IDC_AGREE)
        time.sleep(0.7)
        unticked = wizard.screenshot("terms-2-unticked")
        wizard.finish_screenshots()
        # The button looks different (grey) but is not disabled; pressing it does nothing.
        start = wizard.client_rect(IDOK)
        self.assertGreater(differing_pixels(ticked, unticked, wizard, start), 500)
        self.assertTrue(wizard.enabled(IDOK))
        wizard.click(IDOK)
        wizard.post(drv.WM_KEYDOWN, drv.VK_RETURN, 0x001C0001)
        time.sleep(1.5)
        self.assertEqual(wizard.status(), FOLDER_LABEL)
        self.assertIsNone(wizard.strip_rect(), "a progress bar appeared")
        self.assertEqual(nginx.requests(), [])
        self.assertGreaterEqual(wizard.client_rect(IDC_PATH)[0], 0)  # still in sight
        # Ticked again, the button starts the install.
        wizard.click(IDC_AGREE)
        time.sleep(0.5)
        wizard.click(IDOK)
        samples = wizard.watch(until=lambda s: s.percent is not None, timeout=30)
        self.assertIn(INSTALLING, drv.distinct(samples))
        self.close_running(wizard)


SCREEN = (1024, 768)
SKIN_PICTURE = os.path.join(drv.SOURCE_ROOT, "res", "art", "skin.png")


def pixels_unlike_the_skin(shot, wizard, rect):
    """Pixels of `rect` (wizard client coordinates) in the screenshot that differ from the skin
    picture there by more than a few percent."""
    width, height = rect[2] - rect[0], rect[3] - rect[1]
    on_screen = "%dx%d+%d+%d" % (width, height, wizard.window.rect[0] + rect[0],
                                 wizard.window.rect[1] + rect[1])
    in_skin = "%dx%d+%d+%d" % (width, height, rect[0], rect[1])
    result = subprocess.run(
        ["convert", shot, "-crop", on_screen, "+repage", "(", SKIN_PICTURE, "-background",
         "black", "-alpha", "remove", "-crop", in_skin, "+repage", ")", "-compose", "difference",
         "-composite", "-colorspace", "gray", "-threshold", "4%", "-format", "%[fx:mean*w*h]",
         "info:"], stdout=subprocess.PIPE, check=True)
    return round(float(result.stdout))


def colours_around(shot, rect):
    """Distinct colours of the screenshot above `rect` (screen coordinates) and beside it."""
    counts = []
    for geometry in ("%dx%d+0+0" % (SCREEN[0], rect[1]),
                     "%dx%d+%d+%d" % (SCREEN[0] - rect[2], SCREEN[1] - rect[1], rect[2], rect[1])):
        result = subprocess.run(["convert", shot, "-crop", geometry, "+repage", "-format", "%k",
                                 "info:"], stdout=subprocess.PIPE, check=True)
        counts.append(int(result.stdout))
    return counts


class SkinWhileInstalling(InstallCase):
    def compositor(self, on):
        display = rig.display
        if not on and display.compositor:
            display.compositor.terminate()
            display.compositor.wait()
            display.compositor = None
        elif on and not display.compositor:
            display.start_compositor()

    def tearDown(self):
        super().tearDown()
        self.compositor(True)

    def test_where_the_controls_were_the_skin_shows_with_and_without_a_compositor(self):
        for composited in (True, False):
            self.compositor(composited)
            wizard = self.open_wizard()
            moved = [wizard.client_rect(c) for c in (IDC_BROWSE, IDC_AGREE, IDC_PATH)]
            time.sleep(1)  # the fade-in is over
            wizard.click(IDOK)
            self.wait_percent(15)
            shot = wizard.screenshot("ghosts-%s" % ("composited" if composited else "plain"))
            wizard.finish_screenshots()
            # The path's field keeps its art; the status line now stands over its left part.
            for rect in moved[:2] + [(moved[2][0] + 210, moved[2][1], moved[2][2], moved[2][3])]:
                self.assertLess(pixels_unlike_the_skin(shot, wizard, rect), 10,
                                "a control's trace at %s (%s)" % (rect, shot))
            self.close_running(wizard)
            wizard.close()

    def test_minimised_during_the_download_no_skin_shows(self):
        wizard = self.open_wizard()
        wizard.click(IDOK)
        self.wait_percent(10)
        wizard.click(IDC_MINIMIZE)
        deadline = time.time() + 5
        while not wizard.minimised() and time.time() < deadline:
            time.sleep(0.1)
        self.assertTrue(wizard.minimised())
        line = wizard.status()
        time.sleep(3)
        self.assertNotEqual(wizard.status(), line, "the download stood still: nothing rendered")
        shot = wizard.screenshot("minimised-downloading")
        wizard.finish_screenshots()
        visible = [w for w in drv.top_level_windows(rig.probe) if w.info.get("visible") == "1"]
        self.assertEqual([w.hwnd for w in visible], [wizard.hwnd], [w.info for w in visible])
        # Without a window manager, Wine shows the minimised wizard as a small bar of its own.
        iconic = tuple(int(v) for v in rig.probe.find(drv.WIZARD_CLASS, drv.WIZARD_TITLE)
                       .info["rect"].split(","))
        self.assertEqual(colours_around(shot, iconic), [1, 1], "something shows besides the bar")
        # Restored, the skin is back where the wizard is.
        wizard.post(drv.WM_SYSCOMMAND, drv.SC_RESTORE)
        time.sleep(1)
        shot = wizard.screenshot("minimised-restored")
        wizard.finish_screenshots()
        self.assertLess(pixels_unlike_the_skin(shot, wizard, (10, 10, 390, 40)), 10)  # opaque art
        self.close_running(wizard)


def tree_probe(*args):
    """tree_probe.exe's answer lines."""
    result = subprocess.run([gui.WINE_RUN, "--prefix", rig.prefix, options.tree_probe] +
                            list(args), env=rig.env, stdout=subprocess.PIPE, timeout=60)
    return result.stdout.decode("utf-8", errors="replace").splitlines()


def type_keys(*keys):
    """Keys typed on the display, as a user would: they go to the window that has the focus."""
    subprocess.run(["xdotool", "key", "--delay", "100"] + list(keys),
                   env=dict(os.environ, DISPLAY=rig.display.name), check=True)


def tips(wizard):
    """{control id: [tooltip texts]} of the wizard's tooltips."""
    found = {}
    for line in tree_probe("tips", wizard.hwnd):
        fields = line.split("\t")
        if len(fields) == 2:
            found.setdefault(int(fields[0]), []).append(fields[1])
    return found


def gdi_objects(wizard):
    answer = tree_probe("gdi", wizard.hwnd)
    return int(answer[0].split("=", 1)[1]) if answer and answer[0].startswith("gdi=") else -1


def differing_pixels(first, second, wizard, rect):
    """Pixels that differ inside `rect` (wizard client coordinates) of two screenshots."""
    left, top = wizard.window.rect[0] + rect[0], wizard.window.rect[1] + rect[1]
    geometry = "%dx%d+%d+%d" % (rect[2] - rect[0], rect[3] - rect[1], left, top)
    result = subprocess.run(["compare", "-metric", "AE", "-extract", geometry, first, second,
                             "null:"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return int(float(result.stderr.split()[0]))


class Keyboard(InstallCase):
    TAB_STOPS = (IDOK, IDC_CLOSE, IDC_MINIMIZE, IDC_AGREE, IDC_BROWSE, IDC_TERMS_LINK,
                 IDC_MANUAL_LINK)
    WHOLE = (0, 0, 502, 371)

    def tab_to(self, wizard, control):
        target = wizard.control_hwnd(control)
        for _ in self.TAB_STOPS:
            if wizard.focused() == target:
                return
            type_keys("Tab")
            time.sleep(0.2)
        self.fail("Tab never reached control %d" % control)

    def test_tab_shows_where_the_focus_is_and_enter_and_space_act_there_only(self):
        wizard = self.open_wizard()
        time.sleep(1)  # the fade-in is over
        start = wizard.control_hwnd(IDOK)
        self.assertEqual(wizard.focused(), start)
        shots = [wizard.screenshot("keys-0")]
        focused = []
        for press in range(1, len(self.TAB_STOPS) + 1):
            wizard.finish_screenshots()
            type_keys("Tab")
            time.sleep(0.4)
            focused.append(wizard.focused())
            shots.append(wizard.screenshot("keys-%d" % press))
        wizard.finish_screenshots()
        self.assertEqual(sorted(focused),
                         sorted(wizard.control_hwnd(c) for c in self.TAB_STOPS))
        self.assertEqual(focused[-1], start, "the cycle does not come back to the start button")
        for before, after in zip(shots, shots[1:]):
            self.assertGreater(differing_pixels(before, after, wizard, self.WHOLE), 10,
                               "no visible change from %s to %s" % (before, after))

        # Enter on the change-folder button opens the folder dialog, not the install.
        self.tab_to(wizard, IDC_BROWSE)
        type_keys("Return")
        dialog = wizard.window
        deadline = time.time() + 10
        while time.time() < deadline:
            boxes = [w for w in drv.top_level_windows(rig.probe)
                     if w.info.get("owner") == wizard.hwnd and w.info.get("class") == "#32770"
                     and w.info.get("visible") == "1"]
            if boxes:
                dialog = boxes[0]
                break
            time.sleep(0.2)
        self.assertNotEqual(dialog.hwnd, wizard.hwnd, "Enter on the button opened no dialog")
        rig.probe.click(dialog.hwnd, IDCANCEL)
        time.sleep(0.5)
        self.assertEqual(wizard.focused(), wizard.control_hwnd(IDC_BROWSE))
        # Space on the terms box unticks it: the start button greys, nothing starts.
        self.tab_to(wizard, IDC_AGREE)
        before = wizard.screenshot("keys-agree-ticked")
        wizard.finish_screenshots()
        type_keys("space")
        time.sleep(0.7)
        after = wizard.screenshot("keys-agree-unticked")
        wizard.finish_screenshots()
        self.assertGreater(differing_pixels(before, after, wizard, wizard.client_rect(IDOK)), 500)
        self.assertEqual(wizard.status(), FOLDER_LABEL)
        self.assertEqual(nginx.requests(), [])
        wizard.post(gui.WM_CLOSE)
        self.assertIsNotNone(wizard.program.wait(10))


class LobbyQuestion(InstallCase):
    LAUNCHER = "VantreoWizardTestLauncher"

    def test_no_at_the_start_button_keeps_the_wizard_ready_and_asks_again(self):
        wizard = self.open_wizard()
        # The lobby starts after the wizard opened: only the start button finds it.
        rig.probe.reg_set_sz(KEY, "LauncherClass", self.LAUNCHER)
        launcher = rig.host(self.LAUNCHER, ignore_close=True)
        path_rect = wizard.client_rect(IDC_PATH)
        wizard.click(IDOK)
        box = rig.probe.message_box(drv.BOX_TITLE, 20000)
        self.assertIsNotNone(box, "no question at the start button")
        self.assertEqual(box[1], LOBBY_TEXT)
        wizard.screenshot("lobby-1-question")
        rig.probe.click(box[0], gui.IDNO)
        self.assertTrue(launcher.wait_for("posted 0x0018", 10))
        time.sleep(1)
        self.assertTrue(wizard.program.running())
        self.assertEqual(wizard.status(), FOLDER_LABEL)
        self.assertEqual(wizard.client_rect(IDC_PATH), path_rect)
        self.assertIsNone(wizard.strip_rect())
        self.assertTrue(wizard.enabled(IDOK))
        self.assertEqual(nginx.requests(), [])
        wizard.finish_screenshots()

        # Pressed again, it asks again; Yes starts the install at once.
        wizard.click(IDOK)
        box = rig.probe.message_box(drv.BOX_TITLE, 20000)
        self.assertIsNotNone(box, "the second press did not ask")
        rig.probe.click(box[0], gui.IDYES)
        self.assertTrue(launcher.wait_for("posted 0x0010", 10))
        samples = wizard.watch(until=lambda s: s.percent is not None, timeout=30)
        self.assertIn(INSTALLING, drv.distinct(samples))
        self.assertEqual(launcher.posted(), [(gui.WM_SHOWWINDOW, 1, 0), (gui.WM_CLOSE, 0, 0)])
        self.close_running(wizard)


class FolderDialog(InstallCase):
    def open_folder_dialog(self, wizard):
        wizard.click(IDC_BROWSE)
        deadline = time.time() + 20
        while time.time() < deadline:
            for window in drv.top_level_windows(rig.probe):
                if (window.info.get("class") == "#32770" and
                        window.info.get("owner") == wizard.hwnd and
                        window.info.get("visible") == "1"):
                    return window.hwnd
            time.sleep(0.2)
        self.fail("no folder dialog")

    def tree(self, dialog):
        for control in range(0x3740, 0x3750):  # Wine's folder tree has id 0x3741
            line = rig.probe.command("describe", dialog, control)
            if "class=SysTreeView32" in line:
                return line.split("\t")[0]
        self.fail("no tree in the folder dialog")

    def tree_probe(self, *args):
        return tree_probe(*args)

    def find_item(self, tree, needle, expand_first=()):
        for parent in expand_first:
            self.tree_probe("expand", tree, parent)
        for line in self.tree_probe("items", tree):
            fields = line.split("\t")
            if len(fields) == 3 and needle in fields[2]:
                return fields[0]
        return None

    def test_drive_root_stores_the_drive_followed_by_vantreo(self):
        wizard = self.open_wizard()
        self.assertEqual(wizard.text(IDC_PATH), DEFAULT_FOLDER)
        dialog = self.open_folder_dialog(wizard)
        texts = [rig.probe.command("text", dialog, c) for c in range(0x3740, 0x3750)]
        self.assertIn("text=选择路径", texts)
        self.assertFalse(wizard.enabled("-"), "the wizard takes input while choosing a folder")
        tree = self.tree(dialog)
        # It opens at the folder's nearest parent that exists, and can make a new folder.
        self.assertEqual(self.tree_probe("selected", tree)[0].split("\t")[1], "Program Files")
        self.assertIn("class=Button", rig.probe.command("describe", dialog, NEW_FOLDER_BUTTON))
        item = self.find_item(tree, "(D:)")
        if item is None:
            # My Computer's drives are filled in when it is first expanded.
            computer = [l.split("\t")[0] for l in self.tree_probe("items", tree)
                        if l.count("\t") == 2 and l.split("\t")[1] == "1"]
            for parent in computer:
                self.tree_probe("expand", tree, parent)
            item = self.find_item(tree, "D:")
        self.assertIsNotNone(item, "no D: drive in the folder dialog: %s" %
                             self.tree_probe("items", tree))
        self.assertEqual(self.tree_probe("select", tree, item), ["ok"])
        wizard.screenshot("folder-1-drive-root")
        time.sleep(0.5)
        rig.probe.click(dialog, IDOK)
        deadline = time.time() + 10
        while wizard.text(IDC_PATH) == DEFAULT_FOLDER and time.time() < deadline:
            time.sleep(0.2)
        self.assertEqual(wizard.text(IDC_PATH), r"D:\Vantreo")
        self.assertEqual(rig.probe.reg_query(KEY, "Path"), (REG_SZ, b"D:\\Vantreo\0"))
        self.assertEqual(rig.probe.reg_query(KEY, "UnionID"), (REG_DWORD, b"\0\0\0\0"))
        wizard.screenshot("folder-2-chosen")

        self.assertEqual(tips(wizard)[IDC_PATH], [r"D:\Vantreo"])
        self.assertEqual(wizard.focused(), wizard.control_hwnd(IDC_BROWSE))

        # Cancelled, the dialog changes nothing; it opened at the drive chosen before.
        dialog = self.open_folder_dialog(wizard)
        self.assertIn("(D:)", self.tree_probe("selected", self.tree(dialog))[0])
        rig.probe.click(dialog, IDCANCEL)
        time.sleep(1)
        self.assertEqual(wizard.text(IDC_PATH), r"D:\Vantreo")
        self.assertEqual(rig.probe.reg_query(KEY, "Path"), (REG_SZ, b"D:\\Vantreo\0"))
        wizard.finish_screenshots()
        wizard.post(gui.WM_CLOSE)
        self.assertIsNotNone(wizard.program.wait(10))


class WizardWindow(InstallCase):
    def test_opens_centred_with_its_controls_in_place(self):
        wizard = self.open_wizard()
        left, top, right, bottom = wizard.window.rect
        self.assertEqual((right - left, bottom - top), (502, 371))
        self.assertEqual(((left + right) // 2, (top + bottom) // 2), (512, 384))
        self.assertEqual(wizard.text(IDC_PATH), DEFAULT_FOLDER)
        self.assertEqual(wizard.status(), FOLDER_LABEL)
        self.assertEqual(wizard.text(IDC_TERMS_LINK), "我已阅读并同意使用协议")
        self.assertEqual(wizard.text(IDC_MANUAL_LINK), "手动下载完整安装包")
        sizes = {IDOK: (89, 24), IDC_CLOSE: (22, 21), IDC_MINIMIZE: (22, 21),
                 IDC_AGREE: (25, 21), IDC_BROWSE: (94, 29)}
        for control, size in sizes.items():
            rect = wizard.client_rect(control)
            self.assertEqual((rect[2] - rect[0], rect[3] - rect[1]), size, control)
        self.assertEqual(wizard.client_rect(IDC_BAR_CAP), (-10, -10, 0, 0))
        self.assertIsNone(wizard.strip_rect())
        # Each button's tooltip, and the links' targets in theirs.
        home = "http://%s" % options.address
        self.assertEqual(tips(wizard), {
            IDC_MINIMIZE: ["最小化"], IDC_CLOSE: ["关闭"], IDOK: ["开始安装"], IDC_AGREE: ["同意"],
            IDC_BROWSE: ["浏览"], IDC_TERMS_LINK: [home],
            IDC_MANUAL_LINK: [home + "/qipai/VantreoSetup.exe"], IDC_PATH: [DEFAULT_FOLDER]})
        time.sleep(1)
        wizard.screenshot("window-ready")
        wizard.finish_screenshots()
        wizard.post(gui.WM_CLOSE)
        self.assertIsNotNone(wizard.program.wait(10))

    def test_a_long_path_is_shortened_in_the_middle_and_whole_in_its_tooltip(self):
        folder = "D:\\" + "\\".join(["很长的文件夹名称%d" % n for n in range(3)]) + "\\Vantreo"
        rig.probe.reg_set_sz(KEY, "Path", folder)
        wizard = self.open_wizard()
        self.assertEqual(wizard.text(IDC_PATH), folder)
        self.assertEqual(tips(wizard)[IDC_PATH], [folder])
        time.sleep(1)
        wizard.screenshot("window-long-path")  # "D:\很长的...\Vantreo" in one line
        wizard.finish_screenshots()

    def test_about_item_of_the_system_menu_opens_the_about_box(self):
        wizard = self.open_wizard()
        time.sleep(1)  # the fade-in is over
        # Alt+Space opens the system menu; the About item is its last (Up from the top wraps
        # to it: Wine adds an About item of its own with the same mnemonic).
        wizard.post(drv.WM_SYSCHAR, 0x20, 0x20390001)
        menu = rig.probe.wait("#32768", "*", 5000)
        self.assertIsNotNone(menu, "no system menu")
        wizard.screenshot("about-1-system-menu")
        wizard.finish_screenshots()
        wizard.post(drv.WM_KEYDOWN, drv.VK_UP, 0x01480001)
        time.sleep(0.3)
        wizard.post(drv.WM_KEYDOWN, drv.VK_RETURN, 0x001C0001)
        about = rig.probe.wait("#32770", "关于 Ostradownload", 10000)
        self.assertIsNotNone(about, "no About box")
        self.assertEqual(rig.probe.text(about.hwnd, drv.IDOK), "确定")
        # Where the log is written: the user's temporary folder.
        self.assertRegex(rig.probe.text(about.hwnd, IDC_LOG_PATH),
                         r"^日志：C:\\users\\[^\\]+\\Temp\\VantreoInstaller\.log$")
        wizard.screenshot("about-2-box")
        self.assertFalse(wizard.enabled("-"), "the wizard takes input under its About box")
        rig.probe.click(about.hwnd, IDOK)
        self.assertTrue(rig.probe.gone("#32770", "关于 Ostradownload", 10000))
        self.assertTrue(wizard.enabled("-"))
        wizard.finish_screenshots()
        # The keyboard reaches the wizard again: Enter, typed on the display, starts the install.
        time.sleep(0.5)
        self.assertEqual(wizard.focus(), (int(wizard.hwnd, 16), wizard.control_hwnd(IDOK)))
        type_keys("Return")
        samples = wizard.watch(until=lambda s: s.status == INSTALLING, timeout=15)
        self.assertIn(INSTALLING, drv.distinct(samples))
        self.close_running(wizard)

ART = os.path.join(drv.SOURCE_ROOT, "res", "art")
# The skin picture drawn for each display density (dots per inch), and the art's flat colours
# under the text controls (tools/make-art.sh).
SKIN_AT = {96: "skin.png", 144: "skin_150.png", 192: "skin_200.png"}
FIELD_COLOUR, FOOTER_COLOUR = (242, 245, 248), (247, 249, 251)
DESKTOP = r"Control Panel\Desktop"


def pixel(image, x, y):
    result = subprocess.run(["convert", image, "-background", "black", "-alpha", "remove",
                             "-crop", "1x1+%d+%d" % (x, y), "+repage", "-depth", "8", "txt:-"],
                            stdout=subprocess.PIPE, check=True)
    return tuple(int(v) for v in re.search(r"\((\d+),(\d+),(\d+)", result.stdout.decode()).groups())


def ink_rows(shot, rect):
    """(first, last) row of `rect` (screen coordinates) where anything differs from its
    background: where the text is."""
    geometry = "%dx%d+%d+%d" % (rect[2] - rect[0], rect[3] - rect[1], rect[0], rect[1])
    result = subprocess.run(["convert", shot, "-crop", geometry, "+repage", "-fuzz", "8%",
                             "-format", "%@", "info:"], stdout=subprocess.PIPE, check=True)
    _, height, _, top = (int(v) for v in re.match(r"(\d+)x(\d+)\+(\d+)\+(\d+)",
                                                  result.stdout.decode()).groups())
    return top, top + height - 1


def commonest_colour(shot, rect):
    """The colour most pixels of `rect` (screen coordinates) have: a text control's background."""
    geometry = "%dx%d+%d+%d" % (rect[2] - rect[0], rect[3] - rect[1], rect[0], rect[1])
    result = subprocess.run(["convert", shot, "-crop", geometry, "+repage", "-depth", "8",
                             "-format", "%c", "histogram:info:-"], stdout=subprocess.PIPE,
                            check=True)
    counted = [(int(count), tuple(int(v) for v in rgb)) for count, *rgb in
               re.findall(r"(\d+): \((\d+),(\d+),(\d+)", result.stdout.decode())]
    return max(counted)[1]


class ArtAtEachDensity(InstallCase):
    """The wizard at 96, 144 and 192 dots per inch: the skin 1x, 1.5x, 2x; every control inside
    the window; text controls on the art's own colours; the corners of the browse button and
    the bar's cap show the picture under them."""
    BUTTONS = {IDOK: (89, 24), IDC_CLOSE: (22, 21), IDC_MINIMIZE: (22, 21), IDC_AGREE: (25, 21),
               IDC_BROWSE: (94, 29)}
    CONTROLS = tuple(BUTTONS) + (drv.IDC_STATUS, IDC_PATH, IDC_TERMS_LINK, IDC_MANUAL_LINK)

    def tearDown(self):
        super().tearDown()
        rig.probe.reg_set_dword(DESKTOP, "LogPixels", 96)

    def assert_close(self, seen, expected, tolerance, what):
        self.assertTrue(all(abs(a - b) <= tolerance for a, b in zip(seen, expected)),
                        "%s: %s, expected %s" % (what, seen, expected))

    def assert_inside(self, rect, size, what):
        self.assertTrue(0 <= rect[0] < rect[2] <= size[0] and 0 <= rect[1] < rect[3] <= size[1],
                        "%s at %s is not inside the window %s" % (what, rect, size))

    def assert_corners_show_the_skin(self, shot, wizard, skin, control):
        left, top, right, bottom = wizard.client_rect(control)
        origin = wizard.window.rect
        for x, y in ((left, top), (right - 1, top), (left, bottom - 1), (right - 1, bottom - 1)):
            self.assert_close(pixel(shot, origin[0] + x, origin[1] + y), pixel(skin, x, y), 6,
                              "corner %d,%d of control %d" % (x, y, control))

    def settled_screenshot(self, wizard, name, size):
        """A screenshot once the wizard's picture has stopped changing (the fade-in of a large
        window takes longer)."""
        shot = wizard.screenshot(name)
        wizard.finish_screenshots()
        deadline = time.time() + 10
        while time.time() < deadline:
            time.sleep(0.5)
            previous = shot + ".previous.png"
            os.replace(shot, previous)
            shot = wizard.screenshot(name)
            wizard.finish_screenshots()
            if differing_pixels(previous, shot, wizard, (0, 0) + size) == 0:
                os.remove(previous)
                return shot
        self.fail("the wizard's picture keeps changing")

    def check_density(self, dpi):
        scale = dpi / 96
        skin = os.path.join(ART, SKIN_AT[dpi])
        # The density is read when a program starts: the previous wizard must have gone (and
        # is ended when a failed check left it open).
        rig.probe.kill("VantreoInstaller.exe")
        self.assertTrue(rig.probe.gone(drv.WIZARD_CLASS, drv.WIZARD_TITLE, 10000))
        rig.probe.reg_set_dword(DESKTOP, "LogPixels", dpi)
        wizard = self.open_wizard()
        left, top, right, bottom = wizard.window.rect
        size = (right - left, bottom - top)
        self.assertEqual(size, (int(502 * scale + 0.5), int(371 * scale + 0.5)), dpi)
        skins = [w.rect for w in drv.top_level_windows(rig.probe)
                 if w.info.get("owner") == wizard.hwnd and w.info.get("class", "").startswith("FakeWnd")]
        self.assertEqual(skins, [wizard.window.rect], "the skin window does not cover the wizard")
        for control, (width, height) in self.BUTTONS.items():
            rect = wizard.client_rect(control)
            self.assert_close((rect[2] - rect[0], rect[3] - rect[1]),
                              (width * scale, height * scale), 1, "button %d" % control)
        for control in self.CONTROLS:
            self.assert_inside(wizard.client_rect(control), size, "control %d" % control)
        shot = self.settled_screenshot(wizard, "dpi-%d-ready" % dpi, size)
        for control, colour in ((drv.IDC_STATUS, FIELD_COLOUR), (IDC_PATH, FIELD_COLOUR),
                                (IDC_TERMS_LINK, FOOTER_COLOUR),
                                (IDC_MANUAL_LINK, FOOTER_COLOUR)):
            rect = wizard.client_rect(control)
            on_screen = (left + rect[0], top + rect[1], left + rect[2], top + rect[3])
            self.assert_close(commonest_colour(shot, on_screen), colour, 2,
                              "background of control %d" % control)
        # The folder line's text in the middle of its field (y 248..280 of the 100 % picture).
        rect = wizard.client_rect(IDC_PATH)
        first, last = ink_rows(shot, (left + rect[0], top + rect[1], left + rect[2], top + rect[3]))
        self.assertLessEqual(abs(rect[1] + (first + last) / 2 - 264 * scale), 2 * scale,
                             "the folder line is not centred in its field: rows %d..%d of %s"
                             % (first, last, rect))
        self.assert_corners_show_the_skin(shot, wizard, skin, IDC_BROWSE)

        wizard.click(IDOK)
        self.wait_percent(5)
        shot = wizard.screenshot("dpi-%d-installing" % dpi)
        wizard.finish_screenshots()
        self.assert_inside(wizard.strip_rect(), size, "the bar")
        self.assert_inside(wizard.client_rect(IDC_BAR_CAP), size, "the bar's cap")
        self.assert_inside(wizard.client_rect(drv.IDC_STATUS), size, "the status line")
        self.assert_corners_show_the_skin(shot, wizard, skin, IDC_BAR_CAP)
        self.close_running(wizard)
        wizard.close()
        self.wizard = None

    def test_the_skin_and_the_controls_at_96_144_and_192_dpi(self):
        for dpi in (96, 144, 192):
            with self.subTest(dpi=dpi):
                self.check_density(dpi)


def main():
    global options
    options, argv = drv.parse_test_options(
        ("--exe", "--probe", "--tree-probe", "--watch", "--setup", "--address", "--work",
         "--sign-keys", "--signer", "--planted-dll", "--plant-probe", "--https-exe", "--tls-dir"))
    unittest.main(argv=argv, verbosity=2)


if __name__ == "__main__":
    main()
