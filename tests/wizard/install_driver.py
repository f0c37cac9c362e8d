"""The whole install of the real installer under Wine, as the tests and the demo drive it.

- `CompositedDisplay`: Xvfb on the first free display of :70 to :79, with a compositing manager
  (xcompmgr), without which a per-pixel-alpha window shows over black.
- `Nginx`: nginx on port 80 of one loopback address (tests/support/nginx.sh), serving the
  stand-in setup program at /download/VantreoSetup.exe, throttled per connection so that a
  download takes several seconds. A lock file keeps two runs off the same address.
- `Wizard`: the running installer and its wizard, seen through probe.exe (control texts and
  rectangles, presses) and status_watch.exe (every change of the status line, the bar and the
  start button, with screenshots of each new stage).

See tests/gui/README.md for the rig (prefix, probe) this builds on.
"""

import argparse
import fcntl
import glob
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "gui"))
import rig as gui  # noqa: E402

NGINX_SH = os.path.join(SOURCE_ROOT, "tests", "support", "nginx.sh")
SIGNER_SH = os.path.join(SOURCE_ROOT, "tools", "test-signer.sh")

WIZARD_CLASS = "#32770"
WIZARD_TITLE = "Lumeo棋牌 - 安装向导"
BOX_TITLE = "VantreoInstaller"
KEY = r"Software\Vantreo\Install"

IDOK, IDCANCEL = 1, 2
IDC_BAR_CAP, IDC_CLOSE, IDC_STATUS = 1002, 1003, 1004
IDC_MINIMIZE, IDC_AGREE, IDC_PATH, IDC_BROWSE = 1006, 1007, 1008, 1009
IDC_TERMS_LINK, IDC_MANUAL_LINK = 1010, 1011
STRIP_ID = 0  # the progress strip is a child dialog without an id
IDM_ABOUT = 0x0010

WM_KEYDOWN, WM_CHAR, WM_SYSCHAR, WM_SYSCOMMAND = 0x0100, 0x0102, 0x0106, 0x0112
VK_RETURN, VK_ESCAPE, VK_UP = 0x0D, 0x1B, 0x26
SC_RESTORE, SC_CLOSE = 0xF120, 0xF060
WS_MINIMIZE = 0x20000000

SETUP_SIZE = 14000000
SETUP_NAME = "VantreoSetup.exe"

INSTALLING = "正在安装..."
PERCENT = re.compile(r"^正在安装：(\d+)%$")
PAUSED = re.compile(r"^已暂停：(\d+)%$")
CONFIGURING = "安装完成,正在为您配置游戏..."
STARTING_GAME = "正在为您启动游戏.."
REDOWNLOADING = "网络数据异常，正在重新下载..."
NETWORK_STALLED = "网络异常，请检查您的网络连接..."
PACKAGE_REFUSED = "安装包校验失败，请手动下载完整安装包"
FOLDER_LABEL = "安装路径"


def percent_of(status):
    match = PERCENT.match(status or "")
    return int(match.group(1)) if match else None


class CompositedDisplay(gui.Display):
    """Xvfb on the first free display of `numbers`, with xcompmgr when it is installed."""

    def __init__(self, numbers=range(70, 80)):
        super().__init__(numbers)
        self.compositor = None

    def start(self):
        super().start()
        self.start_compositor()
        return self

    def start_compositor(self):
        if shutil.which("xcompmgr"):
            env = dict(os.environ, DISPLAY=self.name)
            self.compositor = subprocess.Popen(["xcompmgr"], env=env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL)
            time.sleep(0.3)

    def stop(self):
        if self.compositor and self.compositor.poll() is None:
            self.compositor.terminate()
            self.compositor.wait()
        self.compositor = None
        super().stop()


def make_rig(work_dir, probe_exe, name):
    rig = gui.Rig(work_dir, probe_exe, name=name)
    rig.display = CompositedDisplay()
    return rig


def padded_copy(source, target, size):
    """`source` cut or padded (with a fixed pattern) to exactly `size` bytes, at `target`."""
    with open(source, "rb") as original:
        data = original.read()
    if size <= len(data):
        data = data[:size]
    else:
        data += random.Random(size).randbytes(size - len(data))
    with open(target, "wb") as out:
        out.write(data)


