#!/usr/bin/python3
"""A walk through what Tolvar-Setup.exe does for a player, on the real
executable under Wine against the fake GitHub, printed for a person to read.

  1. release 1.0 (four parts) is made with tolvar-release make and
     published; Tolvar-Setup.exe installs it
  2. release 1.1 changes only the data part; tolvar-release check --from
     tells what the update will download; Tolvar-Setup.exe updates: the
     unchanged parts are carried over, the data part is downloaded
  3. Tolvar-Setup.exe copied as Tolvar.exe into a game folder hands over to
     the installed launcher
  4. the exe built with a publisher key installs release 1.2, signed with
     tolvar-release make --sign, and refuses 1.3, whose list was changed
     after it was signed

Every step is checked as well; the exit code is 1 when one did not do what it
should, so this doubles as a smoke test. Screenshots of the progress window
land in <build>/demo/ as PNG files.

    /usr/bin/python3 tests/e2e/demo.py        (as root; TOLVAR_BUILD_DIR=<build>)
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sandbox  # noqa: E402

sandbox.enter()  # before anything else: the setup must only ever reach the fake GitHub

import copy  # noqa: E402
import glob  # noqa: E402
import random  # noqa: E402
import re  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

import fakegithub  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

STORAGE_HOSTS = fakegithub.STORAGE_HOSTS
KEPT = "Part %d of %d unchanged: kept from the installed version"
DOWNLOADING = "Downloading part %d of %d"

g_problems = []


def check(ok, what):
    if not ok:
        g_problems.append(what)
        print("  !! NOT AS EXPECTED: %s" % what)
    return ok


def heading(text):
    print()
    print("=" * 78)
    print(text)
    print("=" * 78)


def human_size(n):
    if n >= 1 << 20:
        return "%.1f MB" % (n / 1048576.0)
    return "%d B" % n if n < 10 * 1024 else "%.1f KB" % (n / 1024.0)


def data_part(version, extra=None):
    """The data part of a version. It carries a map of 1.5 MB that does not
    compress: a part that fits the setup's read buffer arrives in one read
    and its bar would jump straight to full."""
    files = {"data/": b"", "data/world.txt": b"world of " + version.encode(),
             "data/map.bin": random.Random(version).randbytes(1536 * 1024)}
    files.update(extra or {})
    return releases.Part("Tolvar-data-%s.zip" % version, "Tolvar", "data", "data", files)


class MidwayShot(threading.Thread):
    """Photographs the progress window once its bar stands half way.

    The probe photographs each new status line as it appears, when a
    download has not yet begun; this catches one in progress. It follows the
    probe's timeline of the run that starts next and reads the screen of the
    rig's display with ImageMagick's import."""

    def __init__(self, r, png):
        super().__init__(daemon=True)
        self.r = r
        self.png = png
        self.taken = False
        self.before = set(glob.glob(os.path.join(r.scratch, "*.probe.jsonl")))
        self.done = threading.Event()
        self.start()

    def display(self):
        with open(os.path.join(self.r.build_dir, "wine-state", "display")) as f:
            return ":" + f.read().strip()

    def run(self):
        timeline = None
        rect = None
        while not self.done.wait(0.01):
            if timeline is None:
                new = set(glob.glob(os.path.join(self.r.scratch, "*.probe.jsonl"))) - self.before
                if not new:
                    continue
                timeline = new.pop()
            for e in rig.read_json_lines(timeline, growing=True):
                if e.get("ev") == "window":
                    rect = e.get("rect")
                elif (e.get("ev") == "bar" and rect and not e.get("marquee")
                      and 40 <= e.get("pos", 0) <= 70):
                    crop = "%dx%d+%d+%d" % (rect["w"], rect["h"], rect["x"], rect["y"])
                    r = subprocess.run(["import", "-display", self.display(), "-window", "root",
                                        "-crop", crop, "+repage", self.png],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, timeout=30)
                    self.taken = r.returncode == 0 and os.path.exists(self.png)
                    return

    def stop(self):
        self.done.set()
        self.join(timeout=40)


class Demo:
    def __init__(self):
        self.r = rig.Rig(name="demo")
        self.r.reset()
        self.out_dir = os.path.join(self.r.build_dir, "demo")
        shutil.rmtree(self.out_dir, ignore_errors=True)
        os.makedirs(self.out_dir)
        self.gh = None
        self.user = os.path.basename(os.path.dirname(os.path.dirname(self.r.local_appdata)))
        self.base_win = "C:\\users\\%s\\AppData\\Local\\Tolvar" % self.user

    # -- showing things -------------------------------------------------------
    def publish(self, tag, parts, sign=None, edit=None):
        """Makes the release as its pipeline would (zips and tolvar-setup.in
        in a folder, then tolvar-release make, with --sign KEY when sign) and
        publishes what make wrote; edit changes the list's bytes first."""
        folder = os.path.join(self.out_dir, "release-" + tag)
        out = releases.make_release(folder, tag, parts, sign=sign)
        print("tolvar-release make %s%s:" % (folder, " --sign " + sign if sign else ""))
        for line in out.splitlines():
            print("  " + line)
        with open(os.path.join(folder, "tolvar-setup.txt"), "rb") as f:
            list_bytes = f.read()
        signature = None
        if sign:
            with open(os.path.join(folder, "tolvar-setup.txt.sig"), "rb") as f:
                signature = f.read()
        if edit:
            list_bytes = edit(list_bytes)
        releases.publish(self.gh, tag, parts, list_bytes=list_bytes, signature=signature)
        print("Published release %s on the fake GitHub (now the latest):" % tag)
        for p in parts:
            print("  %-26s %8s  sha256 %s..." % (p.file, human_size(p.size), p.sha256[:16]))
        print("  %-26s %8s%s" % ("tolvar-setup.txt", "list", " (changed after make)" if edit else ""))
        if signature is not None:
            print("  %-26s %8s" % ("tolvar-setup.txt.sig", human_size(len(signature))))
        return os.path.join(folder, "tolvar-setup.txt")

    def announce_update(self, old_list, tag):
        """What tolvar-release check --from says the update will download."""
        folder = os.path.join(self.out_dir, "release-" + tag)
        code, out = releases.run_release_tool("check", folder, "--from", old_list)
        print("tolvar-release check %s --from %s:" % (folder, old_list))
        for line in out.splitlines():
            print("  " + line)
        check(code == 0, "check --from passes the release")
        return sorted(re.findall(r"update from \S+: part \d+ of \d+ \((\S+)\) is downloaded", out))

    def last_seq(self):
        reqs = self.gh.requests()
        return reqs[-1]["seq"] if reqs else 0

    def asset_names(self):
        """Storage asset id -> (tag, asset name), over every release."""
        names = {}
        for tag in ("1.0", "1.1", "1.2", "1.3"):
            try:
                rel = self.gh.release(tag)
            except KeyError:
                continue
            for a in rel.assets:
                names[str(a.id)] = (tag, a.name)
        return names

    def show_requests(self, since):
        """Prints the requests made after seq `since`; returns the names of the
        assets whose bytes were sent in full."""
        names = self.asset_names()
        reqs = [q for q in self.gh.requests() if q["seq"] > since and q["done"]]
        downloaded = []
        print("  Requests to GitHub (host + path, query left out):")
        for q in reqs:
            path = q["path"].split("?", 1)[0]
            note = ""
            if q["host"] in STORAGE_HOSTS:
                asset = names.get(path.rsplit("/", 1)[-1])
                if asset:
                    note = "  = %s" % asset[1]
                    if q["status"] == 200 and q["method"] == "GET":
                        downloaded.append(asset[1])
                note += "  (%s)" % human_size(q["sent"])
            print("    %-4s %s%s  -> %s%s" % (q["method"], q["host"], path, q["status"], note))
        parts = [n for n in downloaded if not n.startswith("tolvar-setup.txt")]
        print("  Parts downloaded: %s" % (", ".join(parts) if parts else "none"))
        return downloaded

    def show_run(self, title, run, shots_dir, stem, midway=None):
        print()
        print("%s: exit code %s, %.1f s" % (title, run.code, run.elapsed))
        window = [e for e in run.events if e.get("ev") == "window"]
        if window:
            print("  Window: \"%s\" (%s)" % (window[0].get("title"), window[0].get("class")))
        start = None
        print("  Status lines as the user saw them (time since the window appeared):")
        last = None
        for e in run.events:
            if e.get("ev") not in ("status", "window"):
                continue
            if start is None:
                start = e["t"]
            text = e.get("text")
            if text is None or text == last:
                continue
            last = text
            print("    %6.2f s  %s" % ((e["t"] - start) / 1000.0, text))
        if run.boxes:
            print("  Message boxes:")
            for b in run.boxes:
                print("    [%s] %s: %s" % (b.get("icon"), b.get("title"), b.get("text")))
        else:
            print("  Message boxes: none")
        pngs = self.convert_shots(run, shots_dir, stem)
        if pngs:
            print("  Screenshots of the window, one as each line appeared (a line that lasts")
            print("  only a few ms may already be replaced in its picture):")
            for png, what in pngs:
                print("    %s" % png)
        if midway:
            print("  ... and one half way through the largest download:")
            print("    %s" % midway)
        return pngs

    def convert_shots(self, run, shots_dir, stem):
        """The probe's BMP of each status (or box) as a PNG named after it;
        returns [(png path, what it was taken for)]."""
        pngs = []
        for e in run.events:
            shot = e.get("shot")
            if not shot:
                continue
            bmp = os.path.join(shots_dir, os.path.basename(shot.replace("\\", "/")))
            if not os.path.exists(bmp):
                continue
            what = e.get("text") or ""
            if e.get("ev") == "msgbox":
                what = "box: " + what
            slug = re.sub(r"[^a-z0-9]+", "-", what.lower()).strip("-")[:40] or "window"
            png = os.path.join(self.out_dir, "%s-%02d-%s.png" % (stem, len(pngs) + 1, slug))
            r = subprocess.run(["convert", bmp, png], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if r.returncode == 0 and os.path.exists(png):
                pngs.append((png, what))
        return pngs

    def show_records(self, run, what):
        if not run.tar_runs and not self.r.with_tar:
            print("  Unpacked in-process: no tar.exe in the system folder")
        for t in run.tar_runs:
            print("  tar.exe (the real archiver) ran: %s" % t.get("cmdline"))
            print("    working folder: %s, exit code %s" % (t.get("cwd"), t.get("code")))
        for rec in run.records:
            print("  %s started: %s" % (what, rec.get("cmdline")))
            print("    working folder: %s" % rec.get("cwd"))

    def show_tree(self):
        base = self.r.base
        print("  Install tree %s:" % self.base_win)
        for dirpath, dirnames, filenames in os.walk(base):
            dirnames.sort()
            rel = os.path.relpath(dirpath, base)
            depth = 0 if rel == "." else rel.count(os.sep) + 1
            if rel != ".":
                print("    %s%s\\" % ("  " * (depth - 1), os.path.basename(dirpath)))
            for fn in sorted(filenames):
                size = os.path.getsize(os.path.join(dirpath, fn))
                extra = ""
                if fn.endswith(".txt") and size < 4096:
                    with open(os.path.join(dirpath, fn), "rb") as f:
                        lines = f.read().decode("utf-8", "replace").splitlines()
                    if fn == "parts.txt":
                        extra = "  %d sha256 lines: %s" % (
                            len(lines), " ".join(line[:8] + ".." for line in lines))
                    elif len(lines) == 1 and len(lines[0]) < 60:
                        extra = "  \"%s\"" % lines[0]
                print("    %s%-28s %9s%s" % ("  " * depth, fn, human_size(size), extra))

    # -- the walk -------------------------------------------------------------
    def setup_run(self, stem, exe=None, expect_records=1):
        shots = self.r.path(stem + "-shots", "x")[:-2]
        watcher = MidwayShot(self.r, os.path.join(self.out_dir, stem + "-00-download-half-way.png"))
        run = self.r.run(exe or self.r.setup_exe, "", probe_options=["--shots", rig.win_path(shots)],
                         timeout=120, expect_records=expect_records)
        watcher.stop()
        return run, shots, watcher.png if watcher.taken else None

    def read(self, *parts):
        p = os.path.join(self.r.base, *parts)
        if not os.path.exists(p):
            return None
        with open(p, "rb") as f:
            return f.read()

    def install(self):
        heading("1. First install: release 1.0")
        parts = releases.sample_parts(self.r.bin, "1.0")
        parts[2] = data_part("1.0")
        self.list_1_0 = self.publish("1.0", parts)
        since = self.last_seq()
        run, shots, midway = self.setup_run("1-install")
        pngs = self.show_run("Tolvar-Setup.exe (double-clicked, no arguments)", run, shots,
                             "1-install", midway)
        downloaded = self.show_requests(since)
        self.show_records(run, "Game")
        self.show_tree()

        n = len(parts)
        check(run.code == 0, "the install exits 0")
        check(not run.boxes, "no message box during the install")
        check(sorted(d for d in downloaded if d != "tolvar-setup.txt") == sorted(p.file for p in parts),
              "every part of 1.0 downloaded once")
        seen = run.statuses()
        # The small parts come in a few ms; the large one stays long enough
        # that a user (and the probe) must see it.
        check(any(s.startswith(DOWNLOADING % (3, n) + " (1 MB)") for s in seen),
              "status 'Downloading part 3 of 4 (1 MB)...' seen")
        # "Starting Tolvar..." is not asked for: the window closes right after
        # it, and on a busy machine both can reach the window together.
        check(self.read("versions", "current.txt") == b"1.0", "current.txt names 1.0")
        check(self.read("versions", "1.0", "Tolvar", "data", "world.txt") == b"world of 1.0",
              "the data part is unpacked")
        check(self.read("versions", "1.0", "Tolvar", "bin", "tolvar-game.exe") is not None,
              "the game folder is unpacked and renamed to bin")
        check(self.read("versions", "1.0", "Tolvar", "Tolvar.exe") is not None, "the launcher is in place")
        check(not os.path.exists(os.path.join(self.r.base, "downloads")) or
              not os.listdir(os.path.join(self.r.base, "downloads")), "the download cache is emptied")
        game_win = "%s\\versions\\1.0\\Tolvar\\bin\\tolvar-game.exe" % self.base_win
        check(len(run.records) == 1 and run.records[0].get("cmdline", "").rstrip() == '"%s"' % game_win,
              "the installed game was started")
        check(len(pngs) >= 2, "screenshots of the progress window were taken")
        return parts

    def update(self, old_parts):
        heading("2. Update: release 1.1 changes only the data part")
        game, launcher, _data, python = old_parts
        # The unchanged parts are the very same zips (same bytes, same sha256)
        # uploaded again under this release's names.
        game11 = copy.copy(game)
        game11.file = "Tolvar-game-1.1.zip"
        launcher11 = copy.copy(launcher)
        launcher11.file = "Tolvar-launcher-1.1.zip"
        data11 = data_part("1.1", {"data/new-map.txt": b"a map that came with 1.1"})
        parts = [game11, launcher11, data11, python]
        self.publish("1.1", parts)
        announced = self.announce_update(self.list_1_0, "1.1")
        game_file = ("Tolvar", "bin", "tolvar-game.exe")
        game_before = os.stat(os.path.join(self.r.base, "versions", "1.0", *game_file)).st_ino
        since = self.last_seq()
        run, shots, midway = self.setup_run("2-update")
        pngs = self.show_run("Tolvar-Setup.exe (run again)", run, shots, "2-update", midway)
        downloaded = self.show_requests(since)
        folders = {game11.file: ("Tolvar", "bin"), python.file: ("Tolvar", "tools", "python")}
        carried = [f for f, sub in folders.items() if f not in downloaded and
                   os.path.isdir(os.path.join(self.r.base, "versions", "1.1", *sub))]
        print("  Carried over from 1.0, not downloaded: %s" % (", ".join(carried) or "none"))
        n = len(parts)
        seen = run.statuses()
        kept_seen = [s for s in seen if s in (KEPT % (1, n), KEPT % (4, n))]
        print("  (%d of their 2 'unchanged' status lines were on screen long enough to be seen;"
              % len(kept_seen))
        print("   the next part's line replaces one at once)")
        self.show_records(run, "Game")
        self.show_tree()

        check(run.code == 0, "the update exits 0")
        check(not run.boxes, "no message box during the update")
        got = sorted(d for d in downloaded if d != "tolvar-setup.txt")
        # The launcher unpacks into the shared Tolvar folder, not a folder of
        # its own, so there is nothing to carry over: it always comes fresh.
        check(got == sorted([data11.file, launcher11.file]),
              "only the changed data part (and the launcher, which has no folder of its own) "
              "downloaded, got %s" % got)
        check(got == announced, "the parts downloaded are the ones tolvar-release check --from announced, "
                                "announced %s" % announced)
        check(any(s.startswith(DOWNLOADING % (3, n)) for s in seen), "status 'Downloading part 3 of 4' seen")
        check(self.read("versions", "current.txt") == b"1.1", "current.txt names 1.1")
        check(self.read("versions", "previous.txt") == b"1.0", "previous.txt names 1.0")
        check(not os.path.exists(os.path.join(self.r.base, "versions", "1.0")), "version 1.0 swept away")
        check(self.read("versions", "1.1", "Tolvar", "data", "world.txt") == b"world of 1.1",
              "the new data is in place")
        game_now = os.path.join(self.r.base, "versions", "1.1", *game_file)
        # Carried over, the game is the same file under a second name (a hard
        # link, or the file moved where links are not kept), not a new copy.
        check(os.path.isfile(game_now) and os.stat(game_now).st_ino == game_before,
              "the game folder was carried over from 1.0, not unpacked again")
        check(self.read("versions", "1.1", "Tolvar", "tools", "python", "python.txt") == b"python 3.12",
              "the python tools were carried over")
        game_win = "%s\\versions\\1.1\\Tolvar\\bin\\tolvar-game.exe" % self.base_win
        check(len(run.records) == 1 and run.records[0].get("cmdline", "").rstrip() == '"%s"' % game_win,
              "the game of 1.1 was started")
        check(len(pngs) >= 1, "screenshots of the progress window were taken")

    def shim(self):
        heading("3. Tolvar.exe in a game folder hands over to the installed launcher")
        folder = self.r.path("Game", "x")[:-2]
        os.makedirs(os.path.join(folder, "bin"))
        shutil.copy(self.r.setup_exe, os.path.join(folder, "Tolvar.exe"))
        shutil.copy(os.path.join(self.r.bin, "recorder.exe"),
                    os.path.join(folder, "bin", "tolvar-game.exe"))
        print("Game folder %s:" % rig.win_path(folder))
        print("  Tolvar.exe              (a copy of Tolvar-Setup.exe)")
        print("  bin\\tolvar-game.exe")
        since = self.last_seq()
        run = self.r.run(os.path.join(folder, "Tolvar.exe"), "", probe=False, expect_records=1)
        print()
        print("Tolvar.exe (double-clicked): exit code %s, %.1f s" % (run.code, run.elapsed))
        self.show_records(run, "Launcher")
        reqs = [q for q in self.gh.requests() if q["seq"] > since]
        print("  Requests to GitHub: %d" % len(reqs))
        launcher = "%s\\versions\\1.1\\Tolvar" % self.base_win
        check(run.code == 0, "the shim exits 0")
        check(len(run.records) == 1 and run.records[0].get("cmdline") ==
              '"%s\\Tolvar.exe" --launch "%s"' % (launcher, rig.win_path(folder)),
              "the installed launcher was started with --launch and the game folder")
        check(run.records and run.records[0].get("cwd", "").rstrip("\\") == launcher,
              "the launcher runs in its own folder")
        check(not reqs, "the hand-off needs no network")

    def no_tar(self):
        heading("4. A player on Wine or Proton: no tar.exe in the system folder")
        system32 = os.path.join(self.r.prefix, "drive_c", "windows", "system32")
        self.r.remove_tar()
        print("  %s: %s" % ("C:\\windows\\system32\\tar.exe",
                            "present" if os.path.exists(os.path.join(system32, "tar.exe")) else "absent"))
        base = self.r.path("wine-player", "Tolvar")
        base_win = rig.win_path(base)
        since = self.last_seq()
        run = self.r.run(self.r.setup_exe, "", env={"TOLVAR_SETUP_BASE": base_win}, timeout=120,
                         expect_records=1)
        print()
        print("Tolvar-Setup.exe with TOLVAR_SETUP_BASE=%s: exit code %s, %.1f s" % (base_win, run.code, run.elapsed))
        for text in run.statuses():
            print("  status: %s" % text)
        for b in run.boxes:
            print("  MESSAGE BOX: %s" % b.get("text"))
        print("  Unpacker: %s" % ("tar.exe, %d runs" % len(run.tar_runs) if run.tar_runs else
                                  "the setup's own, in-process (tar.exe never ran)"))
        downloaded = self.show_requests(since)
        self.show_records(run, "Game")
        self.r.prepare_unpacker()

        def files(root):
            out = {}
            for dirpath, _, filenames in os.walk(root):
                for fn in filenames:
                    path = os.path.join(dirpath, fn)
                    with open(path, "rb") as f:
                        out[os.path.relpath(path, root)] = (f.read(), int(os.stat(path).st_mtime))
            return out
        check(run.code == 0 and not run.boxes, "the install without tar.exe exits 0 with no message box")
        check(not run.tar_runs, "tar.exe never ran")
        check(len(downloaded) > 1, "the parts were downloaded")
        check(files(os.path.join(base, "versions", "1.1", "Tolvar")) ==
              files(os.path.join(self.r.base, "versions", "1.1", "Tolvar")),
              "1.1 unpacked in-process is the tree tar.exe unpacked in steps 1 and 2, file times included")
        check(len(run.records) == 1 and run.records[0].get("exe", "").endswith("\\tolvar-game.exe"),
              "the game was started")

    def signed(self):
        heading("5. Signed releases: the exe built with the publisher's key")
        keyed = os.path.join(self.r.bin, "Tolvar-Setup-keyed.exe")
        key = releases.TEST_KEY
        print("Tolvar-Setup-keyed.exe is the same program built with")
        print("  -DTOLVAR_PUBLISHER_KEY=%s" % key.replace("publisher.pem", "publisher.pub.pem"))
        print("so that it takes a setup list only with the publisher's signature beside it. The")
        print("private key %s signs, on the publisher's machine only." % key)
        parts = releases.sample_parts(self.r.bin, "1.2")
        self.publish("1.2", parts, sign=key)
        since = self.last_seq()
        run, shots, _ = self.setup_run("5-signed", keyed)
        self.show_run("Tolvar-Setup-keyed.exe (signed release 1.2)", run, shots, "5-signed")
        self.show_requests(since)
        sig_asked = [q["path"] for q in self.gh.requests() if q["seq"] > since and q["path"].endswith(".sig")]
        check(run.code == 0 and not run.boxes, "the signed release installs without a message box")
        check(self.read("versions", "current.txt") == b"1.2", "current.txt names 1.2")
        check(sig_asked and sig_asked[0] == "/brannix/ProjectTolvar/releases/download/1.2/tolvar-setup.txt.sig",
              "the signature came from release 1.2 itself")
        check(len(run.records) == 1, "the game of 1.2 was started")

        print()
        print("Release 1.3 is published by someone with the upload token but not the key: its")
        print("list was changed after make --sign, to start another program.")
        tampered = releases.sample_parts(self.r.bin, "1.3")
        self.publish("1.3", tampered, sign=key,
                     edit=lambda b: b.replace(b"run Tolvar/bin/tolvar-game.exe", b"run Tolvar/bin/tolvar-gamE.exe"))
        since = self.last_seq()
        run, shots, _ = self.setup_run("5-refused", keyed, expect_records=0)
        self.show_run("Tolvar-Setup-keyed.exe (tampered release 1.3)", run, shots, "5-refused")
        downloaded = self.show_requests(since)
        self.show_tree()
        check([b.get("text") for b in run.boxes] ==
              ["This Tolvar release's signature does not match its publisher's key, so it was not installed. "
               "Tell the game's publisher."], "the tampered release is refused with its message")
        check(not run.records, "nothing was started")
        check(self.read("versions", "current.txt") == b"1.2", "1.2 stays the current version")
        check(not [d for d in downloaded if d.endswith(".zip")], "no part of 1.3 was downloaded")

    def main(self):
        started = time.monotonic()
        log = os.path.join(self.r.scratch, "requests.jsonl")
        with fakegithub.FakeGitHub(log_file=log) as gh:
            self.gh = gh
            # Sent at a modest pace, the downloads stay on screen long enough
            # to be seen and photographed, bar and all.
            gh.fault_always("*", fakegithub.STORAGE_PREFIX + "*", {"chunk": 65536, "chunk_delay": 0.04})
            parts = self.install()
            self.update(parts)
            self.shim()
            self.no_tar()
            self.signed()
        heading("Result")
        print("Screenshots: %d PNG files in %s" % (len(glob.glob(os.path.join(self.out_dir, "*.png"))),
                                                    self.out_dir))
        print("Run logs:    %s" % self.r.scratch)
        print("Time:        %.1f s" % (time.monotonic() - started))
        if g_problems:
            print("%d step(s) did not do what they should:" % len(g_problems))
            for p in g_problems:
                print("  - " + p)
            return 1
        print("Every step did what it should.")
        return 0


if __name__ == "__main__":
    sys.exit(Demo().main())
