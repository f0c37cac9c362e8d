"""The GUI test rig: the real Windows program under Wine, in a virtual X display, in a private
Wine prefix, with probe.exe as the test's hands and eyes inside that prefix.

    with Rig(work_dir, probe_exe) as rig:        # Xvfb on a free display :50-:59, own prefix
        app = rig.start(installer_exe)            # a Windows program, started through Wine
        wizard = rig.probe.wait("#32770", WIZARD_TITLE)
        rig.probe.text(wizard.hwnd, 1008)         # a control's text
        rig.screenshot("first-run")               # PNG under work_dir/screenshots
        rig.probe.post(wizard.hwnd, WM_CLOSE)
        app.wait()

See tests/gui/README.md.
"""

import fcntl
import os
import select
import shutil
import signal
import subprocess
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
WINE_RUN = os.path.join(SOURCE_ROOT, "tools", "wine-run.sh")
ENCODING = "utf-8"  # the probe speaks UTF-8 whatever the code page
TEMPLATE_VERSION = "2"  # change to rebuild every tree's template prefix

WM_CLOSE = 0x0010
WM_SHOWWINDOW = 0x0018
WM_COMMAND = 0x0111
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


class RigError(Exception):
    pass


def wine_env(prefix, display=None):
    env = dict(os.environ)
    # The system the program runs on: its code page and language follow the locale.
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all",
               LC_ALL=os.environ.get("VANTREO_LC_ALL", "zh_CN.UTF-8"),
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


