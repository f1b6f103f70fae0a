#!/usr/bin/python3
"""Measures Tolvar-Setup.exe under Wine against the fake GitHub and prints
one table: each figure next to a bare reference program that does the least
the platform needs for the same work, both measured in this run, on this
machine, interleaved, so that the speed of Wine and of the machine cancels
out of the ratio.

  1. download pipeline: http_get + file_sink with its writer thread (write
     and hash beside the receive loop, progress posts to a hidden progress
     window) vs a bare WinHTTP read loop, same URL; and vs a bare loop that
     writes and hashes on a second thread
  2. cache check: file_sha256 vs a bare CNG loop (1 MiB buffer), and the
     host's sha256sum for scale
  3. update cost: bytes and wall time of an update that changes 1 of 8 parts
     vs a fresh install of the same release (the real Tolvar-Setup.exe)
  4. warm start: a Tolvar.exe shim until the installed launcher runs vs a
     bare program that only starts the launcher
  5. size of Tolvar-Setup.exe, and the peak resident memory of a full install
     vs the same window shown by a bare program
  6. a cut link: a 256 MiB part on a link that cuts every answer after
     64 MiB, until installed: attempts, bytes fetched (vs the part's size)
     and time (vs the same install on a link that does not cut)
  7. unpacking: a 256 MiB part (compressible and incompressible files, many
     small ones) unpacked in-process, on a system without tar.exe, vs the
     same part unpacked by tar.exe (the real archiver) in the same prefix;
     and the peak resident memory of the setup unpacking a 1 GiB part
     in-process vs the same setup installing a part of one small file

    /usr/bin/python3 tests/bench/bench.py [--runs N] [--only 1,2,...]
    (as root; TOLVAR_BUILD_DIR=<build> with the bench programs built)

Every figure is the median of its runs with the spread (min-max). A row's
ratio is ours over the reference, in the sense its goal states.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import sandbox  # noqa: E402

sandbox.enter()  # the programs must only ever reach the fake GitHub

import argparse  # noqa: E402
import glob  # noqa: E402
import hashlib  # noqa: E402
import io  # noqa: E402
import json  # noqa: E402
import random  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
import types  # noqa: E402
import zipfile  # noqa: E402

import fakegithub  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

MIB = 1 << 20
DOWNLOAD_SIZE = 256 * MIB
HASH_SIZE = 256 * MIB
PART_SIZE = 16 * MIB
PART_COUNT = 8
CHANGED_PART = 5          # 1-based: the part the update changes
WARM_TAG = "9.9"
CUT_SIZE = 256 * MIB
CUT_AFTER = 64 * MIB
UNPACK_SIZE = 256 * MIB
UNPACK_BIG = 1024 * MIB


# -- the server ----------------------------------------------------------------

def _memo_md5():
    """fakegithub's hashlib with md5 remembered per asset.

    The fake storage hashes an asset for its ETag on every request: for the
    256 MiB asset that is ~0.5 s of server time before the first byte, the
    same for both sides, which would pull the download ratio towards 1.
    The assets are immutable bytes, so the digest is computed once."""
    memo = {}

    def md5(data=b""):
        if len(data) < MIB:
            return hashlib.md5(data)
        key = (id(data), len(data))
        if key not in memo:
            memo[key] = (data, hashlib.md5(data))   # keep data alive: ids stay unique
        return memo[key][1].copy()
    shim = types.SimpleNamespace(**{k: getattr(hashlib, k) for k in dir(hashlib)
                                    if not k.startswith("__")})
    shim.md5 = md5
    return shim


fakegithub.hashlib = _memo_md5()


def random_bytes(n, seed):
    """n bytes that do not compress, the same for the same seed."""
    rnd = random.Random(seed)
    step = 16 * MIB   # randbytes takes at most 2**31 bits at a time
    return b"".join(rnd.randbytes(min(step, n - i)) for i in range(0, n, step))


def stored_zip(files):
    """A zip that stores its entries as they are: random data does not
    compress, and deflating 16 MiB parts would only slow the bench down."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        for name, data in sorted(files.items()):
            z.writestr(name, data)
    return buf.getvalue()


class StoredPart(releases.Part):
    """A part in a folder of its own (Tolvar\\<folder>), so that an update can
    carry it over, zipped without compression."""

    def __init__(self, file, folder, files):
        self.file = file
        self.dir = "Tolvar"
        self.from_ = folder
        self.to = folder
        self.files = files
        self.data = stored_zip(files)
        self.sha256 = hashlib.sha256(self.data).hexdigest()
        self.size = len(self.data)
        self.url = None


