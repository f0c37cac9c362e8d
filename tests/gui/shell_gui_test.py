#!/usr/bin/env python3
"""The application shell under Wine: one installer at a time, the running-lobby question, and
the install folder that the first window proposes and stores.

usage: shell_gui_test.py --exe VantreoInstaller.exe --probe probe.exe --work DIR [unittest args]
"""

import argparse
import sys
import time
import unittest

import rig as gui
from rig import IDNO, IDOK, IDYES, WM_CLOSE, WM_SHOWWINDOW

WIZARD_CLASS = "#32770"
WIZARD_TITLE = "Lumeo棋牌 - 安装向导"
BOX_TITLE = "VantreoInstaller"  # message boxes carry the executable's name
ONE_INSTANCE_TEXT = "对不起,只能运行一个安装实例！"
LOBBY_TEXT = "Lumeo游戏大厅正在运行，是否要重新安装?"
KEY = r"Software\Vantreo\Install"
IDC_PATH = 1008
DEFAULT_FOLDER = r"C:\Program Files\Vantreo"
REG_SZ, REG_DWORD = 1, 4

options = None
rig = None


def setUpModule():
    global rig
    rig = gui.Rig(options.work, options.probe, name="shell").__enter__()


def tearDownModule():
    if rig:
        rig.__exit__(*sys.exc_info())


class ShellCase(unittest.TestCase):
    def setUp(self):
        rig.probe.reg_delete(r"Software\Vantreo")
        self.assertEqual(rig.probe.process_count("VantreoInstaller.exe"), 0)

    def tearDown(self):
        rig.stop_all()
        rig.probe.kill("VantreoInstaller.exe")

    def start(self):
        return rig.start(options.exe)

    def wait_wizard(self, timeout_ms=20000):
        wizard = rig.probe.wait(WIZARD_CLASS, WIZARD_TITLE, timeout_ms)
        self.assertIsNotNone(wizard, "the wizard did not show")
        return wizard

    def close_wizard(self, program, wizard):
        rig.probe.post(wizard.hwnd, WM_CLOSE)
        self.assertIsNotNone(program.wait(15), "the installer did not end after WM_CLOSE")

    def assert_box(self, text, buttons, icon):
        box = rig.probe.message_box(BOX_TITLE, 20000)
        self.assertIsNotNone(box, "no message box came up")
        hwnd, shown, ids = box
        self.assertEqual(shown, text)
        self.assertEqual(sorted(ids), sorted(buttons))
        # The icon on screen is the requested one, and clearly not the other one.
        other = "question" if icon == "exclamation" else "exclamation"
        icon_control = 0x0440  # the message box's icon static
        # The box may not have painted yet on a busy machine: look again for a few seconds.
        deadline = time.monotonic() + 5
        mismatch = rig.probe.icon_mismatch(hwnd, icon_control, icon)
        while mismatch >= 100 and time.monotonic() < deadline:
            time.sleep(0.2)
            mismatch = rig.probe.icon_mismatch(hwnd, icon_control, icon)
        self.assertLess(mismatch, 100)
        self.assertGreater(rig.probe.icon_mismatch(hwnd, icon_control, other), 200)
        return hwnd


class SingleInstance(ShellCase):
    def test_second_copy_refused_first_undisturbed_then_a_new_one_starts(self):
        first = self.start()
        wizard = self.wait_wizard()
        second = self.start()
        box = self.assert_box(ONE_INSTANCE_TEXT, [IDOK], "exclamation")
        rig.screenshot("single-instance-refused")
        rig.probe.click(box, IDOK)
        self.assertEqual(second.wait(15), 0, "the second copy did not end after OK")
        # The first one still runs and shows its wizard as before.
        self.assertTrue(first.running())
        self.assertIsNotNone(rig.probe.find(WIZARD_CLASS, WIZARD_TITLE))
        self.assertEqual(rig.probe.text(wizard.hwnd, IDC_PATH), DEFAULT_FOLDER)
        self.close_wizard(first, wizard)
        # With the first gone, the name is free again.
        third = self.start()
        self.close_wizard(third, self.wait_wizard())


