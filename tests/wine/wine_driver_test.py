#!/usr/bin/env python3
"""ORVIX.sys (its x86-64 build for the Wine tests) under Wine's kernel, serving kernel32's comm
functions.

In a fresh prefix: the virtual USB bus is installed as a root-enumerated device with an
auto-start service, and the driver's INF (the package's, plus the port name that Windows' Ports
class installer would choose: Wine has none) goes into the INF folder. When the next Wine
session starts, services.exe loads the bus, the bus reports the adapter, and Wine's Plug and Play
installs ORVIX.sys from the INF and starts it. The bus hands every URB through two FIFOs in the
prefix's drive C: to the adapter model (orvix-wine-model), and comm_test.exe then uses the port.

Where Wine cannot start the test is skipped (exit code 77). A failure prints the driver's log
(Wine's kernel messages of the process that hosts both drivers) and the bus's log (every URB as
the model saw it).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "uninstall", "wine"))
import adapter_prefix as ap  # noqa: E402
import wine_session  # noqa: E402

SERVICES = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services"
BUS_INSTANCE = r"ROOT\ORVIXBUS\0000"
# mountmgr links com1..com32 to /dev/ttyS*, and such a link wins over the driver's name.
PORT = "COM57"
# Ends the test, with its logs, before ctest's time-out (240 s) would kill it silently.
DEADLINE = 225
DRIVER_DEBUG = "-all,err+all,fixme+ntoskrnl,warn+ntoskrnl,warn+plugplay,+debugstr,+loaddll"


def arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--win64", required=True, help="build folder of the 64-bit Windows side")
    parser.add_argument("--model", required=True, help="the adapter model server")
    parser.add_argument("--inf", required=True, help="the driver package's INF")
    parser.add_argument("--helpers", required=True, help="folder of the Windows test helpers")
    args = parser.parse_args()
    wine_dir = os.path.join(args.win64, "driver", "wine")
    args.files = {
        "driver": os.path.join(wine_dir, "driver", "ORVIX.sys"),
        "bus": os.path.join(wine_dir, "OrvixBus.sys"),
        "program": os.path.join(wine_dir, "comm_test.exe"),
        "devices": os.path.join(args.helpers, "ports_devices.exe"),
    }
    for path in list(args.files.values()) + [args.model, args.inf]:
        if not os.path.isfile(path):
            raise SystemExit(f"{path} is missing: build the 64-bit Windows side first (tools/build.sh)")
    return args


def test_inf(package_inf):
    """The package's INF with the port's name added to the device's hardware key."""
    with open(package_inf, encoding="ascii", newline="") as source:
        text = source.read()
    extra = ("\r\n[Orvix_Install.NT.HW]\r\nAddReg = Orvix_HW_AddReg\r\n\r\n"
             f"[Orvix_HW_AddReg]\r\nHKR,,PortName,,\"{PORT}\"\r\n")
    return text.replace("\r\n[Strings]", extra + "\r\n[Strings]", 1)


class Logs:
    """Collects a process's output in a file as it runs."""

    def __init__(self, path):
        self.path = path
        self.file = open(path, "w+b")

    def tail(self, lines=150):
        self.file.flush()
        with open(self.path, "rb") as f:
            text = f.read().decode("utf-8", errors="replace").splitlines()
        return "\n".join(text[-lines:])


def cpu_seconds(prefix, model_pid):
    """CPU time used so far by the model and every process of the Wine session."""
    total = 0.0
    tick = os.sysconf("SC_CLK_TCK")
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if int(pid) != model_pid:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    if f"WINEPREFIX={prefix}".encode() not in environ.read().split(b"\0"):
                        continue
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / tick
        except (OSError, ValueError, IndexError):
            continue
    return total


