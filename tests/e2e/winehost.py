"""A throwaway 64-bit Wine machine for running Windows builds for real: a
fresh prefix (with WoW64 for 32-bit programs where the 32-bit Wine package is
installed), a display from Xvfb, a persistent wineserver, and helpers to
start programs with exact command lines, set up and read back the registry,
install and query Windows Installer packages, and read the events that the
stand-in programs log."""

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
WINE32_LOADER = "/usr/lib/wine/wine"
INSTALL_HINT = ("run scripts/install-deps.sh, which installs wine wine64 xvfb xauth "
                "with --no-install-recommends, and the 32-bit Wine package only where "
                "the kernel runs 32-bit programs")

DRIVE_ICONS = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\DriveIcons"
REG_SZ = 1
REG_EXPAND_SZ = 2
REG_DWORD = 4
PRODUCT_CODE = "{6E1F0A47-93C2-4B5D-8E07-2D4C19B8F361}"
PRODUCT_INSTALLED, PRODUCT_UNKNOWN = 5, -1  # MsiQueryProductStateA
# Without a Mono or Gecko prompt or menu entries.
BASE_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
WIXL = "/usr/bin/wixl"
# The sample package is a 32-bit one: Windows puts its files below
# "Program Files (x86)" and its Add/Remove Programs entry in the 32-bit view.
INSTALLED_FOLDER = r"C:\Program Files (x86)\Nolvex"
UNINSTALL_ENTRY = r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + PRODUCT_CODE
PACKAGE_VIEW = 32


class WineMissing(Exception):
    pass


def why_32bit_cannot_run():
    """None where 32-bit Windows programs can run under Wine here, else why not."""
    probe = subprocess.run([os.path.join(TOP, "scripts", "runs-32bit.sh")],
                           stdout=subprocess.PIPE, text=True)
    if probe.returncode != 0:
        return probe.stdout.strip() or "the kernel does not run 32-bit programs"
    if not os.access(WINE32_LOADER, os.X_OK):
        return f"the 32-bit Wine package is not installed ({WINE32_LOADER} is missing)"
    return None


def wait_until(condition, timeout):
    """Whether condition() came true within timeout seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.5)
    return True


def build_sample_package(tools, msi):
    """Builds tests/e2e/package/sample.wxs with wixl around the stand-ins in tools."""
    if not os.access(WIXL, os.X_OK):
        raise WineMissing(f"{WIXL} is missing: {INSTALL_HINT}")
    # wixl takes the files' sources relative to its working directory.
    subprocess.run([WIXL, "-D", "Tools=.", "-o", msi, os.path.join(HERE, "package", "sample.wxs")],
                   cwd=tools, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return msi


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
        self.wow64 = False
        self._counter = 0
        self.last_output = None

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
            # The Windows Installer is taken from system32 (and syswow64) as
            # a native program, so that a stand-in can take its place.
            "WINEDLLOVERRIDES": BASE_DLL_OVERRIDES + ";msiexec.exe=n",
            "E2E_EVENTS": windows_path(self.events_path),
        })
        self.env.pop("E2E_LINGER_MS", None)
        # One wineserver for the whole run keeps later starts fast.
        os.makedirs(self.prefix)
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
        self.wine(["wineboot", "-i"], timeout=300)
        self.wow64 = os.path.isdir(self.windows_folder("syswow64"))
        self.install_installer_recorder()

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
        self.last_output = base
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

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    def installed_folder(self):
        """The sample package's folder, as a Linux path."""
        return self.drive_c(*INSTALLED_FOLDER[3:].split("\\"))

    def windows_folder(self, name):
        return self.drive_c("windows", name)

    def _system_folders(self):
        # A 32-bit process that names system32 gets syswow64: stand in there too.
        return ["system32"] + (["syswow64"] if self.wow64 else [])

    def install_installer_recorder(self):
        """Puts the stand-in at msiexec.exe in the system folders, keeping
        Wine's own program beside it for real_installer()."""
        for folder in self._system_folders():
            installer = os.path.join(self.windows_folder(folder), "msiexec.exe")
            if not os.path.exists(installer + ".wine"):
                os.replace(installer, installer + ".wine")
            shutil.copyfile(self.tool("recorder.exe"), installer)

    @contextlib.contextmanager
    def real_installer(self):
        """Wine's own Windows Installer in the system folders, loaded as Wine
        loads it by default, for the duration; the stand-in afterwards. Wine's
        installer service goes on running after a removal and slows what
        comes next, so every Windows process is restarted after it."""
        saved = self.env
        for folder in self._system_folders():
            installer = os.path.join(self.windows_folder(folder), "msiexec.exe")
            shutil.copyfile(installer + ".wine", installer)
        self.env = dict(saved, WINEDLLOVERRIDES=BASE_DLL_OVERRIDES)
        try:
            yield
        finally:
            self.env = saved
            self.install_installer_recorder()
            self.restart_processes()

    def make_directory(self, name, with_setup=True):
        """A fresh current directory for a run, holding a stand-in setup program."""
        path = os.path.join(self.root, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        if with_setup:
            shutil.copyfile(self.tool("recorder.exe"), os.path.join(path, "USBSetup.exe"))
        return path

    def last_stderr(self):
        """What Wine and the programs of the last run wrote to standard error."""
        with open(self.last_output + ".stderr", "rb") as err:
            return err.read().decode("utf-8", "replace")

    def launch(self, exe, command_line, directory, linger_ms=None, timeout=60, extra_env=None):
        """Runs exe with this exact command line (bytes) in directory (a Linux
        path, or a Windows one such as C:\\...) and waits for it alone;
        returns the launcher's "end" event (exit code, elapsed_ms)."""
        line_file = os.path.join(self.root, "command_line.bin")
        with open(line_file, "wb") as out:
            out.write(command_line)
        env = dict(self.env)
        if linger_ms is not None:
            env["E2E_LINGER_MS"] = str(linger_ms)
        env.update(extra_env or {})
        if directory[1:3] != ":\\":
            directory = windows_path(directory)
        self.wine([self.tool("launcher.exe"), windows_path(exe), windows_path(line_file),
                   directory], timeout=timeout, env=env)
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
    def companion(self, behaviour, title="Nolvex", program=None, mark_drives=""):
        """A running stand-in companion with a top-level window of this title,
        taking `behaviour` ms over closing or, with "hang", never returning;
        ended afterwards. It first writes the package's marked drive-icon
        entries for mark_drives. program: a Windows path to run instead of
        the built stand-in, such as an installed copy."""
        self.clear_events()
        args = [program or self.tool("companion.exe"), title, behaviour]
        process = self.spawn(args + ([mark_drives] if mark_drives else []))
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

    def dump_registry(self, path, view=None):
        """Everything below path: {"keys": set of paths, "values": {(path, name): (type, bytes)}},
        or None when path does not exist; in the 32-bit or 64-bit registry
        view when view is 32 or 64."""
        code, output = self.wine([self.tool("regtool.exe"), "dump", path]
                                 + ([str(view)] if view else []))
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

    # -- Windows Installer ----------------------------------------------------

    def install_package(self, msi):
        """Installs a package silently with Wine's own Windows Installer
        (inside real_installer()); returns msiexec's exit code."""
        code, _ = self.wine(["msiexec", "/i", windows_path(msi), "/qn"], timeout=180)
        return code

    def product_state(self, product_code=PRODUCT_CODE):
        code, output = self.wine([self.tool("regtool.exe"), "product-state", product_code])
        if code != 0:
            raise RuntimeError("regtool product-state failed")
        return int(output.decode("ascii").strip())