def sign_to_size(program, target, size, signer):
    """`program` padded and signed by tools/test-signer.sh into `target` of exactly `size`
    bytes: the signature's length is learned from a first signing."""
    keys, subject = signer
    unsigned = target + ".unsigned"
    overhead = 0
    for _ in range(3):
        padded_copy(program, unsigned, size - overhead)
        subprocess.run([SIGNER_SH, keys, subject, unsigned, target], check=True)
        overhead += os.path.getsize(target) - size
        if os.path.getsize(target) == size:
            os.remove(unsigned)
            return
    raise gui.RigError("could not sign the setup program to %d bytes" % size)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class Nginx:
    """nginx on `address`:80 (tests/support/nginx.sh) serving the setup program at
    /download/, each connection held to `rate` bytes per second; with `tls` (certificate chain,
    key) also on port 443 over TLS."""

    def __init__(self, base, address, rate="600k", tls=None):
        self.base = os.path.abspath(base)
        self.address = address
        self.rate = rate
        self.tls = tls
        self.served = os.path.join(self.base, "www", "files", SETUP_NAME)
        self.log = os.path.join(self.base, "access.log")
        self.lock = None

    def start(self):
        if os.geteuid() != 0:
            raise gui.RigError("nginx needs root for port 80")
        # The address is compiled into the installer, so two runs (other build trees) cannot
        # each take another: the second waits.
        self.lock = open("/tmp/vantreo-wizard-%s.lock" % self.address, "w")
        fcntl.flock(self.lock, fcntl.LOCK_EX)
        tls = ["--tls", self.tls[0], self.tls[1]] if self.tls else []
        result = subprocess.run([NGINX_SH, "start", self.base, "--addresses", self.address,
                                 "--rate", "/download/=%s" % self.rate, "--log-ranges"] + tls,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            self.stop()
            raise gui.RigError("nginx did not start: %s" % result.stdout.decode(errors="replace"))
        return self

    def serve(self, setup_program, size=SETUP_SIZE, signer=None):
        """Serves `setup_program` cut or padded to `size` bytes; returns its SHA-256. With a
        signer (key folder, subject) the program is padded and then signed, so that the signed
        file is `size` bytes: the installer starts only signed programs, and bytes changed
        after signing void the signature."""
        new = self.served + ".new"
        if signer is None:
            padded_copy(setup_program, new, size)
        else:
            sign_to_size(setup_program, new, size, signer)
        os.replace(new, self.served)
        return sha256(self.served)

    def requests(self):
        """[(method, uri, status, range, bytes sent)] logged since the last clear."""
        result = []
        with open(self.log, encoding="utf-8", errors="replace") as log:
            for line in log:
                match = re.match(r'(\S+) (\d+) "([^"]*)" (\d+) (\S+)', line)
                if match:
                    uri, status, byte_range, sent, method = match.groups()
                    result.append((method, uri, int(status), byte_range, int(sent)))
        return result

    def clear_log(self):
        open(self.log, "w").close()  # nginx appends, so it goes on at the start

    def stop(self):
        subprocess.run([NGINX_SH, "stop", self.base], stdout=subprocess.DEVNULL)
        if self.lock:
            self.lock.close()
            self.lock = None


class Sample:
    def __init__(self, elapsed, status, strip, start_enabled):
        self.elapsed = elapsed
        self.status = status
        self.strip = strip  # (left, top, right, bottom) in the wizard's client area, or None
        self.start_enabled = start_enabled

    @property
    def percent(self):
        return percent_of(self.status)

    @property
    def bar_width(self):
        return self.strip[2] - self.strip[0] if self.strip else 0

    def __repr__(self):
        return "%.2fs %s bar=%s start=%s" % (self.elapsed, self.status, self.bar_width,
                                             "on" if self.start_enabled else "off")


def stage_of(status):
    """A name for the part of the install a status line belongs to (one screenshot each)."""
    percent = percent_of(status)
    if percent is None:
        return {INSTALLING: "1-installing", CONFIGURING: "6-configuring",
                STARTING_GAME: "7-starting-game", NETWORK_STALLED: "x-network-stalled",
                REDOWNLOADING: "x-redownloading"}.get(status)
    if percent < 40:
        return "2-downloading"
    if percent < 90:
        return "3-downloading-half"
    if percent == 90:
        return "4-downloaded"
    return "5-setup-running"


class Watcher:
    """status_watch.exe over the wizard: a Sample for every change of the status line, the
    bar or the start button, read in the background. `shots`, when set, names a screenshot of
    each stage's first sample (`<shots>-<stage>`)."""

    def __init__(self, wizard, watch_exe):
        self.wizard = wizard
        self.samples = []
        self.ended = False
        self.shots = None
        self.on_change = None  # called with each sample whose status line is new
        self._seen_stages = set()
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            [gui.WINE_RUN, "--prefix", wizard.rig.prefix, watch_exe, wizard.hwnd],
            env=wizard.rig.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._read, daemon=True).start()
        if not self.wait_for(lambda s: True, 30):
            raise gui.RigError("status_watch did not start")

    def _read(self):
        for raw in self.process.stdout:
            fields = raw.decode(gui.ENCODING, errors="replace").rstrip("\r\n").split("\t")
            if len(fields) != 4:
                continue
            strip = None if fields[2] == "-" else tuple(int(v) for v in fields[2].split(","))
            sample = Sample(int(fields[0]) / 1000.0, fields[1], strip, fields[3] == "1")
            stage = stage_of(sample.status)
            if self.shots and stage and stage not in self._seen_stages:
                self._seen_stages.add(stage)
                self.wizard.screenshot("%s-%s" % (self.shots, stage))
            if self.on_change and (not self.samples or
                                   self.samples[-1].status != sample.status):
                self.on_change(sample)
            with self._changed:
                self.samples.append(sample)
                self._changed.notify_all()
        with self._changed:
            self.ended = True
            self._changed.notify_all()
        self.process.stdout.close()

    def wait_for(self, until, timeout, start=0):
        """True once a sample from index `start` on satisfies `until`; False when the wizard
        has gone or `timeout` seconds passed first."""
        deadline = time.time() + timeout
        with self._changed:
            checked = start
            while True:
                while checked < len(self.samples):
                    if until(self.samples[checked]):
                        return True
                    checked += 1
                remaining = deadline - time.time()
                if self.ended or remaining <= 0:
                    return False
                self._changed.wait(remaining)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class Wizard:
    """The installer started in `rig`, once its wizard shows. With `watch_exe`, its status
    line, bar and start button are followed from the start (see `watch`)."""

    def __init__(self, rig, exe, watch_exe=None, timeout_ms=30000):
        self.rig = rig
        self.probe = rig.probe
        self.program = rig.start(exe)
        window = self.probe.wait(WIZARD_CLASS, WIZARD_TITLE, timeout_ms)
        if window is None:
            raise gui.RigError("the wizard did not show")
        self.window = window
        self.hwnd = window.hwnd
        self.shots = []
        self.watcher = Watcher(self, watch_exe) if watch_exe else None
        self._cursor = 0
        self.crop = None  # screenshots of this screen area only ("WxH+X+Y"), when set

    def close(self):
        if self.watcher:
            self.watcher.stop()
        self.finish_screenshots()

    def text(self, control):
        return self.probe.text(self.hwnd, control)

    def status(self):
        return self.text(IDC_STATUS)

    def client_rect(self, control):
        answer = self.probe.command("rect", self.hwnd, control)
        if not answer.startswith("screen="):
            return None
        fields = dict(f.split("=", 1) for f in answer.split("\t"))
        return tuple(int(v) for v in fields["client"].split(","))

    def strip_rect(self):
        return self.client_rect(STRIP_ID)

    def control_hwnd(self, control):
        return int(self.probe.command("describe", self.hwnd, control).split("\t")[0], 16)

    def focus(self):
        """(active window, focused window) of the wizard's thread, as handles."""
        fields = dict(f.split("=", 1) for f in self.probe.command("focus", self.hwnd).split("\t"))
        return int(fields["active"], 16), int(fields["focus"], 16)

    def focused(self):
        return self.focus()[1]

    def enabled(self, control):
        return self.probe.enabled(self.hwnd, control)

    def click(self, control):
        self.probe.click(self.hwnd, control)

    def post(self, message, wparam=0, lparam=0):
        self.probe.post(self.hwnd, message, wparam, lparam)

    def minimised(self):
        style, _ = self.probe.style(self.hwnd)
        return bool(style & WS_MINIMIZE)

    def screenshot(self, name):
        """A screenshot taken in the background, so that sampling goes on meanwhile."""
        path = os.path.join(self.rig.shots, name + ".png")
        command = ["import", "-display", self.rig.display.name, "-window", "root"]
        if self.crop:
            command += ["-crop", self.crop]
        self.shots.append(subprocess.Popen(command + [path], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL))
        return path

    def finish_screenshots(self):
        for shot in self.shots:
            shot.wait()
        self.shots = []

    def watch(self, until=None, timeout=120, shots=None):
        """Waits until a sample satisfies `until` (without one: until the wizard has gone) or
        `timeout` seconds pass, and returns the samples since the previous watch. With `shots`,
        the first sample of each stage is photographed."""
        if shots:
            self.watcher.shots = shots
        self.watcher.wait_for(until or (lambda s: False), timeout, self._cursor)
        if until is None:
            self.program.wait(10)
        with self.watcher._changed:
            samples = self.watcher.samples[self._cursor:]
            self._cursor = len(self.watcher.samples)
        self.finish_screenshots()
        return samples