def release_parts(bin_dir, tag, base_parts=None, changed=None):
    """Eight parts of 16 MiB: the game folder (bin, with the recorder as the
    game) and seven data folders. With base_parts, every part but `changed`
    is the very same zip under this release's name."""
    with open(os.path.join(bin_dir, "recorder.exe"), "rb") as f:
        game = f.read()
    parts = []
    for k in range(1, PART_COUNT + 1):
        name = "Tolvar-p%d-%s.zip" % (k, tag)
        if base_parts and k != changed:
            old = base_parts[k - 1]
            p = StoredPart.__new__(StoredPart)
            p.__dict__.update(old.__dict__)
            p.file = name
        else:
            folder = "bin" if k == 1 else "p%d" % k
            files = {"%s/blob-%d.bin" % (folder, k): random_bytes(PART_SIZE, "%s/%d" % (tag, k))}
            if k == 1:
                files["bin/tolvar-game.exe"] = game
            p = StoredPart(name, folder, files)
        parts.append(p)
    return parts


# -- measuring -----------------------------------------------------------------

def stats(values):
    return statistics.median(values), min(values), max(values)


def interleaved(n, *steps):
    """Runs the steps n times each, alternating which goes first."""
    for i in range(n):
        order = steps if i % 2 == 0 else tuple(reversed(steps))
        for step in order:
            step()


def smaps_by_mapping(pid):
    """Resident KiB of a process by what is mapped: the file's name, or
    [heap], [stack], [anon] (Wine's Windows heaps and stacks are anonymous)."""
    out = {}
    name = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            head = line.split(None, 5)
            if head and "-" in head[0] and len(head) >= 5 and not head[0].endswith(":"):
                name = os.path.basename(head[5].strip()) if len(head) > 5 else "[anon]"
                name = name or "[anon]"
            elif line.startswith("Rss:"):
                out[name] = out.get(name, 0) + int(line.split()[1])
    return out


class PeakWatch(threading.Thread):
    """The peak resident memory (VmHWM) of the Linux process that runs a
    Windows program, polled every 20 ms while it lives.

    Wine's GetProcessMemoryInfo does not track the peak, so it is read from
    /proc: the process is the one of this sandbox's network namespace and
    this prefix whose command line starts with the program's path. With
    smaps=True it also keeps the split by mapping (smaps_by_mapping) from
    the moment the resident size was highest."""

    def __init__(self, exe, prefix, smaps=False):
        super().__init__(daemon=True)
        self.needle = os.path.basename(exe).lower().encode()
        self.prefix_env = b"WINEPREFIX=" + prefix.encode()
        self.netns = os.readlink("/proc/self/ns/net")
        self.smaps = smaps
        self.peak_kib = None
        self.top_rss = 0
        self.split = None
        self.pid = None
        self.done = threading.Event()
        self.start()

    def _find(self, ended):
        for name in os.listdir("/proc"):
            if not name.isdigit() or int(name) in ended:
                continue
            try:
                with open("/proc/%s/cmdline" % name, "rb") as f:
                    first = f.read().split(b"\0")[0].lower()
                if not first.endswith(self.needle):
                    continue
                if os.readlink("/proc/%s/ns/net" % name) != self.netns:
                    continue
                with open("/proc/%s/environ" % name, "rb") as f:
                    if self.prefix_env not in f.read().split(b"\0"):
                        continue
            except OSError:
                continue
            return int(name)
        return None

    def run(self):
        ended = set()
        while not self.done.is_set():
            if self.pid is None:
                self.pid = self._find(ended)
            if self.pid is not None:
                try:
                    rss = 0
                    with open("/proc/%d/status" % self.pid) as f:
                        for line in f:
                            if line.startswith("VmHWM:"):
                                self.peak_kib = max(self.peak_kib or 0, int(line.split()[1]))
                            elif line.startswith("VmRSS:"):
                                rss = int(line.split()[1])
                    if self.smaps and rss > self.top_rss:
                        split = smaps_by_mapping(self.pid)
                        # A process that is exiting lists only part of its
                        # mappings: such a reading is no split of its peak.
                        if sum(split.values()) >= 0.95 * rss:
                            self.top_rss = rss
                            self.split = split
                except OSError:
                    # A read can fail while Wine execs its way up (same pid,
                    # the program's path first on the command line): only a
                    # process that is gone has ended, and its last reading
                    # was its peak. The watch goes on for another match.
                    if not os.path.exists("/proc/%d" % self.pid):
                        ended.add(self.pid)
                        self.pid = None
            time.sleep(0.02)

    def stop(self):
        self.done.set()
        self.join(timeout=5)
        return self.peak_kib


