#!/usr/bin/env python3
"""The same installer on a Simplified Chinese, a Traditional Chinese and an English Windows
(Wine takes the code page from the locale): the same texts, in the same places, drawn in ink,
each control named for screen readers; a folder outside the code page installs; a whole install
completes where the code page is not 936.

usage: locale_gui_test.py --exe VantreoInstaller.exe --probe probe.exe --setup VantreoSetup.exe
           --sign-keys DIR --signer SUBJECT --address A --work DIR [unittest args]
"""

import os
import subprocess
import sys
import time
import unittest

import install_driver as drv
from install_driver import KEY, gui

# The systems: the locale and the code page the program must then report in its log.
LOCALES = (("zh_CN.UTF-8", 936), ("zh_TW.UTF-8", 950), ("en_US.UTF-8", 1252))

# What each window shows (its window text, read as UTF-16), and so what a screen reader says.
TEXTS = {
    "-": drv.WIZARD_TITLE,
    drv.IDC_STATUS: drv.FOLDER_LABEL,
    drv.IDC_TERMS_LINK: "我已阅读并同意使用协议",
    drv.IDC_MANUAL_LINK: "手动下载完整安装包",
    drv.IDOK: "开始安装",
    drv.IDC_BROWSE: "更改路径",
    drv.IDC_MINIMIZE: "最小化",
    drv.IDC_CLOSE: "关闭",
    drv.IDC_AGREE: "我已阅读并同意使用协议",
}
INTERACTIVE = (drv.IDOK, drv.IDC_BROWSE, drv.IDC_MINIMIZE, drv.IDC_CLOSE, drv.IDC_AGREE,
               drv.IDC_TERMS_LINK, drv.IDC_MANUAL_LINK)
ABOUT_TITLE = "关于 Ostradownload"
QUIT_QUESTION = "安装尚未完成，确定要退出吗？"
# The ink of the texts: black on the field and the footer, blue for the manual link.
INK = {drv.IDC_STATUS: "dark", drv.IDC_PATH: "dark", drv.IDC_TERMS_LINK: "dark",
       drv.IDC_MANUAL_LINK: "blue"}
DEFAULT_FOLDER = r"C:\Program Files\Vantreo"
FOREIGN_FOLDER = "C:\\Games\\한게임 Zoë"  # no code page of the three holds it
REG_SZ = 1

options = None
nginx = None
rects = {}  # locale: {control: client rectangle}


def setUpModule():
    global nginx
    if os.geteuid() != 0:
        raise unittest.SkipTest("nginx needs root for port 80")
    nginx = drv.Nginx(os.path.join(options.work, "nginx"), options.address).start()


def tearDownModule():
    if nginx:
        nginx.stop()


def rig_for(locale):
    """A rig whose programs run under `locale` (the rig reads it as it starts)."""
    os.environ["VANTREO_LC_ALL"] = locale
    return drv.make_rig(options.work, options.probe, "locale-" + locale.split(".")[0])


def ink(shot, rect, kind):
    """Pixels of the screenshot inside `rect` (screen coordinates) that are text ink."""
    left, top, right, bottom = rect
    raw = subprocess.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top,
                                                                     left, top),
                          "+repage", "-depth", "8", "rgb:-"], stdout=subprocess.PIPE).stdout
    dark = kind == "dark"
    return sum(1 for r, g, b in zip(raw[0::3], raw[1::3], raw[2::3])
               if dark and r + g + b < 240 or not dark and b > 150 and r < 90 and g < 90)


