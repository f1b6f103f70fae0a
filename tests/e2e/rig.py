"""Runs the real Windows programs of the build tree under its Wine prefix.

A test starts Tolvar-Setup.exe the way a user would (through spawn.exe, which
calls CreateProcessW with the exact command line), optionally with the UI
probe watching the window, and then looks at four things: the exit code, the
files on disk, the status lines and message boxes the user saw, and (with the
fake GitHub) the request log.

    import rig
    r = rig.Rig()
    r.reset()
    run = r.run(r.setup_exe, "--tag 1.0", probe=True)
    run.code, run.statuses(), run.boxes, run.records

Every Wine process writes to files, never to a pipe: explorer.exe and
services.exe would keep a pipe open and the read would never end.
"""

import atexit
import glob
import hashlib
import json
import os
import shutil
import subprocess
import time
import unittest

import stop_at

BUILD_DIR = os.environ.get("TOLVAR_BUILD_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", "build"))

# Which unpacker the suites meet: "tar", Windows' tar.exe (the real archiver)
# in system32 as on Windows 10 and 11; "none", no tar.exe at all, as in every
# Wine and Proton prefix, where the setup unpacks in-process.
UNPACKER = os.environ.get("TOLVAR_TEST_UNPACKER", "tar")
if UNPACKER not in ("tar", "none"):
    raise SystemExit("TOLVAR_TEST_UNPACKER must be tar or none, not %r" % UNPACKER)


def win_path(unix_path):
    """The path as Windows programs under Wine see it (drive Z: is /)."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_json_lines(path, growing=False):
    """The records of a JSON-lines file (none when it does not exist). A line
    that is not JSON is a fault of the program that wrote it and fails the
    test. growing=True: the file is still being written, so a last line
    without its newline is left for a later read."""
    out = []
    if not os.path.exists(path):
        return out
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\n")
    if growing:
        lines.pop()  # empty after a whole last line, else one being written
    for n, line in enumerate(lines, 1):
        if not line.strip():
            continue
        try:
            out.append(json.loads(line.decode("utf-8")))
        except ValueError:
            raise AssertionError("%s, line %d is no JSON: %r" % (path, n, line[:200]))
    return out


class Run:
    """What one start of a program left behind."""

    def __init__(self, code, events, records, elapsed, tar_runs=(), missed=None):
        self.code = code
        self._events = events     # the probe's timeline
        self.missed = missed      # why the probe saw no window, when it saw none
        self.records = records    # what recorder.exe stand-ins wrote
        self.elapsed = elapsed
        self.tar_runs = list(tar_runs)  # each tar.exe run: cmdline, cwd, code

    @property
    def events(self):
        """The probe's timeline. A window that closed before the probe found
        it (a run that builds nothing can end in 100 ms) leaves none: a test
        that reads what the user saw then fails, one that does not goes on."""
        if self.missed:
            raise AssertionError(self.missed)
        return self._events

    def statuses(self):
        """Status lines in the order they were seen, repeats folded."""
        seen = []
        for e in self.events:
            text = e.get("text") if e.get("ev") in ("status", "window") else None
            if text is not None and (not seen or seen[-1] != text):
                seen.append(text)
        return seen

    def bars(self):
        """Bar states in order: {"marquee": bool, "pos": int, ...}."""
        return [e for e in self.events if e.get("ev") == "bar"]

    @property
    def boxes(self):
        return [e for e in self.events if e.get("ev") == "msgbox"]

    def __repr__(self):
        if self.missed:
            return "Run(code=%r, probe saw no window, records=%r)" % (self.code, self.records)
        return "Run(code=%r, statuses=%r, boxes=%r, records=%r)" % (
            self.code, self.statuses(), [b.get("text") for b in self.boxes], self.records)


class Holder:
    """hold.exe holding files and folders open without delete sharing, as a
    virus scanner or a running game does (Rig.hold)."""

    def __init__(self, proc, log):
        self.proc = proc
        self.log = log

    def events(self, ev=None):
        return [e for e in read_json_lines(self.log, growing=True) if ev is None or e.get("ev") == ev]

    def wait_for(self, ev, count=1, timeout=60):
        """Until count events ev were logged; fails the test otherwise."""
        deadline = time.monotonic() + timeout
        while len(self.events(ev)) < count:
            if self.proc.poll() is not None and len(self.events(ev)) < count:
                raise AssertionError("hold.exe ended (%s) before %d %r: %r"
                                     % (self.proc.returncode, count, ev, self.events()))
            if time.monotonic() > deadline:
                raise AssertionError("hold.exe logged no %d %r within %d s: %r" % (count, ev, timeout, self.events()))
            time.sleep(0.02)

    def finish(self, timeout=60):
        """Until hold.exe has let go of everything and ended; its exit code
        (0: every path was held and let go)."""
        try:
            return self.proc.wait(timeout=timeout)
        finally:
            self.proc._log.close()

    def stop(self):
        """Ends it as a crash would: everything it held is let go."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)
        if not self.proc._log.closed:
            self.proc._log.close()