class LobbyQuestion(ShellCase):
    LAUNCHER = "VantreoTestLauncher"
    PLAZA = "VantreoTestPlaza"

    def test_no_asks_the_launcher_to_show_and_the_wizard_never_opens(self):
        rig.probe.reg_set_sz(KEY, "LauncherClass", self.LAUNCHER)
        launcher = rig.host(self.LAUNCHER)
        program = self.start()
        box = self.assert_box(LOBBY_TEXT, [IDYES, IDNO], "question")
        rig.screenshot("lobby-question")
        rig.probe.click(box, IDNO)
        self.assertIsNotNone(program.wait(15))
        self.assertTrue(launcher.wait_for("posted 0x0018", 10))
        self.assertEqual(launcher.posted(), [(WM_SHOWWINDOW, 1, 0)])
        # The wizard never initialised: it would have stored the default folder.
        self.assertIsNone(rig.probe.reg_query(KEY, "Path"))
        self.assertIsNone(rig.probe.find(WIZARD_CLASS, WIZARD_TITLE))

    def test_yes_closes_the_launcher_and_the_wizard_opens_at_once(self):
        rig.probe.reg_set_sz(KEY, "LauncherClass", self.LAUNCHER)
        # The launcher ignores WM_CLOSE: the wizard must not wait for it to go.
        launcher = rig.host(self.LAUNCHER, ignore_close=True)
        program = self.start()
        box = self.assert_box(LOBBY_TEXT, [IDYES, IDNO], "question")
        rig.probe.click(box, IDYES)
        started = time.time()
        wizard = self.wait_wizard(5000)
        self.assertLess(time.time() - started, 5)
        self.assertTrue(launcher.wait_for("posted 0x0010", 10))
        self.assertEqual(launcher.posted(), [(WM_CLOSE, 0, 0)])
        self.assertIsNone(launcher.process.poll(), "the launcher was expected to keep running")
        self.close_wizard(program, wizard)

    def test_lobby_asked_when_the_launcher_window_is_not_running(self):
        rig.probe.reg_set_sz(KEY, "LauncherClass", "VantreoNoSuchWindow")
        rig.probe.reg_set_sz(KEY, "PlazaClass", self.PLAZA)
        plaza = rig.host(self.PLAZA)
        program = self.start()
        box = self.assert_box(LOBBY_TEXT, [IDYES, IDNO], "question")
        rig.probe.click(box, IDNO)
        self.assertIsNotNone(program.wait(15))
        self.assertTrue(plaza.wait_for("posted", 10))
        self.assertEqual(plaza.posted(), [(WM_SHOWWINDOW, 1, 0)])

    def test_launcher_is_asked_before_the_lobby(self):
        rig.probe.reg_set_sz(KEY, "LauncherClass", self.LAUNCHER)
        rig.probe.reg_set_sz(KEY, "PlazaClass", self.PLAZA)
        launcher = rig.host(self.LAUNCHER)
        plaza = rig.host(self.PLAZA)
        program = self.start()
        box = self.assert_box(LOBBY_TEXT, [IDYES, IDNO], "question")
        rig.probe.click(box, IDNO)
        self.assertIsNotNone(program.wait(15))
        self.assertTrue(launcher.wait_for("posted", 10))
        time.sleep(0.5)
        self.assertEqual(launcher.posted(), [(WM_SHOWWINDOW, 1, 0)])
        self.assertEqual(plaza.posted(), [])

    def test_unreadable_launcher_value_falls_back_to_the_lobby(self):
        # A DWORD, and a string without its final NUL, both read as absent.
        for name, setter in (
                ("dword", lambda: rig.probe.reg_set_dword(KEY, "LauncherClass", 7)),
                ("no-nul", lambda: rig.probe.reg_set_raw(KEY, "LauncherClass", REG_SZ,
                                                         self.LAUNCHER.encode()))):
            with self.subTest(name):
                rig.probe.reg_delete(r"Software\Vantreo")
                setter()
                rig.probe.reg_set_sz(KEY, "PlazaClass", self.PLAZA)
                launcher = rig.host(self.LAUNCHER)
                plaza = rig.host(self.PLAZA)
                program = self.start()
                box = self.assert_box(LOBBY_TEXT, [IDYES, IDNO], "question")
                rig.probe.click(box, IDNO)
                self.assertIsNotNone(program.wait(15))
                self.assertTrue(plaza.wait_for("posted", 10))
                self.assertEqual(plaza.posted(), [(WM_SHOWWINDOW, 1, 0)])
                self.assertEqual(launcher.posted(), [])
                rig.stop_all()

    def test_no_question_without_a_usable_class_name(self):
        cases = (
            ("no key", lambda: None),
            ("empty values", lambda: (rig.probe.reg_set_sz(KEY, "LauncherClass", ""),
                                      rig.probe.reg_set_sz(KEY, "PlazaClass", ""))),
            ("launcher without nul", lambda: rig.probe.reg_set_raw(
                KEY, "LauncherClass", REG_SZ, self.LAUNCHER.encode())),
        )
        for name, prepare in cases:
            with self.subTest(name):
                rig.probe.reg_delete(r"Software\Vantreo")
                prepare()
                launcher = rig.host(self.LAUNCHER)
                program = self.start()
                wizard = self.wait_wizard()
                self.assertIsNone(rig.probe.find("#32770", BOX_TITLE))
                self.close_wizard(program, wizard)
                self.assertEqual(launcher.posted(), [])
                rig.stop_all()


