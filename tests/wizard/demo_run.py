#!/usr/bin/env python3
"""The demo's run (tools/demo.sh builds, then calls this): nginx on a loopback address serving
the stand-in setup program, the real installer under Wine, the whole install, and a report of
what happened.

--mode user     the installer shows on $DISPLAY and you click (start, pause, continue, close);
--mode virtual  it runs in a virtual display and the probe presses start.

The status line is printed as it changes; at the end come the installer's exit, the registry
values, the downloaded file, the server's requests, what the setup program did, the programs
started, and where the screenshots are.

usage: demo_run.py --mode user|virtual --exe VantreoInstaller.exe --probe probe.exe
           --watch status_watch.exe --setup VantreoSetup.exe --address 127.0.0.90 --work DIR
"""

import argparse
import os
import sys
import time

import install_driver as drv
from install_driver import IDOK, KEY, gui


class UserDisplay(gui.Display):
    """The display the user sits at: nothing to start or stop."""

    def start(self):
        self.name = os.environ["DISPLAY"]
        return self

    def stop(self):
        pass


def registry_value(probe, name):
    found = probe.reg_query(KEY, name)
    if found is None:
        return "(none)"
    value_type, data = found
    if value_type == 1:
        return "%s (REG_SZ)" % data.rstrip(b"\0").decode("utf-8", errors="replace")
    if value_type == 4 and len(data) == 4:
        return "%d (REG_DWORD)" % int.from_bytes(data, "little")
    return "type %d, %s" % (value_type, data.hex())


def report(options, rig, nginx, wizard, samples, code, digest):
    print("\nWhat happened")
    print("  installer: %s" % ("ended with exit code %d" % code if code is not None
                                else "still running"))
    lines = drv.distinct(samples)
    completed = lines[-2:] == [drv.CONFIGURING, drv.STARTING_GAME]
    print("  install: %s" % ("completed" if completed else "not completed (%s)" %
                             (lines[-1] if lines else "never started")))
    stalls = sum(1 for line in lines if line in (drv.NETWORK_STALLED, drv.REDOWNLOADING))
    print("  network messages shown: %d" % stalls)
    print("  registry HKCU\\%s:" % KEY)
    for name in ("Path", "UnionID"):
        print("    %-8s %s" % (name, registry_value(rig.probe, name)))
    folder = registry_value(rig.probe, "Path").rsplit(" (REG_SZ)", 1)[0]

    downloads = drv.temp_downloads(rig.prefix)
    for path in downloads:
        same = drv.sha256(path) == digest
        print("  download: %s, %d bytes, %s" % (
            os.path.relpath(path, rig.prefix), os.path.getsize(path),
            "identical to the server's file" if same else "DIFFERENT from the server's file"))
    if not downloads:
        print("  download: nothing left in the download folders")
    requests = nginx.requests()
    print("  server requests: %d" % len(requests))
    for method, uri, status, byte_range, sent in requests:
        print("    %s %s -> %d, range %s, %d bytes sent" % (method, uri, status, byte_range, sent))

    started = []
    if folder != "(none)":
        setup_log = os.path.join(drv.unix_path(rig.prefix, folder), "setup.log")
        if os.path.exists(setup_log):
            with open(setup_log, encoding="utf-8", errors="replace") as log:
                print("  setup program: %s" % "; ".join(l.strip() for l in log if l.strip()))
        else:
            print("  setup program: installed nothing in %s" % folder)
        deadline = time.time() + 5
        while completed and len(drv.started_programs(rig.prefix, folder)) < 2 and \
                time.time() < deadline:
            time.sleep(0.2)
        started = drv.started_programs(rig.prefix, folder)
        print("  programs started: %s" % ("; ".join(started) if started else "none"))
    print("  screenshots: %s" % rig.shots)
    return completed and len(started) == 2


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=["user", "virtual"], required=True)
    for name in ("--exe", "--probe", "--watch", "--setup", "--address", "--work"):
        parser.add_argument(name, required=True)
    # The setup program as built is signed at its own size; these sign it again at the size
    # served, when that differs.
    parser.add_argument("--sign-keys")
    parser.add_argument("--signer")
    options = parser.parse_args()
    work = os.path.abspath(options.work)

    nginx = drv.Nginx(os.path.join(work, "nginx"), options.address)
    nginx.start()
    try:
        digest = nginx.serve(options.setup, signer=(options.sign_keys, options.signer)
                             if options.signer else None)
        print("nginx on %s:80 serves /download/%s (%d bytes, %s per connection)" % (
            options.address, drv.SETUP_NAME, drv.SETUP_SIZE, nginx.rate))
        rig = drv.make_rig(work, options.probe, "demo")
        if options.mode == "user":
            rig.display = UserDisplay()
        with rig:
            rig.probe.reg_delete(r"Software\Vantreo")
            wizard = drv.Wizard(rig, options.exe, options.watch)
            left, top, right, bottom = wizard.window.rect
            if options.mode == "user":
                wizard.crop = "%dx%d+%d+%d" % (right - left, bottom - top, left, top)
            print("the wizard is open on %s; install folder %s" % (
                rig.display.name, wizard.text(drv.IDC_PATH)))
            started = time.time()
            wizard.watcher.on_change = lambda s: print(
                "  %6.2f s  %s" % (time.time() - started, s.status), flush=True)
            time.sleep(1)  # the fade-in
            wizard.screenshot("demo-0-ready")
            wizard.watcher.shots = "demo"
            if options.mode == "virtual":
                print("pressing start (开始安装)")
                wizard.click(IDOK)
            else:
                print("press 开始安装 in the wizard; pause, continue or close it as you like")
            samples = wizard.watch(timeout=900 if options.mode == "user" else 180)
            code = wizard.program.wait(15)
            wizard.close()
            ok = report(options, rig, nginx, wizard, samples, code, digest)
    finally:
        nginx.stop()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