def top_level_windows(probe):
    """Every top-level window as probe.Window objects (the answer spans several lines)."""
    lines = [probe.command("windows")]
    while lines[-1] != "end":
        lines.append(probe._read_line(10))
    return [probe.Window(line) for line in lines[:-1] if line]


def distinct(samples):
    """The status lines in the order they showed, each run of equal lines once."""
    lines = []
    for sample in samples:
        if sample.status and (not lines or lines[-1] != sample.status):
            lines.append(sample.status)
    return lines


def unix_path(prefix, windows_path):
    """Where a Windows path of the prefix lies on this machine."""
    drive = windows_path[0].lower()
    rest = windows_path[3:].replace("\\", "/")
    return os.path.join(os.path.realpath(os.path.join(prefix, "dosdevices", drive + ":")), rest)


def temp_downloads(prefix):
    """Every file of the user's temporary folders, and of the private folders an elevated
    installer downloads to, whose name starts with the setup's name."""
    found = []
    drive_c = os.path.join(prefix, "drive_c")
    for root, _, files in os.walk(drive_c):
        relative = os.sep + os.path.relpath(root, drive_c) + os.sep
        in_temp = relative.startswith(os.sep + "users" + os.sep) and os.sep + "Temp" + os.sep in relative
        in_private = relative.startswith(os.sep + "ProgramData" + os.sep + "Vantreo")
        if not (in_temp or in_private):
            continue
        for name in files:
            if name.startswith(SETUP_NAME):
                found.append(os.path.join(root, name))
    return sorted(found)