class Locale(unittest.TestCase):
    def check_wizard(self, rig, locale, code_page):
        """The wizard under `locale`: its texts, places, ink and names; its About box."""
        wizard = drv.Wizard(rig, options.exe)
        try:
            time.sleep(1)  # the fade-in is over
            for control, text in TEXTS.items():
                self.assertEqual(wizard.text(control), text, (locale, control))
            self.assertEqual(wizard.text(drv.IDC_PATH), DEFAULT_FOLDER, locale)
            rects[locale] = {c: wizard.client_rect(c) for c in list(TEXTS) + [drv.IDC_PATH]
                             if c != "-"}
            self.assertEqual(rects[locale], rects[LOCALES[0][0]], locale)
            shot = wizard.screenshot("wizard-" + locale)
            wizard.finish_screenshots()
            left, top = wizard.window.rect[:2]
            for control, kind in INK.items():
                r = rects[locale][control]
                self.assertGreater(ink(shot, (left + r[0], top + r[1], left + r[2], top + r[3]),
                                       kind), 20, (locale, control, shot))
            for control in INTERACTIVE:
                answer = rig.probe.command("accessible", wizard.hwnd, control)
                self.assertEqual(answer.split("\t")[0], "name=" + TEXTS[control], (locale, control))
            self.assertIsNone(drv.log_lacks(drv.install_log(rig.prefix),
                                            ["START .*code page %d" % code_page]), locale)

            wizard.post(drv.WM_SYSCOMMAND, drv.IDM_ABOUT)
            about = rig.probe.wait("#32770", ABOUT_TITLE, 10000)
            self.assertIsNotNone(about, locale)
            self.assertEqual(rig.probe.text(about.hwnd, drv.IDOK), "确定")
            self.assertTrue(rig.probe.text(about.hwnd, 1012).startswith("日志：C:\\"), locale)
            rig.probe.click(about.hwnd, drv.IDOK)
            self.assertTrue(rig.probe.gone("#32770", ABOUT_TITLE, 10000))
        finally:
            wizard.close()
        return wizard

    def install_silently(self, rig, locale):
        """A silent install into a folder no code page holds, given with /D=."""
        program = rig.start(options.exe, ["/S", "/NOLAUNCH", "/D=" + FOREIGN_FOLDER])
        self.assertEqual(program.wait(120), 0, "\n".join(drv.install_log(rig.prefix)[-15:]))
        self.assertEqual(rig.probe.reg_query(KEY, "Path"),
                         (REG_SZ, FOREIGN_FOLDER.encode() + b"\0"), locale)
        setup_log = os.path.join(drv.unix_path(rig.prefix, FOREIGN_FOLDER), "setup.log")
        with open(setup_log, encoding="utf-8") as log:
            self.assertEqual(log.read().splitlines()[1], "folder " + FOREIGN_FOLDER, locale)
        os.remove(setup_log)
        self.assertIsNone(drv.log_lacks(drv.install_log(rig.prefix), [
            "END exit code 0: installed into " + FOREIGN_FOLDER.replace("\\", r"\\")]), locale)

    def install_with_the_wizard(self, rig):
        """The whole install through the wizard, into the folder it read back; midway the close
        question and the bar's percentage."""
        wizard = drv.Wizard(rig, options.exe)
        self.assertEqual(wizard.text(drv.IDC_PATH), FOREIGN_FOLDER)
        time.sleep(1)
        wizard.click(drv.IDOK)
        time.sleep(2)
        wizard.post(gui.WM_CLOSE)
        box = rig.probe.message_box(drv.BOX_TITLE, 10000)
        self.assertIsNotNone(box, "no question")
        self.assertEqual(box[1], QUIT_QUESTION)
        rig.probe.click(box[0], gui.IDNO)
        bar = rig.probe.command("accessible", wizard.hwnd, drv.STRIP_ID)
        self.assertRegex(bar, r"^name=\d+%", bar)
        self.assertEqual(wizard.program.wait(120), 0, "the install did not complete")
        deadline = time.time() + 10
        while len(drv.started_programs(rig.prefix, FOREIGN_FOLDER)) < 2 and time.time() < deadline:
            time.sleep(0.2)
        self.assertEqual(sorted(drv.started_programs(rig.prefix, FOREIGN_FOLDER)),
                         ["started GlyphHint.exe in " + FOREIGN_FOLDER,
                          "started Vantreo.exe in " + FOREIGN_FOLDER])

    def test_every_system_shows_the_same_wizard_and_installs_anywhere(self):
        nginx.serve(options.setup, signer=(options.sign_keys, options.signer))
        for locale, code_page in LOCALES:
            with self.subTest(locale), rig_for(locale) as rig:
                drv.forget_installs(rig, [DEFAULT_FOLDER, FOREIGN_FOLDER])
                wizard = self.check_wizard(rig, locale, code_page)
                wizard.post(gui.WM_CLOSE)
                self.assertIsNotNone(wizard.program.wait(10))
                self.install_silently(rig, locale)
                if code_page == 1252:  # where the old build showed garbage
                    self.install_with_the_wizard(rig)


def main():
    global options
    options, argv = drv.parse_test_options(
        ("--exe", "--probe", "--setup", "--address", "--work", "--sign-keys", "--signer"))
    unittest.main(argv=argv, verbosity=2)


if __name__ == "__main__":
    main()