class Rig:
    def __init__(self, build_dir=BUILD_DIR, name=None):
        self.build_dir = build_dir
        self.bin = os.path.join(build_dir, "bin")
        self.wine_run = os.path.join(build_dir, "wine-run")
        self.prefix = os.path.join(build_dir, "wineprefix")
        self.setup_exe = os.path.join(self.bin, "Tolvar-Setup.exe")
        self.scratch = os.path.join(build_dir, "e2e-scratch", name or "default")
        self._seq = 0
        os.makedirs(self.scratch, exist_ok=True)
        if os.environ.get("TOLVAR_SANDBOX") == "1":
            # Sockets belong to the wineserver's network namespace: the
            # prefix's wineserver must run inside this sandbox to reach the
            # fake GitHub, and must not outlive it.
            self.stop_wineserver()
            atexit.register(self.stop_wineserver)
        # The first call creates the prefix, the wineserver and the display.
        self.wine(os.path.join(self.bin, "spawn.exe"), timeout=300)
        self.with_tar = UNPACKER == "tar"
        self.prepare_unpacker()

    def prepare_unpacker(self, logged=True):
        """The system folder as the suite's platform has it: with tar.exe
        (install_tar) or without any (remove_tar)."""
        if self.with_tar:
            self.install_tar(logged)
        else:
            self.remove_tar()

    def install_tar(self, logged=True):
        """Puts Windows' tar.exe where Windows keeps it (Wine has none): the
        real archiver, built from Debian's libarchive source by
        scripts/build-archiver. logged: tar.exe is the wrapper that logs
        each run (Run.tar_runs) and hands it unchanged to the archiver
        beside it, bsdtar.exe; else tar.exe is the archiver itself, one
        process as on Windows, for suites that kill it at chosen moments."""
        system32 = os.path.join(self.prefix, "drive_c", "windows", "system32")
        real = os.path.join(self.build_dir, "archiver", "bsdtar.exe")
        if not os.path.exists(real):
            raise AssertionError("%s is missing: run scripts/build (or scripts/build-archiver %s)"
                                 % (real, self.build_dir))
        tar = os.path.join(self.bin, "tar.exe") if logged else real
        for source, name in ((real, "bsdtar.exe"), (tar, "tar.exe")):
            target = os.path.join(system32, name)
            if not os.path.exists(target) or read_bytes(target) != read_bytes(source):
                shutil.copyfile(source, target)

    def remove_tar(self):
        """No archiver in the system folder, as in a Wine or Proton prefix."""
        for name in ("tar.exe", "bsdtar.exe"):
            target = os.path.join(self.prefix, "drive_c", "windows", "system32", name)
            if os.path.exists(target):
                os.remove(target)

    def bsdtar(self, zip_unix, folder_unix):
        """Unpacks a zip with the real archiver, run by hand under Wine:
        the tree Windows' tar.exe writes, to hold the setup's own against."""
        real = os.path.join(self.build_dir, "archiver", "bsdtar.exe")
        os.makedirs(folder_unix, exist_ok=True)
        code = self.wine(real, "-xf", win_path(zip_unix), "-C", win_path(folder_unix), stem="bsdtar")
        if code != 0:
            raise AssertionError("the archiver failed on %s (%d)" % (zip_unix, code))

    def kill_images(self, *images):
        """Ends every process of this prefix whose program is one of images,
        as a crash or Task Manager would. taskkill first; then, at the Unix
        level, any that taskkill could not see: under Wine a program whose
        parent was killed while starting it can hang in its start, unlisted."""
        for image in images:
            self.wine("C:\\windows\\system32\\taskkill.exe", "/f", "/im", image)
        names = tuple("\\" + image.lower() for image in images)
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    env = f.read().split(b"\0")
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    program = f.read().split(b"\0")[0].decode(errors="replace").lower()
            except OSError:
                continue
            if ("WINEPREFIX=" + self.prefix).encode() in env and program.endswith(names):
                try:
                    os.kill(int(pid), 9)
                except OSError:
                    pass

    def stop_wineserver(self):
        env = dict(os.environ, WINEPREFIX=self.prefix)
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    # -- the prefix ---------------------------------------------------------
    @property
    def local_appdata(self):
        """Unix path of the user's local application data folder."""
        users = [u for u in glob.glob(os.path.join(self.prefix, "drive_c", "users", "*"))
                 if os.path.basename(u) != "Public"]
        return os.path.join(users[0], "AppData", "Local")

    @property
    def base(self):
        """The default install base folder, %LOCALAPPDATA%\\Tolvar."""
        return os.path.join(self.local_appdata, "Tolvar")

    def reset(self):
        """Forgets every install and the scratch folder of this suite."""
        shutil.rmtree(self.base, ignore_errors=True)
        shutil.rmtree(self.scratch, ignore_errors=True)
        os.makedirs(self.scratch)

    def path(self, *parts):
        p = os.path.join(self.scratch, *parts)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        return p

    # -- running ------------------------------------------------------------
    def _next(self, stem):
        self._seq += 1
        return os.path.join(self.scratch, "run%03d-%s" % (self._seq, stem))

    def wine(self, exe, *args, env=None, timeout=120, stem="wine"):
        """Runs a Windows program to its end; returns its exit code."""
        base = self._next(stem)
        self._last_base = base
        os.makedirs(os.path.dirname(base), exist_ok=True)
        with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
            try:
                p = subprocess.run([self.wine_run, exe] + list(args), stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err, env=self._env(env), timeout=timeout)
            except subprocess.TimeoutExpired:
                # Whatever it started would go on running into the next test.
                self.stop_wineserver()
                raise AssertionError("%s did not end within %d s" % (os.path.basename(exe), timeout))
        return p.returncode

    def _env(self, extra):
        env = dict(os.environ)
        env["TOLVAR_BUILD_DIR"] = self.build_dir
        for k in ("TOLVAR_SETUP_BASE", "TOLVAR_SETUP_LIST", "TOLVAR_TEST_RECORD", "TOLVAR_TEST_HOLD_MS",
                  "TOLVAR_TEST_TAR_LOG", "TOLVAR_TEST_TAR_DELAY_MS"):
            env.pop(k, None)
        env.update(extra or {})
        return env

    def hold(self, *paths, settle_ms=None, release_after=None, ms=None):
        """Starts hold.exe on the Unix paths (each held as soon as it exists)
        and returns its Holder once it watches. settle_ms: each is let go
        that long after its contents last changed; release_after (a Unix
        path) and ms: all are let go ms after it exists; neither: held until
        Holder.stop()."""
        base = self._next("hold")
        args = ["--log", win_path(base + ".jsonl")]
        if settle_ms is not None:
            args += ["--settle", str(settle_ms)]
        if release_after is not None:
            args += ["--release-after", win_path(release_after), "--ms", str(ms)]
        f = open(base + ".log", "wb")
        # Like the probe, it polls: it must get the CPU ahead of the setup.
        p = subprocess.Popen(["nice", "-n", "-10", self.wine_run, os.path.join(self.bin, "hold.exe")] + args
                             + [win_path(q) for q in paths], stdin=subprocess.DEVNULL, stdout=f, stderr=f,
                             env=self._env(None))
        p._log = f
        holder = Holder(p, base + ".jsonl")
        holder.wait_for("ready")
        return holder

    def start_probe(self, out, options=()):
        probe = os.path.join(self.bin, "probe.exe")
        f = open(out + ".log", "wb")
        # The probe polls: it must get the CPU ahead of the programs it
        # watches, and Wine does not map Windows priorities to Unix ones.
        p = subprocess.Popen(["nice", "-n", "-10", self.wine_run, probe, "--out", win_path(out)]
                             + list(options), stdin=subprocess.DEVNULL, stdout=f, stderr=f,
                             env=self._env(None))
        p._log = f
        return p

    def _wait_probe_started(self, probe_proc, out, timeout=30):
        """Until the probe has written its first line: from then on it
        watches, so the window cannot come before it."""
        deadline = time.monotonic() + timeout
        while not read_json_lines(out, growing=True):
            if probe_proc.poll() is not None:
                raise AssertionError("probe.exe ended (%s) before it started watching: %s"
                                     % (probe_proc.returncode, out + ".log"))
            if time.monotonic() > deadline:
                probe_proc.kill()
                probe_proc.wait()
                raise AssertionError("probe.exe wrote nothing within %d s: %s" % (timeout, out + ".log"))
            time.sleep(0.02)

    def _end_probe(self, probe_proc, out, whole):
        """The probe's timeline once it has ended. whole: the program it
        followed did run, so a probe that timed out, could not do something
        or exited otherwise than 0 has not seen all of it: the test fails."""
        try:
            # With no program to follow the probe would wait for its timeout.
            probe_proc.wait(timeout=30 if whole else 0)
        except subprocess.TimeoutExpired:
            probe_proc.kill()
            probe_proc.wait()
        probe_proc._log.close()
        events = read_json_lines(out, growing=not whole)
        if not whole:
            return events, None
        bad = [e for e in events if e.get("ev") in ("timeout", "error")]
        if bad and all(e.get("reason") == "no window or message box appeared" for e in bad) \
                and not any(e.get("ev") in ("window", "status", "msgbox") for e in events):
            return events, "probe.exe saw no window of the run: %s" % out
        if probe_proc.returncode != 0 or bad:
            raise AssertionError("probe.exe exited %s with %r: %s"
                                 % (probe_proc.returncode, bad or events[-1:], out))
        return events, None

    def wait_programs_gone(self, record_variable, timeout=30):
        """Until no program started with this TOLVAR_TEST_RECORD value runs
        any more, so that all of them have written what they write."""
        variable = "TOLVAR_TEST_RECORD=" + record_variable
        deadline = time.monotonic() + timeout
        while stop_at.programs_with(self.prefix, variable):
            if time.monotonic() > deadline:
                raise AssertionError("programs of the run still running after %d s: %r"
                                     % (timeout, stop_at.programs_with(self.prefix, variable)))
            time.sleep(0.05)

    def run(self, exe, args="", cwd=None, env=None, probe=True, probe_options=(),
            timeout=120, raw_cmdline=None, expect_records=0):
        """Starts exe as a user would, with the argument text args.

        raw_cmdline replaces the whole command line (program path included).
        With probe=True the UI probe follows the window and presses OK on
        message boxes; its timeline lands in Run.events, and a probe that
        timed out or reported an error fails the run. expect_records waits
        (up to 10 s) for that many records of the programs the run started,
        which go on after it has ended; the records are read once every
        program the run started has ended, so their count is the whole one.
        """
        base = self._next(os.path.basename(exe))
        cmdline = raw_cmdline if raw_cmdline is not None else '"%s" %s' % (win_path(exe), args)
        if raw_cmdline is None and not args:
            cmdline = '"%s"' % win_path(exe)
        with open(base + ".cmdline", "w", encoding="utf-8") as f:
            f.write(cmdline)
        record = base + ".records.jsonl"
        env = dict(env or {})
        env.setdefault("TOLVAR_TEST_RECORD", win_path(record))
        tar_log = base + ".tar.jsonl"
        env.setdefault("TOLVAR_TEST_TAR_LOG", win_path(tar_log))

        probe_proc = None
        if probe:
            opts = list(probe_options)
            if "--timeout-ms" not in opts:
                opts += ["--timeout-ms", str(int(timeout * 1000))]
            probe_proc = self.start_probe(base + ".probe.jsonl", opts)
            self._wait_probe_started(probe_proc, base + ".probe.jsonl")
        spawn_args = [win_path(base + ".cmdline")]
        if cwd:
            spawn_args.append(win_path(cwd))
        started = time.monotonic()
        code = self.wine(os.path.join(self.bin, "spawn.exe"), *spawn_args, env=env,
                         timeout=timeout, stem="spawn")
        elapsed = time.monotonic() - started
        events, missed = [], None
        if probe_proc:
            events, missed = self._end_probe(probe_proc, base + ".probe.jsonl", whole=code != 200)
        if code == 200:  # spawn.exe could not start the program: say why
            with open(self._last_base + ".err", "rb") as f:
                raise AssertionError("could not start %s: %s" % (exe, f.read().decode(errors="replace")))
        deadline = time.monotonic() + 10
        records = read_json_lines(record, growing=True)
        while len(records) < expect_records and time.monotonic() < deadline:
            time.sleep(0.1)
            records = read_json_lines(record, growing=True)
        # The program has ended; what it started may still be on its way. A
        # count of records means something only once they have all ended.
        self.wait_programs_gone(env["TOLVAR_TEST_RECORD"])
        records = read_json_lines(record)
        return Run(code, events, records, elapsed, read_json_lines(tar_log), missed)


def tree(root):
    """Every file and folder below root as {relative path: bytes or None}."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            out[os.path.relpath(os.path.join(dirpath, d), root)] = None
        for fn in filenames:
            p = os.path.join(dirpath, fn)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root)] = f.read()
    return out



def hashes(root):
    """Every file below root with its SHA-256, every folder with None."""
    return {path: (hashlib.sha256(data).hexdigest() if data is not None else None)
            for path, data in tree(root).items()}

class GitHubSuite(unittest.TestCase):
    """A suite of runs against one fake GitHub; every test starts from no
    install and a fake GitHub as it started: no release, no file, no
    scripted fault, an empty request log."""

    suite_name = None  # names the scratch folder

    @classmethod
    def setUpClass(cls):
        import fakegithub
        cls.r = Rig(name=cls.suite_name)
        cls.gh = fakegithub.FakeGitHub()
        cls.gh.start()

    @classmethod
    def tearDownClass(cls):
        cls.gh.stop()

    def setUp(self):
        self.r.reset()
        self.r.prepare_unpacker()
        self.gh.reset()