def install(session, args):
    drivers = session.c_path("windows/system32/drivers")
    os.makedirs(drivers, exist_ok=True)
    shutil.copy(args.files["bus"], os.path.join(drivers, "OrvixBus.sys"))
    inf_dir = session.c_path("windows/inf")
    os.makedirs(os.path.join(inf_dir, "amd64"), exist_ok=True)
    with open(os.path.join(inf_dir, "orvix.inf"), "w", encoding="ascii", newline="") as inf:
        inf.write(test_inf(args.inf))
    # Where the INF's NTamd64 source-disk entry finds the driver, and beside the INF, where
    # Wine's setup API looks: it reads only the undecorated [SourceDisksNames].
    for folder in ("amd64", ""):
        shutil.copy(args.files["driver"], os.path.join(inf_dir, folder, "ORVIX.sys"))
    session.run(args.files["devices"], "add-as", BUS_INSTANCE, r"Root\OrvixBus")
    session.import_registry([
        f"[{SERVICES}\\OrvixBus]",
        '"Type"=dword:00000001', '"Start"=dword:00000002', '"ErrorControl"=dword:00000001',
        '"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\OrvixBus.sys"', '"DisplayName"="Orvix test bus"',
        "", f"[{ap.ENUM_KEY}\\{BUS_INSTANCE}]", '"Service"="OrvixBus"'])
    # Nothing of this session may survive: the next one must boot the stack afresh.
    subprocess.run([session.wineserver, "-k"], env=session.env, timeout=60)
    subprocess.run([session.wineserver, "-w"], env=session.env, timeout=60)


def test(session):
    args = test.args
    install(session, args)
    bus_log = Logs(os.path.join(session.root, "bus.log"))
    driver_log = Logs(os.path.join(session.root, "driver.log"))
    channel = session.c_path("orvixbus")
    os.makedirs(channel)
    fifos = []
    for name in ("requests", "replies"):
        os.mkfifo(os.path.join(channel, name))
        # Opened for reading and writing, which never blocks, so that the bus's open does not
        # wait for the model inside wineserver.
        fifos.append(os.open(os.path.join(channel, name), os.O_RDWR))
    model = subprocess.Popen([args.model], stdin=fifos[0], stdout=fifos[1], stderr=bus_log.file)
    for fd in fifos:
        os.close(fd)
    # A persistent wineserver keeps services.exe, and with it the drivers, for the whole session.
    subprocess.run([session.wineserver, "-p"], env=session.env, timeout=30, check=True)
    passed = False
    try:
        # The first program of the session starts services.exe, which loads the bus; its error
        # output, inherited by the process hosting both drivers, is the driver's log.
        boot = subprocess.run([session.wine_path, "wineboot"], env=dict(session.env, WINEDEBUG=DRIVER_DEBUG),
                              stdout=subprocess.DEVNULL, stderr=driver_log.file, timeout=120)
        print(f"wineboot exited with {boot.returncode}")
        started = time.monotonic()
        left = DEADLINE - (time.monotonic() - test.started)
        code, output = session.wine(args.files["program"], PORT, timeout=max(left, 30))
        print(output, end="")
        print(f"comm_test exited with {code} after {time.monotonic() - started:.1f} s")
        verdict = [line for line in output.splitlines() if line.startswith("VERDICT:")]
        passed = code == 0 and verdict and "passed" in verdict[0]
        print(f"CPU time of Wine and the model so far: {cpu_seconds(session.prefix, model.pid):.1f} s")
        # A fault in the process hosting the drivers is a finding even after the last check;
        # where each module was loaded tells whose code faulted.
        crashes, modules = [], {}
        with open(driver_log.path, encoding="utf-8", errors="replace") as log:
            for line in log:
                if "WineCompat:" in line:
                    print("Wine gap met: " + line.rstrip().split("WineCompat: ", 1)[1])
                if "Unhandled" in line:
                    crashes.append(line.rstrip())
                loaded = re.search(r'Loaded L"([^"]*)" at ([0-9A-Fa-f]+)', line)
                if loaded:
                    modules[loaded.group(2)] = loaded.group(1).rsplit("\\", 1)[-1]
        if crashes:
            passed = False
            print("FAIL: the process hosting the drivers faulted")
            for line in crashes:
                print("driver process: " + line)
            print("modules by load address: " + ", ".join(f"{a} {n}" for a, n in sorted(modules.items())))
        with open(bus_log.path, encoding="utf-8", errors="replace") as log:
            for line in log:
                if "detached after" in line:
                    print(line.rstrip())
    finally:
        if not passed:
            print("---- driver log (Wine's kernel, the bus and ORVIX.sys) ----")
            print(driver_log.tail())
            print("---- bus log (the adapter model's view of every URB) ----")
            print(bus_log.tail())
        model.kill()
        model.wait(timeout=30)
    assert passed, "the comm test under Wine failed"


if __name__ == "__main__":
    test.args = arguments()
    test.started = time.monotonic()
    wine_session.main(test)
