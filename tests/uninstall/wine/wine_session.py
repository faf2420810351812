"""A throwaway Wine prefix on its own virtual X display, for the end-to-end tests.

Each test makes its own prefix in a fresh temporary folder, so tests can run side by side.
When Wine, Xvfb or xdotool is missing or Wine cannot boot a prefix, the test is skipped with
the reason (exit code SKIP), never passed.
"""
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77


class Skip(Exception):
    """Wine cannot run here; the test has nothing to test."""


def _find_wineserver():
    for candidate in (shutil.which("wineserver"), "/usr/lib/wine/wineserver",
                      "/usr/lib/wine/wineserver64"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def _decode_wine_string(text):
    """Undoes the escaping of Wine's debug output (debugstr_w)."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x" and re.match(r"[0-9a-fA-F]{4}", text[i + 2:i + 6]):
                out.append(chr(int(text[i + 2:i + 6], 16)))
                i += 6
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def message_texts(trace_path):
    """Texts of the message boxes a program showed, from its +msgbox trace, in order."""
    with open(trace_path, encoding="utf-8", errors="replace") as trace:
        return [_decode_wine_string(m.group(1))
                for m in re.finditer(r'trace:msgbox:MSGBOX_OnInit L"(.*)"\s*$', trace.read(),
                                     re.MULTILINE)]


class WineSession:
    def __init__(self):
        self.wine_path = shutil.which("wine")
        self.wineserver = _find_wineserver()
        for name, path in (("wine", self.wine_path), ("wineserver", self.wineserver),
                           ("Xvfb", shutil.which("Xvfb")), ("xdotool", shutil.which("xdotool"))):
            if not path:
                raise Skip(f"{name} is not installed, so Windows programs cannot run here")
        self.root = tempfile.mkdtemp(prefix="brevel-wine-")
        self.prefix = os.path.join(self.root, "prefix")
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WINEPREFIX", "WINEARCH")}
        self.env.update(WINEPREFIX=self.prefix, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.xvfb = None
        self._runs = 0

    def __enter__(self):
        try:
            self._start_display()
            self._boot()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _start_display(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], 1)
            if ready:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_end)
        if not number.strip():
            raise Skip("Xvfb could not start a virtual display")
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def _boot(self):
        started = time.monotonic()
        try:
            code, output = self.wine("wineboot", "-i", timeout=150)
            subprocess.run([self.wineserver, "-w"], env=self.env, timeout=60)
        except AssertionError:
            raise Skip("Wine cannot start: wineboot did not finish within 150 s")
        if code != 0 or not os.path.isdir(self.c_path("windows/system32")):
            raise Skip(f"Wine cannot start: wineboot -i exited with {code}: "
                       f"{output.strip()[-400:]}")
        # Kept running until close, so that each program started later does not boot the
        # prefix's services again.
        subprocess.run([self.wineserver, "-p"], env=self.env, timeout=30, check=True)
        print(f"Wine prefix ready in {time.monotonic() - started:.1f} s")

    def close(self):
        if self.wineserver and os.path.isdir(self.prefix):
            subprocess.run([self.wineserver, "-k"], env=self.env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
            self.xvfb = None
        shutil.rmtree(self.root, ignore_errors=True)

    def c_path(self, relative):
        """The host path of a file on the prefix's drive C:, e.g. "windows/inf/oem12.INF"."""
        return os.path.join(self.prefix, "drive_c", relative)

    def wine(self, *args, timeout=60):
        """Runs wine with args; returns (exit code, output). The output goes through a file:
        services the program starts outlive it and would hold a pipe open."""
        with tempfile.TemporaryFile(mode="w+", dir=self.root) as output:
            process = subprocess.Popen([self.wine_path, *args], env=self.env, stdout=output,
                                       stderr=subprocess.STDOUT)
            try:
                code = process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                raise AssertionError(f"wine {' '.join(args)} did not finish within {timeout} s")
            output.seek(0)
            return code, output.read()

    def run(self, program, *args, check=True):
        """Runs a console program; returns its output. A failure fails the test."""
        code, output = self.wine(program, *args)
        if check and code != 0:
            raise AssertionError(f"{os.path.basename(program)} {' '.join(args)} exited with "
                                 f"{code}:\n{output}")
        return output

    def import_registry(self, lines):
        """Imports REGEDIT4 lines (strings already escaped) with Wine's reg.exe."""
        path = os.path.join(self.root, f"import{self._runs}.reg")
        self._runs += 1
        with open(path, "w", encoding="ascii", newline="\r\n") as reg:
            reg.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
        self.run("reg", "import", path)

    def key_exists(self, key):
        return self.wine("reg", "query", key)[0] == 0

    def _visible_windows(self, pattern):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern],
                               env=self.env, capture_output=True, text=True, timeout=10)
        return [w for w in found.stdout.split() if w]

    def run_gui(self, program, answer, timeout=90):
        """Runs a GUI program that speaks through message boxes, answering each one.

        answer(caption, text) returns the key to press (an xdotool key name) and may look at
        the prefix while the box is still up. Returns (exit code, [(caption, text), ...]).
        """
        trace_path = os.path.join(self.root, f"msgbox{self._runs}.log")
        self._runs += 1
        env = dict(self.env, WINEDEBUG="-all,+msgbox")
        with open(trace_path, "w") as trace:
            process = subprocess.Popen([self.wine_path, program], env=env,
                                       stdout=subprocess.DEVNULL, stderr=trace)
        shown, answered = [], set()
        deadline = time.monotonic() + timeout
        while process.poll() is None:
            if time.monotonic() > deadline:
                process.kill()
                raise AssertionError(f"{os.path.basename(program)} did not finish within "
                                     f"{timeout} s; message boxes so far: {shown}, "
                                     f"traced: {message_texts(trace_path)}")
            for window in self._visible_windows("^Brevel Uninstall"):
                if window in answered:
                    continue
                texts = message_texts(trace_path)
                if len(texts) <= len(shown):
                    continue  # the box is not initialised yet
                caption = subprocess.run(["xdotool", "getwindowname", window], env=self.env,
                                         capture_output=True, text=True,
                                         timeout=10).stdout.rstrip("\n")
                shown.append((caption, texts[len(shown)]))
                key = answer(caption, texts[len(shown) - 1])
                print(f"message box {caption!r}: {texts[len(shown) - 1]!r} -> {key}")
                time.sleep(0.3)
                subprocess.run(["xdotool", "key", "--window", window, key], env=self.env,
                               capture_output=True, timeout=10, check=True)
                answered.add(window)
            time.sleep(0.1)
        traced = message_texts(trace_path)
        if len(traced) != len(shown):
            raise AssertionError(f"the program showed {traced}, but only {shown} were seen")
        return process.returncode, shown


def main(test):
    """Runs test(session) in a fresh session; maps a skip to exit code SKIP."""
    started = time.monotonic()
    try:
        with WineSession() as session:
            test(session)
    except Skip as reason:
        print(f"SKIPPED: {reason}")
        sys.exit(SKIP)
    print(f"passed in {time.monotonic() - started:.1f} s")