class InstallFolder(ShellCase):
    def run_wizard(self, shot=None):
        """Runs the installer to its wizard; returns the folder shown."""
        program = self.start()
        wizard = self.wait_wizard()
        folder = rig.probe.text(wizard.hwnd, IDC_PATH)
        if shot:
            rig.screenshot(shot)
        self.close_wizard(program, wizard)
        return folder

    def stored(self, value):
        return rig.probe.reg_query(KEY, value)

    def test_first_run_stores_the_default_folder(self):
        self.assertEqual(self.run_wizard("first-run"), DEFAULT_FOLDER)
        self.assertEqual(self.stored("Path"), (REG_SZ, DEFAULT_FOLDER.encode() + b"\0"))
        self.assertEqual(self.stored("UnionID"), (REG_DWORD, b"\0\0\0\0"))

    def test_stored_folder_is_shown_and_nothing_written(self):
        folder = r"E:\Games\Vantreo"
        rig.probe.reg_set_sz(KEY, "Path", folder)
        self.assertEqual(self.run_wizard(), folder)
        self.assertEqual(self.stored("Path"), (REG_SZ, folder.encode() + b"\0"))
        self.assertIsNone(self.stored("UnionID"))

    def test_doubled_backslashes_are_shown_single_and_not_rewritten(self):
        doubled = r"E:\\Games\\Vantreo"
        rig.probe.reg_set_sz(KEY, "Path", doubled)
        self.assertEqual(self.run_wizard(), r"E:\Games\Vantreo")
        self.assertEqual(self.stored("Path"), (REG_SZ, doubled.encode() + b"\0"))
        self.assertIsNone(self.stored("UnionID"))

    def test_chinese_folder_round_trips(self):
        folder = r"D:\游戏\Vantreo"
        rig.probe.reg_set_sz(KEY, "Path", folder)
        self.assertEqual(self.run_wizard(), folder)

    def test_unusable_path_gives_the_default_folder_and_stores_it(self):
        cases = (
            ("missing", lambda: rig.probe.reg_set_sz(KEY, "LauncherClass", "x")),
            ("empty", lambda: rig.probe.reg_set_sz(KEY, "Path", "")),
            ("dword", lambda: rig.probe.reg_set_dword(KEY, "Path", 5)),
            ("261 bytes", lambda: rig.probe.reg_set_sz(KEY, "Path", "E:\\" + "x" * 257)),
        )
        for name, prepare in cases:
            with self.subTest(name):
                rig.probe.reg_delete(r"Software\Vantreo")
                prepare()
                self.assertEqual(self.run_wizard(), DEFAULT_FOLDER)
                self.assertEqual(self.stored("Path"), (REG_SZ, DEFAULT_FOLDER.encode() + b"\0"))
                self.assertEqual(self.stored("UnionID"), (REG_DWORD, b"\0\0\0\0"))

    def test_longest_usable_path_is_kept(self):
        folder = "E:\\" + "x" * 256  # 259 characters, 260 bytes with the NUL
        rig.probe.reg_set_sz(KEY, "Path", folder)
        self.assertEqual(self.run_wizard(), folder)
        self.assertIsNone(self.stored("UnionID"))


def main():
    global options
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--work", required=True)
    options, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