def install_log(prefix):
    """The lines of the installer's log in the user's temporary folder ([] when none)."""
    users = os.path.join(prefix, "drive_c", "users")
    for user in sorted(os.listdir(users)):
        path = os.path.join(users, user, "Temp", "VantreoInstaller.log")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as log:
                return log.read().splitlines()
    return []


def log_lacks(lines, patterns):
    """The first pattern that matches no log line after the line the previous one matched, or
    None when each matches, in this order."""
    position = 0
    for pattern in patterns:
        found = [i for i in range(position, len(lines))
                 if re.search(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d T\d+ " + pattern, lines[i])]
        if not found:
            return pattern
        position = found[0] + 1
    return None


def clear_install_log(prefix):
    for line_file in glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp",
                                            "VantreoInstaller.log")):
        os.remove(line_file)


def started_programs(prefix, folder):
    """Lines of started.log that the stand-in game and companion wrote in `folder`."""
    log = os.path.join(unix_path(prefix, folder), "started.log")
    if not os.path.exists(log):
        return []
    with open(log, encoding="utf-8", errors="replace") as lines:
        return [line.strip() for line in lines if line.strip()]


def parse_test_options(required):
    """The test program's options, each name of `required` given once (--work made absolute),
    and the command line left for unittest (test names and its own flags)."""
    parser = argparse.ArgumentParser()
    for name in required:
        parser.add_argument(name, required=True)
    options, rest = parser.parse_known_args()
    options.work = os.path.abspath(options.work)
    return options, [sys.argv[0]] + rest


def forget_installs(rig, folders):
    """As before a first run: no installer running, no settings, no downloads and none of the
    install `folders` (Windows paths)."""
    rig.probe.kill("VantreoInstaller.exe")
    rig.probe.reg_delete(r"Software\Vantreo")
    for path in temp_downloads(rig.prefix):
        os.remove(path)
    for folder in folders:
        shutil.rmtree(unix_path(rig.prefix, folder), ignore_errors=True)