class Display:
    """Xvfb on the first free display number of `numbers` (:50 to :59), 1024x768x24."""

    def __init__(self, numbers=range(50, 60)):
        self.process = None
        self.name = None
        self.numbers = numbers

    def start(self):
        for number in self.numbers:
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            process = subprocess.Popen(
                ["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            socket = "/tmp/.X11-unix/X%d" % number
            deadline = time.time() + 10
            while time.time() < deadline and process.poll() is None:
                if os.path.exists(socket):
                    self.process, self.name = process, ":%d" % number
                    return self
                time.sleep(0.05)
            if process.poll() is None:
                process.terminate()
                process.wait()
            # Another run took this number meanwhile: try the next.
        raise RigError("no free X display in :%d-:%d" % (self.numbers[0], self.numbers[-1]))

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


def template_prefix(tree):
    """A booted Wine prefix shared by every rig of the build tree, made once (about 10 s)."""
    template = os.path.join(tree, "prefix-template")
    os.makedirs(tree, exist_ok=True)
    with open(template + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        marker = os.path.join(template, ".rig-template")
        if not os.path.exists(marker) or open(marker).read() != TEMPLATE_VERSION:
            shutil.rmtree(template, ignore_errors=True)
            env = wine_env(template)
            # Booted without a display, so that no "updating the prefix" window shows.
            subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
            # Xvfb has no window manager: Wine would wait 2 s for one each time it hides a
            # managed window. Unmanaged windows are hidden at once.
            subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                            "Managed", "/d", "N", "/f"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
            subprocess.run(["wineserver", "-w"], env=env, check=False)
            open(os.path.join(template, ".ready"), "w").close()  # tools/wine-run.sh skips boot
            with open(marker, "w") as out:
                out.write(TEMPLATE_VERSION)
    return template


class Probe:
    """probe.exe in serve mode: one command line in, one answer line out."""

    class Window:
        def __init__(self, line):
            fields = line.split("\t")
            self.hwnd = fields[0]
            self.info = dict(f.split("=", 1) for f in fields[1:] if "=" in f)

        @property
        def title(self):
            return self.info.get("title", "")

        @property
        def rect(self):
            return tuple(int(v) for v in self.info["rect"].split(","))

        @property
        def pid(self):
            return int(self.info["pid"])

    def __init__(self, rig, exe):
        self.process = subprocess.Popen(
            [WINE_RUN, "--prefix", rig.prefix, exe, "serve"], env=rig.env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if self._read_line(60) != "ready":
            raise RigError("probe did not start")

    def _read_line(self, timeout):
        deadline = time.time() + timeout
        line = b""
        while not line.endswith(b"\n"):
            remaining = deadline - time.time()
            if remaining <= 0 or not select.select([self.process.stdout], [], [], remaining)[0]:
                raise RigError("probe did not answer within %s s" % timeout)
            chunk = os.read(self.process.stdout.fileno(), 1)
            if not chunk:
                raise RigError("probe ended")
            line += chunk
        return line.decode(ENCODING).rstrip("\r\n")

    def command(self, *fields, timeout=30):
        line = "\t".join(str(f) for f in fields) + "\n"
        self.process.stdin.write(line.encode(ENCODING))
        self.process.stdin.flush()
        return self._read_line(timeout)

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write(b"quit\n")
                self.process.stdin.flush()
                self.process.wait(timeout=10)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()

    # Windows.
    def find(self, class_name, title):
        answer = self.command("find", class_name, title)
        return None if answer == "none" else Probe.Window(answer)

    def wait(self, class_name, title, timeout_ms=15000):
        answer = self.command("wait", class_name, title, timeout_ms,
                              timeout=timeout_ms / 1000 + 10)
        return None if answer == "none" else Probe.Window(answer)

    def gone(self, class_name, title, timeout_ms=15000):
        answer = self.command("gone", class_name, title, timeout_ms,
                              timeout=timeout_ms / 1000 + 10)
        return answer == "gone"

    def text(self, hwnd, control="-"):
        answer = self.command("text", hwnd, control)
        if not answer.startswith("text="):
            raise RigError("no control %s in %s" % (control, hwnd))
        return answer[len("text="):]

    def rect(self, hwnd, control="-"):
        answer = self.command("rect", hwnd, control)
        fields = dict(f.split("=", 1) for f in answer.split("\t"))
        return {k: tuple(int(v) for v in fields[k].split(",")) for k in fields}

    def enabled(self, hwnd, control="-"):
        return self.command("enabled", hwnd, control) == "1"

    def style(self, hwnd, control="-"):
        fields = dict(f.split("=", 1) for f in self.command("style", hwnd, control).split("\t"))
        return int(fields["style"], 16), int(fields["exstyle"], 16)

    def click(self, hwnd, control):
        if self.command("click", hwnd, control) != "ok":
            raise RigError("cannot click %s in %s" % (control, hwnd))

    def post(self, hwnd, message, wparam=0, lparam=0):
        return self.command("post", hwnd, message, wparam, lparam) == "ok"

    def message_box(self, title, timeout_ms=15000):
        """(hwnd, text, [button ids]) of a message box with that caption, or None."""
        answer = self.command("msgbox", title, timeout_ms, timeout=timeout_ms / 1000 + 10)
        if answer == "none":
            return None
        fields = answer.split("\t")
        info = dict(f.split("=", 1) for f in fields[1:])
        buttons = [int(b) for b in info["buttons"].split(",") if b]
        return fields[0], info["text"], buttons

    def icon_mismatch(self, hwnd, control, icon):
        """Per mille of the system icon's pixels that the control does not show on screen."""
        return int(self.command("icon", hwnd, control, icon).split("=", 1)[1])

    # Registry, below HKEY_CURRENT_USER.
    def reg_set_sz(self, key, value, text):
        return self.command("reg-set-sz", key, value, text) == "ok"

    def reg_set_dword(self, key, value, number):
        return self.command("reg-set-dword", key, value, number) == "ok"

    def reg_set_raw(self, key, value, reg_type, data):
        return self.command("reg-set-raw", key, value, reg_type, data.hex()) == "ok"

    def reg_query(self, key, value):
        """None when the value (or key) is missing, else (type, bytes)."""
        answer = self.command("reg-query", key, value)
        if answer in ("missing", "nokey"):
            return None
        fields = dict(f.split("=", 1) for f in answer.split("\t"))
        return int(fields["type"]), bytes.fromhex(fields["hex"])

    def reg_delete(self, key):
        return self.command("reg-delete", key) == "ok"

    # Processes.
    def process_count(self, exe_name):
        return int(self.command("processes", exe_name).split("=", 1)[1])

    def kill(self, exe_name):
        return int(self.command("kill", exe_name).split("=", 1)[1])


class Program:
    """A Windows program started through Wine; the Unix process is the Windows process."""

    def __init__(self, rig, exe, args=(), capture=True):
        """With `capture`, standard output is collected in `output`; else it is passed on."""
        self.process = subprocess.Popen([WINE_RUN, "--prefix", rig.prefix, exe] + list(args),
                                        env=rig.env,
                                        stdout=subprocess.PIPE if capture else None,
                                        stderr=subprocess.DEVNULL if capture else None)
        self.output = b""
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        if self.process.stdout:
            for chunk in iter(lambda: self.process.stdout.read1(4096), b""):
                self.output += chunk

    def wait(self, timeout=15):
        """The exit code, or None when still running after `timeout` seconds."""
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        self._reader.join(timeout=5)
        return code

    def running(self):
        return self.process.poll() is None

    def kill(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()
        self._reader.join(timeout=5)
        if self.process.stdout:
            self.process.stdout.close()


class Host:
    """A stand-in top-level window of a given class (probe.exe host) that reports the messages
    posted to it. It ends on WM_CLOSE unless `ignore_close`, or after `seconds`."""

    def __init__(self, rig, probe_exe, class_name, ignore_close=False, seconds=60):
        self.lines = []
        self._changed = threading.Condition()
        self.process = subprocess.Popen(
            [WINE_RUN, "--prefix", rig.prefix, probe_exe, "host", class_name,
             "ignore-close" if ignore_close else "close", str(seconds)],
            env=rig.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._read, daemon=True).start()
        if not self.wait_for("ready", 30):
            raise RigError("host window %s did not start: %s" % (class_name, self.lines))

    def _read(self):
        for raw in self.process.stdout:
            with self._changed:
                self.lines.append(raw.decode(ENCODING).rstrip("\r\n"))
                self._changed.notify_all()
        with self._changed:
            self.lines.append("<eof>")
            self._changed.notify_all()

    def wait_for(self, prefix, timeout):
        deadline = time.time() + timeout
        with self._changed:
            while not any(l.startswith(prefix) for l in self.lines):
                remaining = deadline - time.time()
                if remaining <= 0:
                    return False
                self._changed.wait(remaining)
            return True

    def posted(self):
        """[(message, wParam, lParam)] in the order they arrived."""
        with self._changed:
            result = []
            for line in self.lines:
                if line.startswith("posted "):
                    message, wparam, lparam = line.split()[1:4]
                    result.append((int(message, 16), int(wparam), int(lparam)))
            return result

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.wait_for("<eof>", 5)
        self.process.stdout.close()


class Rig:
    """A display, a private prefix copied from the tree's template, and a probe."""

    def __init__(self, work_dir, probe_exe, name="rig"):
        self.work_dir = os.path.abspath(work_dir)
        self.probe_exe = probe_exe
        self.name = name
        self.prefix = os.path.join(self.work_dir, name + "-prefix")
        self.shots = os.path.join(self.work_dir, "screenshots")
        self.display = Display()
        self.probe = None
        self.programs = []
        self.hosts = []
        self.env = None

    def __enter__(self):
        template = template_prefix(os.path.dirname(self.work_dir))
        os.makedirs(self.work_dir, exist_ok=True)
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", "--reflink=auto", template, self.prefix], check=True)
        os.makedirs(self.shots, exist_ok=True)
        self.display.start()
        self.env = wine_env(self.prefix, self.display.name)
        self.probe = Probe(self, self.probe_exe)
        return self

    def __exit__(self, *exc):
        self.stop_all()
        if self.probe:
            self.probe.close()
        subprocess.run(["wineserver", "-k"], env=self.env, check=False,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False,
                       stderr=subprocess.DEVNULL)
        self.display.stop()
        if exc[0] is None and not os.environ.get("VANTREO_KEEP_PREFIX"):
            shutil.rmtree(self.prefix, ignore_errors=True)
        return False

    def start(self, exe, args=(), capture=True):
        program = Program(self, exe, args, capture)
        self.programs.append(program)
        return program

    def host(self, class_name, ignore_close=False, seconds=60):
        host = Host(self, self.probe_exe, class_name, ignore_close, seconds)
        self.hosts.append(host)
        return host

    def stop_all(self):
        """Ends every program and host window this rig started (between test cases)."""
        for program in self.programs:
            program.kill()
        for host in self.hosts:
            host.stop()
        self.programs, self.hosts = [], []

    def screenshot(self, name):
        path = os.path.join(self.shots, name + ".png")
        subprocess.run(["import", "-display", self.display.name, "-window", "root", path],
                       check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path


def main():
    """rig.py run --probe probe.exe --work DIR [--name NAME] [--timeout S] -- program [args]:
    runs one Windows program (a test program that needs a display) inside a rig and exits with
    its exit code."""
    import argparse
    import sys
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["run"])
    parser.add_argument("--probe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--name", default="run")
    parser.add_argument("--timeout", type=float, default=300)
    argv = sys.argv[1:]
    split = argv.index("--") if "--" in argv else len(argv)
    options = parser.parse_args(argv[:split])
    command = argv[split + 1:]
    if not command:
        parser.error("no program after --")
    with Rig(options.work, options.probe, options.name) as rig:
        program = rig.start(command[0], command[1:], capture=False)
        code = program.wait(options.timeout)
        if code is None:
            print("rig: %s still running after %s s" % (command[0], options.timeout))
            program.kill()
            code = 1
    sys.exit(code)


if __name__ == "__main__":
    main()