class Bench:
    def __init__(self, runs, only):
        self.runs = runs
        self.only = only
        self.r = rig.Rig(name="bench")
        self.r.reset()
        self.bin = self.r.bin
        self.rows = []
        self.notes = []
        self.failures = []

    def exe(self, name):
        return os.path.join(self.bin, name)

    def drive(self, exe, *args, env=None, timeout=300):
        """Runs a bench program that reports to OUT.json; returns the report."""
        out = self.r.path("report-%s.json" % os.path.splitext(exe)[0])
        if os.path.exists(out):
            os.remove(out)
        code = self.r.wine(self.exe(exe), rig.win_path(out), *args, env=env, timeout=timeout,
                           stem=os.path.splitext(exe)[0])
        try:
            with open(out) as f:
                rep = json.load(f)
        except (OSError, ValueError):
            raise RuntimeError("%s %s: exit code %d and no report" % (exe, " ".join(args), code))
        if not rep.get("ok"):
            raise RuntimeError("%s %s: exit code %d, %r" % (exe, " ".join(args), code, rep))
        return rep

    def row(self, figure, ours, ref, ratio, goal, met):
        self.rows.append((figure, ours, ref, ratio, goal, met))

    # -- 1. download pipeline ------------------------------------------------
    def download(self, gh):
        data = random_bytes(DOWNLOAD_SIZE, "download")
        gh.add_release("bench-dl", {"blob.bin": data}, latest=False)
        url = gh.download_url("blob.bin", "bench-dl")
        want = hashlib.sha256(data).hexdigest()
        target = rig.win_path(self.r.path("download.bin"))
        ours, ref, two, ours_cpu, ref_cpu, ref_chunks = [], [], [], [], [], []

        def run_ours():
            rep = self.drive("bench_download.exe", url, str(len(data)), target)
            if rep["sha256"] != want:
                raise RuntimeError("bench_download: wrong sha256 %s" % rep["sha256"])
            ours.append(len(data) / rep["s"] / MIB)
            ours_cpu.append(rep["cpu_s"])

        def run_ref():
            rep = self.drive("bare_download.exe", url)
            if rep["bytes"] != len(data):
                raise RuntimeError("bare_download: %d bytes" % rep["bytes"])
            ref.append(len(data) / rep["s"] / MIB)
            ref_cpu.append(rep["cpu_s"])
            ref_chunks.append(rep["chunks"])

        def run_two():
            rep = self.drive("bare_download.exe", url, target, "--two-threads")
            if rep["bytes"] != len(data):
                raise RuntimeError("bare_download --two-threads: %d bytes" % rep["bytes"])
            two.append(len(data) / rep["s"] / MIB)

        # The network's speed varies most between runs: two more of each.
        interleaved(self.runs + 2, run_ours, run_ref, run_two)
        # Where the time goes: ours with counters (the receive loop's
        # hand-over of the chunks, the writer's WriteFile and CPU time), and
        # the bare loop made to write and hash each chunk in turn, in the read
        # loop (the platform's cost of a pipeline without the second thread).
        prof = self.drive("bench_download.exe", url, str(len(data)), target, "--profile")
        serial = self.drive("bare_download.exe", url, target)
        s_ours, s_ref, s_two = stats(ours), stats(ref), stats(two)
        ratio = s_ours[0] / s_ref[0]
        self.row("1. download 256 MiB (MiB/s)", fmt(s_ours, 1), fmt(s_ref, 1), "%.3f" % ratio,
                 ">= 0.95", ratio >= 0.95)
        self.row("1. vs bare write+hash on 2 threads", fmt(s_ours, 1), fmt(s_two, 1),
                 "%.3f" % (s_ours[0] / s_two[0]), "-", None)
        self.notes.append(
            "1. References: a bare WinHTTP read loop that throws the bytes away, and one that writes "
            "and hashes them on a second thread fed by a ring of 8 x 64 KiB. CPU s a download: ours "
            "%.2f, bare read loop %.2f (medians). Profiled run of ours: %.1f MiB/s, %d chunks of "
            "%d..%d bytes (bare: %d reads); the receive loop spent %.2f s handing chunks over "
            "(longest %.1f ms, waits for a free buffer included); the writer thread %.2f CPU s, "
            "%.2f s in WriteFile, done %.3f s after the last byte came; %d WM_APP_STATUS handled by "
            "the window in %.2f s. Bare loop that writes and hashes each chunk in the read loop, one "
            "after the other: %.1f MiB/s (WriteFile %.2f s, BCryptHashData %.2f s)."
            % (statistics.median(ours_cpu), statistics.median(ref_cpu),
               len(data) / prof["s"] / MIB, prof["chunks"], prof["min_chunk"], prof["max_chunk"],
               statistics.median(ref_chunks), prof["sink_s"], prof["sink_max_ms"],
               prof["writer_cpu_s"], prof["write_s"], prof["drain_s"], prof["posts"],
               prof["wndproc_s"], len(data) / serial["s"] / MIB, serial["write_s"],
               serial["hash_s"]))
        gh.remove_release("bench-dl")

    # -- 2. cache check --------------------------------------------------------
    def hashing(self):
        path = self.r.path("hash.bin")
        with open(path, "wb") as f:
            f.write(random_bytes(HASH_SIZE, "hash"))
        with open(path, "rb") as f:       # into the page cache, and the digest to check
            want = hashlib.file_digest(f, "sha256").hexdigest()
        ours, ref, host = [], [], []

        def run(exe, into):
            rep = self.drive(exe, rig.win_path(path))
            if rep["sha256"] != want:
                raise RuntimeError("%s: wrong sha256 %s" % (exe, rep["sha256"]))
            into.append(HASH_SIZE / rep["s"] / MIB)

        def run_host():
            t0 = time.monotonic()
            out = subprocess.run(["sha256sum", path], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, check=True).stdout
            s = time.monotonic() - t0
            if out.split()[0].decode() != want:
                raise RuntimeError("sha256sum disagrees")
            host.append(HASH_SIZE / s / MIB)

        interleaved(self.runs, lambda: run("bench_hash.exe", ours),
                    lambda: run("bare_hash.exe", ref), run_host)
        os.remove(path)
        s_ours, s_ref, s_host = stats(ours), stats(ref), stats(host)
        ratio = s_ours[0] / s_ref[0]
        self.row("2. sha256 256 MiB (MiB/s)", fmt(s_ours, 1), fmt(s_ref, 1), "%.3f" % ratio,
                 ">= 0.95", ratio >= 0.95)
        self.row("2. vs host sha256sum (MiB/s)", fmt(s_ours, 1), fmt(s_host, 1),
                 "%.3f" % (s_ours[0] / s_host[0]), "-", None)

    # -- 3. and 5. update cost, install memory -----------------------------------
    def update_and_memory(self, gh):
        old = release_parts(self.bin, "1.0")
        new = release_parts(self.bin, "1.1", old, CHANGED_PART)
        releases.publish(gh, "1.0", old, latest=False)
        releases.publish(gh, "1.1", new, latest=False)
        part_ids = {}
        for tag, parts in (("1.0", old), ("1.1", new)):
            names = {p.file for p in parts}
            for a in gh.release(tag).assets:
                if a.name in names:
                    part_ids[str(a.id)] = a.name
        changed = new[CHANGED_PART - 1]
        fresh_s, update_s, fresh_bytes, update_bytes, other_bytes = [], [], [], [], []
        fresh_peak, window_peak = [], []

        def storage_bytes(since):
            parts = other = 0
            for q in gh.requests():
                if q["seq"] <= since or not q["done"]:
                    continue
                if q["host"] in fakegithub.STORAGE_HOSTS and \
                        q["path"].split("?", 1)[0].rsplit("/", 1)[-1] in part_ids:
                    parts += q["sent"]
                else:
                    other += q["sent"]
            return parts, other

        def last_seq():
            reqs = gh.requests()
            return reqs[-1]["seq"] if reqs else 0

        def setup(tag, times, counts, watch=None):
            gh.set_latest(tag)
            since = last_seq()
            w = PeakWatch(self.r.setup_exe, self.r.prefix) if watch is not None else None
            run = self.r.run(self.r.setup_exe, "", probe=False, timeout=300, expect_records=1)
            if w:
                peak = w.stop()
                if peak is None:
                    raise RuntimeError("no VmHWM reading of Tolvar-Setup.exe")
                watch.append(peak / 1024.0)
            if run.code != 0 or len(run.records) != 1:
                raise RuntimeError("setup of %s: %r" % (tag, run))
            with open(os.path.join(self.r.base, "versions", "current.txt")) as f:
                if f.read().strip() != tag:
                    raise RuntimeError("setup of %s did not activate it" % tag)
            times.append(run.elapsed)
            parts, other = storage_bytes(since)
            counts.append(parts)
            return other

        def pair():
            self.r.reset()
            setup("1.0", fresh_s, fresh_bytes, fresh_peak)
            other_bytes.append(setup("1.1", update_s, update_bytes))

        def window():
            w = PeakWatch(self.exe("bare_window.exe"), self.r.prefix)
            self.r.wine(self.exe("bare_window.exe"), "1000", stem="bare_window")
            peak = w.stop()
            if peak is None:
                raise RuntimeError("no VmHWM reading of bare_window.exe")
            window_peak.append(peak / 1024.0)

        interleaved(self.runs, pair, window)

        s_upd, s_fresh = stats(update_s), stats(fresh_s)
        b_upd = stats(update_bytes)
        exact = all(b == changed.size for b in update_bytes)
        self.row("3. update bytes (parts)", fmt(b_upd, 0), "%d (changed part)" % changed.size,
                 "%.3f" % (b_upd[0] / changed.size), "= 1 part", exact)
        ratio = s_upd[0] / s_fresh[0]
        self.row("3. update time vs fresh (s)", fmt(s_upd, 2), fmt(s_fresh, 2), "%.3f" % ratio,
                 "<= 0.25", ratio <= 0.25)
        self.notes.append(
            "3. A fresh install fetched %s bytes of parts (8 of 16 MiB, in stored zips); the update "
            "also fetched %d bytes that are no part (setup list). Times are whole runs through "
            "spawn.exe, wine start-up included."
            % (fmt(stats(fresh_bytes), 0), statistics.median(other_bytes)))
        size = os.path.getsize(self.r.setup_exe)
        self.row("5. Tolvar-Setup.exe (bytes)", str(size), "-", "-", "<= 131072", size <= 131072)
        s_peak, s_win = stats(fresh_peak), stats(window_peak)
        more = s_peak[0] - s_win[0]
        self.row("5. peak RSS install (MiB)", fmt(s_peak, 1), fmt(s_win, 1), "+%.1f MiB" % more,
                 "<= +8 MiB", more <= 8.0)
        self.notes.append("5. Peak RSS: VmHWM of the Wine process of the program, a full install of "
                          "8 x 16 MiB vs bare_window.exe showing the same window for 1 s.")

        # Where the memory goes: the split by mapping at the highest resident
        # size of one more install, of the bare window, and of the bare
        # window that also makes the install's downloads (setup list, eight
        # parts) with the bare WinHTTP loop: the platform's own cost of them.
        self.r.reset()
        gh.set_latest("1.0")
        w = PeakWatch(self.r.setup_exe, self.r.prefix, smaps=True)
        run = self.r.run(self.r.setup_exe, "", probe=False, timeout=300, expect_records=1)
        w.stop()
        install_split = w.split if run.code == 0 else None
        splits = {}
        for key, args in (("window", ["1000"]),
                          ("https", ["1000", gh.download_url("tolvar-setup.txt", "1.0")] +
                           [gh.download_url(p.file, "1.0") for p in old])):
            w = PeakWatch(self.exe("bare_window.exe"), self.r.prefix, smaps=True)
            self.r.wine(self.exe("bare_window.exe"), *args, stem="bare_window")
            w.stop()
            splits[key] = w.split
        if install_split and splits["window"] and splits["https"]:
            self.notes.append(memory_note(install_split, splits["window"], splits["https"]))

        gh.set_latest(None)
        for tag in ("1.0", "1.1"):
            gh.remove_release(tag)

    # -- 4. warm start -----------------------------------------------------------
    def warm_start(self):
        self.r.reset()
        launcher_dir = os.path.join(self.r.base, "versions", WARM_TAG, "Tolvar")
        os.makedirs(launcher_dir)
        shutil.copyfile(self.exe("bench_launcher.exe"), os.path.join(launcher_dir, "Tolvar.exe"))
        with open(os.path.join(self.r.base, "versions", "current.txt"), "w") as f:
            f.write(WARM_TAG)
        game = self.r.path("Game", "bin", "tolvar-game.exe")
        shutil.copyfile(self.exe("bench_launcher.exe"), game)
        folder = os.path.dirname(os.path.dirname(game))
        shim = os.path.join(folder, "Tolvar.exe")
        shutil.copyfile(self.r.setup_exe, shim)
        user = os.path.basename(os.path.dirname(os.path.dirname(self.r.local_appdata)))
        launcher_win = "C:\\users\\%s\\AppData\\Local\\Tolvar\\versions\\%s\\Tolvar\\Tolvar.exe" % (
            user, WARM_TAG)
        lines = {
            "ours": '"%s"' % rig.win_path(shim),
            "bare": '"%s" "%s" --launch "%s"' % (rig.win_path(self.exe("bare_launch.exe")),
                                                launcher_win, rig.win_path(folder)),
        }
        files = {}
        for k, line in lines.items():
            files[k] = self.r.path("warm-%s.cmdline" % k)
            with open(files[k], "w", encoding="utf-8") as f:
                f.write(line)
        env = {"TOLVAR_BENCH_STAMP": rig.win_path(self.r.path("warm.stamp"))}
        got = {"ours": [], "bare": []}

        def run(k):
            rep = self.drive("bench_starter.exe", rig.win_path(files[k]), env=env)
            if rep["code"] != 0:
                raise RuntimeError("warm start %s: exit code %d" % (k, rep["code"]))
            got[k].append(rep["s"] * 1000.0)

        run("ours")   # once unmeasured: the first start of a program reads it from disk
        run("bare")
        for times in got.values():
            times.clear()
        # A start takes tens of milliseconds and the spread is wide on a
        # shared machine: three times the runs.
        interleaved(3 * self.runs, lambda: run("ours"), lambda: run("bare"))
        s_ours, s_ref = stats(got["ours"]), stats(got["bare"])
        ratio = s_ours[0] / s_ref[0]
        self.row("4. warm start (ms)", fmt(s_ours, 1), fmt(s_ref, 1), "%.3f" % ratio, "<= 1.3",
                 ratio <= 1.3)
        # What each middle program loads before it starts the launcher.
        loads = {}
        for k, exe in (("ours", "Tolvar.exe"), ("bare", "bare_launch.exe")):
            self.drive("bench_starter.exe", rig.win_path(files[k]),
                       env=dict(env, WINEDEBUG="+pid,+loaddll"))
            err = max(glob.glob(os.path.join(self.r.scratch, "*bench_starter.err")),
                      key=os.path.getmtime)
            loads[k] = dlls_loaded_by(err, exe)
        self.notes.append("4. DLLs the program in the middle loads (a trace of one more start): "
                          "Tolvar.exe %d (%s); bare_launch.exe %d (%s)."
                          % (len(loads["ours"]), " ".join(loads["ours"]), len(loads["bare"]),
                             " ".join(loads["bare"])))
        self.r.reset()

    # -- 6. a link that cuts every answer ---------------------------------------
    def cut_link(self, gh):
        with open(os.path.join(self.bin, "recorder.exe"), "rb") as f:
            game = f.read()
        part = StoredPart("Tolvar-big-6.0.zip", "bin",
                          {"bin/tolvar-game.exe": game, "bin/big.bin": random_bytes(CUT_SIZE, "cut")})
        releases.publish(gh, "6.0", [part], latest=True)
        asset = gh.release("6.0").asset(part.file).id
        where = "*/%d" % asset
        cut_s, cut_bytes, cut_attempts, plain_s = [], [], [], []

        def install(times, cut):
            self.r.reset()
            gh.clear_faults()
            if cut:
                for host in fakegithub.STORAGE_HOSTS:
                    gh.fault_always(host, where, {"cut": CUT_AFTER})
            gh.clear_log()
            run = self.r.run(self.r.setup_exe, "", probe=False, timeout=600, expect_records=1)
            if run.code != 0 or len(run.records) != 1:
                raise RuntimeError("install on a %s link: %r" % ("cut" if cut else "whole", run))
            times.append(run.elapsed)
            if cut:
                asked = [q for q in gh.requests() if q["host"] in fakegithub.STORAGE_HOSTS and
                         q["path"].split("?", 1)[0].endswith("/%d" % asset)]
                cut_attempts.append(len(asked))
                cut_bytes.append(sum(q["sent"] for q in asked))

        # Each run waits out the retry schedule between its attempts: fewer runs.
        runs = max(1, min(self.runs, 3))
        interleaved(runs, lambda: install(cut_s, True), lambda: install(plain_s, False))
        gh.clear_faults()
        b = stats(cut_bytes)
        ratio = b[0] / part.size
        self.row("6. cut link: bytes until installed", fmt(b, 0), "%d (the part)" % part.size,
                 "%.4f" % ratio, "<= 1.01", max(cut_bytes) <= 1.01 * part.size)
        t_cut, t_plain = stats(cut_s), stats(plain_s)
        self.row("6. cut link: time until installed (s)", fmt(t_cut, 1), fmt(t_plain, 1),
                 "%.2f" % (t_cut[0] / t_plain[0]), "installed", True)
        waits = [3, 6, 12, 20, 30, 45, 60][:max(cut_attempts) - 1]
        self.notes.append(
            "6. A link that cuts every answer after %d MiB: %s requests for the %d MiB part (%d runs, "
            "each request continuing where the last stopped); the time includes the retry schedule's "
            "waits between attempts (%s = %d s); the reference is the same install on a link that "
            "does not cut."
            % (CUT_AFTER // MIB, "/".join(str(a) for a in cut_attempts), CUT_SIZE // MIB, runs,
               " + ".join(str(w) for w in waits), sum(waits)))
        gh.set_latest(None)
        gh.remove_release("6.0")
        self.r.reset()

    # -- 7. unpacking without tar.exe ----------------------------------------------
    def unpack_install(self, part, with_tar, watch_memory=False):
        """Installs the one-part release 7.x from a warm cache; returns the
        seconds from "Unpacking part 1 of 1..." to "Starting Tolvar..." as
        the window showed them, and the setup's peak resident KiB when
        watched."""
        self.r.reset()
        if with_tar:
            self.r.install_tar(logged=False)  # tar.exe as one process, as on Windows
        else:
            self.r.remove_tar()
        downloads = os.path.join(self.r.base, "downloads")
        os.makedirs(downloads)
        with open(os.path.join(downloads, part.sha256 + ".zip"), "wb") as f:
            f.write(part.data)
        watch = PeakWatch(self.r.setup_exe, self.r.prefix) if watch_memory else None
        run = self.r.run(self.r.setup_exe, "", timeout=600, expect_records=1)
        peak = watch.stop() if watch else None
        if run.code != 0 or len(run.records) != 1 or run.boxes:
            raise RuntimeError("install of %s: %r" % (part.file, run))
        times = {}
        for e in run.events:
            if e.get("ev") in ("status", "window") and e.get("text") not in times:
                times[e.get("text")] = e["t"]
        if "Unpacking part 1 of 1..." not in times or "Starting Tolvar..." not in times:
            raise RuntimeError("the probe missed a status line: %r" % run.statuses())
        return (times["Starting Tolvar..."] - times["Unpacking part 1 of 1..."]) / 1000.0, peak

    def unpacking(self, gh):
        with open(os.path.join(self.bin, "recorder.exe"), "rb") as f:
            game = f.read()
        rnd = random.Random("unpack")
        words = [bytes(rnd.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 9)))
                 for _ in range(5000)]
        # 96 MiB that does not compress, 32 MiB of small files, and the rest
        # of the 256 MiB in twelve files of word salad.
        salad = (UNPACK_SIZE - 128 * MIB - len(game)) // 12
        text = b" ".join(rnd.choice(words) for _ in range(salad // 5))[:salad]
        files = {"bin/tolvar-game.exe": game, "data/noise.bin": random_bytes(96 * MIB, "unpack")}
        for k in range(12):
            files["data/text-%02d.txt" % k] = text[k:] + text[:k]
        small = random_bytes(32 * MIB, "small")
        for k in range(2048):
            files["data/small/%04d.dat" % k] = small[k * 16384:(k + 1) * 16384]
        total = sum(len(v) for v in files.values())
        part = releases.Part("Tolvar-unpack-7.0.zip", "Tolvar", "-", "-", {},
                             data=releases.zip_bytes(files))
        releases.publish(gh, "7.0", [part], latest=True)
        ours, ref = [], []
        interleaved(self.runs, lambda: ours.append(self.unpack_install(part, False)[0]),
                    lambda: ref.append(self.unpack_install(part, True)[0]))
        s_ours, s_ref = stats(ours), stats(ref)
        ratio = s_ours[0] / s_ref[0]
        self.row("7. unpack %d MiB part (s)" % round(total / MIB), fmt(s_ours, 2), fmt(s_ref, 2) + " tar.exe",
                 "%.3f" % ratio, "<= 1.0", ratio <= 1.0)

        # Memory: 1 GiB unpacked (deflated, so that it downloads in a moment)
        # against a part of one small file.
        big = releases.Part("Tolvar-unpack-7.1.zip", "Tolvar", "-", "-", {}, data=releases.zip_bytes(
            {"bin/tolvar-game.exe": game, "data/big.bin": b"Project Tolvar " * (UNPACK_BIG // 15)}))
        tiny = releases.Part("Tolvar-unpack-7.2.zip", "Tolvar", "-", "-", {}, data=releases.zip_bytes(
            {"bin/tolvar-game.exe": game}))
        big_peak, tiny_peak = [], []

        def peak(part, into):
            releases.publish(gh, part.file[-7:-4], [part], latest=True)
            into.append(self.unpack_install(part, False, watch_memory=True)[1] / 1024.0)
        interleaved(self.runs, lambda: peak(big, big_peak), lambda: peak(tiny, tiny_peak))
        s_big, s_tiny = stats(big_peak), stats(tiny_peak)
        more = s_big[0] - s_tiny[0]
        self.row("7. peak RSS unpacking 1 GiB (MiB)", fmt(s_big, 1), fmt(s_tiny, 1) + " one small file",
                 "+%.1f MiB" % more, "<= +4 MiB", more <= 4)
        self.notes.append(
            "7. The unpacking time is the window's, from \"Unpacking part 1 of 1...\" to \"Starting "
            "Tolvar...\", with the zip already in the download cache; the 256 MiB part holds %d files "
            "(96 MiB random, 12 text files of %.0f MiB, 2048 files of 16 KiB, the game)."
            % (len(files), len(text) / MIB))
        gh.set_latest(None)
        for tag in ("7.0", "7.1", "7.2"):
            gh.remove_release(tag)
        self.r.reset()
        self.r.prepare_unpacker()

    # -- all -------------------------------------------------------------------
    def main(self):
        started = time.monotonic()
        with fakegithub.FakeGitHub() as gh:
            # A new figure is one more step: a method that measures ours and
            # its reference interleaved (interleaved()) and adds its lines
            # with self.row(), numbered for the table's order, and here the
            # row numbers that --only selects it by.
            steps = [("1", lambda: self.download(gh)), ("35", lambda: self.update_and_memory(gh)),
                     ("2", self.hashing), ("4", self.warm_start), ("6", lambda: self.cut_link(gh)),
                     ("7", lambda: self.unpacking(gh))]
            for keys, step in steps:
                if self.only and not self.only & set(keys):
                    continue
                try:
                    step()
                except Exception as e:  # a broken measurement is reported, the others go on
                    self.failures.append("%s: %s" % (keys, e))
        self.print_table(time.monotonic() - started)
        return 1 if self.failures else 0

    def print_table(self, elapsed):
        rows = sorted(self.rows, key=lambda r: r[0][:2])   # by row number, measured order within
        head = ("figure", "ours (median, min-max)", "reference (median, min-max)", "ratio", "goal",
                "met?")
        table = [head] + [(f, o, r, q, g, "-" if m is None else ("yes" if m else "NO"))
                          for f, o, r, q, g, m in rows]
        widths = [max(len(t[i]) for t in table) for i in range(len(head))]
        print()
        print("Tolvar-Setup.exe bench: %d runs a figure, Wine 8 on %d cores, load %s" % (
            self.runs, os.cpu_count(), " ".join("%.2f" % x for x in os.getloadavg())))
        for i, t in enumerate(table):
            print("  ".join(c.ljust(w) for c, w in zip(t, widths)).rstrip())
            if i == 0:
                print("  ".join("-" * w for w in widths))
        for n in sorted(self.notes):
            print("  " + n)
        for f in self.failures:
            print("  NOT MEASURED: " + f)
        print("(%.0f s)" % elapsed)


def dlls_loaded_by(trace, exe):
    """The DLLs that a +pid,+loaddll trace shows the process of exe loading
    (the process whose first load is exe), in load order."""
    pid = None
    names = []
    with open(trace, errors="replace") as f:
        for line in f:
            if "Loaded L" not in line:
                continue
            who = line.split(":", 1)[0]
            path = line.split('Loaded L"', 1)[1].split('"', 1)[0]
            name = path.replace("\\\\", "\\").rsplit("\\", 1)[-1]
            if pid is None and name.lower() == exe.lower():
                pid = who
            elif who == pid and name.lower() not in [n.lower() for n in names]:
                names.append(name.lower())
    return names


def memory_note(install, window, https):
    """Where the install's resident memory goes beyond the window's, from
    the splits by mapping at their highest resident sizes."""
    def total(split):
        return sum(split.values())

    def diff(a, b):
        return {k: a.get(k, 0) - b.get(k, 0) for k in set(a) | set(b)}

    mib = 1024.0
    beyond = diff(install, https)
    top = sorted(((v, k) for k, v in beyond.items() if v >= 64), reverse=True)[:8]
    return ("5. Resident at the peak: install %.1f MiB, window %.1f, window + the install's 9 "
            "downloads by the bare WinHTTP loop %.1f. So the platform's HTTPS takes +%.1f MiB over the window "
            "(its largest: %s), and the installer %+.1f MiB beyond that: %s."
            % (total(install) / mib, total(window) / mib, total(https) / mib,
               (total(https) - total(window)) / mib,
               ", ".join("%s %d KiB" % (k, v) for v, k in sorted(
                   ((v, k) for k, v in diff(https, window).items()), reverse=True)[:5]),
               (total(install) - total(https)) / mib,
               ", ".join("%s %+d KiB" % (k, v) for v, k in top) or "nothing over 64 KiB"))


def fmt(s, digits):
    med, lo, hi = s
    return "%.*f (%.*f–%.*f)" % (digits, med, digits, lo, digits, hi)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--only", default="", help="rows to measure, e.g. 1,4")
    a = ap.parse_args()
    only = set(x.strip() for x in a.only.split(",") if x.strip())
    sys.exit(Bench(a.runs, only).main())


if __name__ == "__main__":
    main()
