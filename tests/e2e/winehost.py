"""A throwaway 64-bit Wine machine for running Windows builds for real: a
fresh prefix, a display from Xvfb, a persistent wineserver, and helpers to
start programs with exact command lines, set up and read back the registry,
and read the events that the stand-in programs log."""

import contextlib
import json
import os
import shutil
import subprocess
import tempfile
import time

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
XVFB = "/usr/bin/Xvfb"
INSTALL_HINT = ("apt-get install --no-install-recommends wine wine64 xvfb xauth "
                "(not the 32-bit Wine package: this kernel cannot run it), "
                "or run scripts/install-deps.sh")

DRIVE_ICONS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\DriveIcons"
REG_SZ = 1
REG_EXPAND_SZ = 2
REG_DWORD = 4


class WineMissing(Exception):
    pass


def windows_path(path):
    """The Wine path of a Linux path, through the Z: drive."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineHost:
    def __init__(self, tools_dir, keep=False):
        for program in (WINE64, WINESERVER, XVFB):
            if not os.access(program, os.X_OK):
                raise WineMissing(f"{program} is missing: {INSTALL_HINT}")
        self.tools = os.path.abspath(tools_dir)
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix="uninstall-wine-")
        self.prefix = os.path.join(self.root, "prefix")
        self.events_path = os.path.join(self.root, "events.log")
        self.xvfb = None
        self.env = None
        self.builtin_msiexec = os.path.join(self.root, "msiexec.builtin")
        self._counter = 0

    # -- lifetime -----------------------------------------------------------

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _start(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            [XVFB, "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "800x600x24"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display:
            number = display.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env = dict(os.environ)
        self.env.update({
            "DISPLAY": ":" + number,
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            # No Mono or Gecko prompts, no menu entries, and the Windows
            # Installer taken from system32 as a native program, so that a
            # stand-in can take its place.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d;msiexec.exe=n",
            "E2E_EVENTS": windows_path(self.events_path),
        })
        self.env.pop("E2E_LINGER_MS", None)
        # One wineserver for the whole run keeps later starts fast.
        os.makedirs(self.prefix)
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
        self.wine(["wineboot", "-i"], timeout=180)
        system32 = os.path.join(self.prefix, "drive_c", "windows", "system32")
        shutil.copyfile(os.path.join(system32, "msiexec.exe"), self.builtin_msiexec)
        self.install_installer_recorder(True)

    def restart_processes(self):
        """Ends every Windows process and starts a fresh wineserver, for a
        clean slate after a case that ran something it cannot stop."""
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=30)
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)

    def close(self):
        if self.env is not None:
            subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    # -- running programs ---------------------------------------------------

    def _output_files(self):
        # Wine's helper processes inherit standard output and error: files,
        # unlike pipes, do not make the caller wait for them.
        self._counter += 1
        base = os.path.join(self.root, f"out{self._counter}")
        return open(base + ".stdout", "wb"), open(base + ".stderr", "wb"), base

    def wine(self, args, timeout=60, env=None):
        stdout, stderr, base = self._output_files()
        with stdout, stderr:
            result = subprocess.run([WINE64] + args, env=env or self.env, stdout=stdout,
                                    stderr=stderr, timeout=timeout)
        with open(base + ".stdout", "rb") as out:
            return result.returncode, out.read()

    def spawn(self, args):
        stdout, stderr, _ = self._output_files()
        with stdout, stderr:
            return subprocess.Popen([WINE64] + args, env=self.env, stdout=stdout, stderr=stderr)

    def tool(self, name):
        return os.path.join(self.tools, name)

    def install_installer_recorder(self, recorder):
        """Puts the stand-in, or Wine's own program, at system32\\msiexec.exe."""
        system32 = os.path.join(self.prefix, "drive_c", "windows", "system32")
        source = self.tool("recorder.exe") if recorder else self.builtin_msiexec
        shutil.copyfile(source, os.path.join(system32, "msiexec.exe"))

    def make_directory(self, name, with_setup=True):
        """A fresh current directory for a run, holding a stand-in setup program."""
        path = os.path.join(self.root, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        if with_setup:
            shutil.copyfile(self.tool("recorder.exe"), os.path.join(path, "USBSetup.exe"))
        return path

    def launch(self, exe, command_line, directory, linger_ms=None, timeout=60):
        """Runs exe with this exact command line (bytes) and waits for it
        alone; returns the launcher's "end" event (exit code, elapsed_ms)."""
        line_file = os.path.join(self.root, "command_line.bin")
        with open(line_file, "wb") as out:
            out.write(command_line)
        env = dict(self.env)
        if linger_ms is not None:
            env["E2E_LINGER_MS"] = str(linger_ms)
        self.wine([self.tool("launcher.exe"), windows_path(exe), windows_path(line_file),
                   windows_path(directory)], timeout=timeout, env=env)
        ends = self.events("launcher", "end")
        if not ends:
            raise RuntimeError(f"launcher did not finish: {self.events()}")
        return ends[-1]

    # -- events -------------------------------------------------------------

    def clear_events(self):
        if os.path.exists(self.events_path):
            os.remove(self.events_path)

    def events(self, who=None, what=None):
        """The logged events, or only those of one program (by file name,
        without regard to case) and of one kind."""
        if not os.path.exists(self.events_path):
            return []
        with open(self.events_path, encoding="ascii") as log:
            events = [json.loads(line) for line in log if line.endswith("\n")]
        return [e for e in events
                if (who is None or e["who"].lower() == who.lower())
                and (what is None or e["what"] == what)]

    def wait_for(self, who, what, timeout=10.0):
        """The first event of that program and kind, or None after timeout."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.events(who, what)
            if found:
                return found[0]
            if time.monotonic() > deadline:
                return None
            time.sleep(0.05)

    @contextlib.contextmanager
    def companion(self, behaviour, title="Nolvex"):
        """A running stand-in companion with a top-level window of this title,
        taking `behaviour` ms over closing or, with "hang", never returning;
        ended afterwards."""
        self.clear_events()
        process = self.spawn([self.tool("companion.exe"), title, behaviour])
        try:
            if self.wait_for("companion", "ready", 20) is None:
                raise RuntimeError("the companion window did not come up")
            yield process
        finally:
            process.kill()
            process.wait()

    # -- registry -----------------------------------------------------------

    def load_registry(self, lines):
        """Applies regtool lines: ("D", path), ("K", path), ("V", path, name, type, bytes)."""
        listing = os.path.join(self.root, "registry.txt")
        with open(listing, "wb") as out:
            for line in lines:
                fields = list(line)
                if fields[0] == "V":
                    fields[3] = str(fields[3])
                    fields[4] = fields[4].hex()
                out.write("\t".join(fields).encode("latin-1") + b"\n")
        code, _ = self.wine([self.tool("regtool.exe"), "load", windows_path(listing)])
        if code != 0:
            raise RuntimeError("regtool load failed")

    def dump_registry(self, path):
        """Everything below path: {"keys": set of paths, "values": {(path, name): (type, bytes)}},
        or None when path does not exist."""
        code, output = self.wine([self.tool("regtool.exe"), "dump", path])
        if code != 0:
            raise RuntimeError("regtool dump failed")
        keys, values = set(), {}
        for raw in output.decode("latin-1").splitlines():
            fields = raw.split("\t")
            if fields[0] == "missing":
                return None
            if fields[0] == "K":
                keys.add(fields[1])
            elif fields[0] == "V":
                data = bytes.fromhex(fields[5])
                assert len(data) == int(fields[4])
                values[(fields[1], fields[2])] = (int(fields[3]), data)
        return {"keys": keys, "values": values}
