"""Kill at any moment, lose nothing: install and update runs of the real
Tolvar-Setup.exe are killed at seeded random moments (list fetch, downloads,
hashing, tar.exe, renames, the move into place, marker writes, the sweep)
and at known steps (in the download of a given part, held there by the fake
GitHub at a given byte, and at the late steps, stopped there by the file
event that starts the step), and a clean run after each must end exactly
where a run without the kill ends, without touching anything outside the
base folder. Right after each kill of an update, the version that
current.txt names is whole and the hand-off starts it; the run after it
fetches no more than the parts that could not be carried over, and after a
kill in a download exactly the bytes still missing."""

import hashlib
import os
import random
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import fakegithub  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402
import stop_at  # noqa: E402

SEED = int(os.environ.get("TOLVAR_KILL_SEED", "20261210"))
KILLS = int(os.environ.get("TOLVAR_KILLS", "30"))


def state(base):
    """What a finished run leaves that matters: the versions folder with
    every file's bytes, and whether a download cache is left. Files beside
    markers from an interrupted write are not part of the result."""
    out = {}
    versions = os.path.join(base, "versions")
    for path, data in rig.tree(versions).items():
        if not path.endswith(".new"):
            out[path] = data
    out["<downloads left>"] = os.path.exists(os.path.join(base, "downloads"))
    return out


def version_files(base, tag):
    """The files and folders of one version folder, by path inside it."""
    prefix = tag + os.sep
    return {k[len(prefix):]: v for k, v in state(base).items() if k.startswith(prefix)}


def step_reached(base, scenario="update"):
    """How far an install of 1.0, or an update from 1.0 to 1.1, got, read
    off the tree."""
    tag = "1.1" if scenario == "update" else "1.0"
    versions = os.path.join(base, "versions")
    downloads = os.path.join(base, "downloads")
    current = ""
    if os.path.exists(os.path.join(versions, "current.txt")):
        with open(os.path.join(versions, "current.txt")) as f:
            current = f.read()
    if current == tag:
        if scenario == "update":
            swept = os.path.exists(os.path.join(versions, "1.0.gone")) or \
                not os.path.exists(os.path.join(versions, "1.0"))
        else:
            swept = not os.path.isdir(downloads)
        return "the sweep" if swept else "current.txt written"
    if os.path.exists(os.path.join(versions, "previous.txt")):
        return "previous.txt written"
    if os.path.exists(os.path.join(versions, tag, "installed.txt")):
        return "installed.txt written"
    if os.path.exists(os.path.join(versions, tag)):
        return "the move into place"
    held = sorted(f for f in os.listdir(downloads)) if os.path.isdir(downloads) else []
    return "building (cache: %s)" % (", ".join(h[:8] + h[64:] for h in held) or "empty")


# Kills in the downloads: (scenario, part index, body bytes the storage host
# sends before it holds the answer; None: held before any answer). WinHTTP
# under Wine hands a body on in 64 KiB reads, so a held point inside a body
# is a multiple of that.
HELD_STEPS = [
    ("update", 0, None),        # the game: asked for, nothing came
    ("update", 1, None),        # the launcher, once the game is unpacked
    ("update", 2, 2 * 65536),   # the data part, two reads in
    ("install", 3, None),       # the last part of a first install
]
# The parts each scenario downloads: a first install all four; an update
# from 1.0 the changed game and data parts and the launcher, which has no
# part folder, while the tools part is carried over.
DOWNLOADED = {"install": (0, 1, 2, 3), "update": (0, 1, 2)}

# The steps after the last part, in the order a run takes them, with the file
# event that begins each: (step, folder below the base, name created or moved in).
LATE_STEPS = [
    ("the move into place", "versions", "1.1"),
    ("previous.txt written", "versions", "previous.txt.new"),
    ("current.txt written", "versions", "current.txt.new"),
    ("the sweep", "versions", "1.0.gone"),
]
ORDER = ["building", "the move into place", "installed.txt written", "previous.txt written",
         "current.txt written", "the sweep"]


class Kills(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.r = rig.Rig(name="kills")
        cls.gh = fakegithub.FakeGitHub()
        cls.gh.start()
        recorder = rig.read_bytes(os.path.join(cls.r.bin, "recorder.exe"))
        cls.old = releases.sample_parts(cls.r.bin, "1.0")
        cls.new = list(cls.old)
        cls.new[2] = releases.Part("Tolvar-data-1.1.zip", "Tolvar", "data", "data",
                                   {"data/": b"", "data/world.txt": os.urandom(300000)})
        cls.new[0] = releases.Part("Tolvar-game-1.1.zip", "Tolvar", "game-1.1", "bin",
                                   {"game-1.1/tolvar-game.exe": recorder})
        releases.publish(cls.gh, "1.0", cls.old, latest=False)
        releases.publish(cls.gh, "1.1", cls.new, latest=False)
        # Slow storage keeps downloads on the clock long enough to be hit.
        cls.gh.fault_always("release-assets.githubusercontent.com", "*.zip*",
                            {"chunk_delay": 0.02, "chunk": 16384})
        cls.expected = {}
        cls.installed = None
        cls.parts = {"install": cls.old, "update": cls.new}
        cls.fetched_by_update = sum(cls.new[i].size for i in DOWNLOADED["update"])
        cls.fetched_by_install = sum(cls.old[i].size for i in DOWNLOADED["install"])
        cls.zip_ids = {str(a.id) for tag in ("1.0", "1.1") for a in cls.gh.release(tag).assets
                       if a.name.endswith(".zip")}
        for scenario in ("install", "update"):
            cls.prepare(scenario)
            started = time.monotonic()
            cls.clean_run(scenario)
            cls.expected[scenario] = (state(cls.r.base), time.monotonic() - started)

    @classmethod
    def tearDownClass(cls):
        cls.gh.stop()

    @classmethod
    def prepare(cls, scenario):
        """The tree a run of the scenario starts from: nothing, or 1.0
        installed (copied from the first clean install)."""
        cls.r.reset()
        cls.r.prepare_unpacker(logged=False)  # tar.exe as one process, as on Windows
        if scenario != "update":
            return
        if cls.installed is None:
            cls.clean_run("install")
            cls.installed = os.path.join(cls.r.build_dir, "e2e-scratch", "kills-installed")
            shutil.rmtree(cls.installed, ignore_errors=True)
            shutil.copytree(cls.r.base, cls.installed, symlinks=True)
        else:
            shutil.copytree(cls.installed, cls.r.base, symlinks=True)

    @classmethod
    def clean_run(cls, scenario):
        tag = "1.0" if scenario == "install" else "1.1"
        run = cls.r.run(cls.r.setup_exe, "--tag " + tag, probe=False, timeout=120, expect_records=1)
        assert run.code == 0 and len(run.records) == 1, run

    def start(self, tag, env=None):
        cmdline = self.r.path("killed.cmdline")
        with open(cmdline, "w", encoding="utf-8") as f:
            f.write('"%s" --tag %s' % (rig.win_path(self.r.setup_exe), tag))
        env = self.r._env(dict(env or {}, TOLVAR_TEST_RECORD=rig.win_path(self.r.path("killed.jsonl"))))
        log = open(self.r.path("killed.log"), "wb")
        p = subprocess.Popen([self.r.wine_run, os.path.join(self.r.bin, "spawn.exe"), rig.win_path(cmdline)],
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env)
        p._log = log
        return p

    def kill(self):
        # As a crash or Task Manager would: no chance to clean up, and the
        # unpacker it started dies with it.
        self.r.kill_images("Tolvar-Setup.exe", "tar.exe", "bsdtar.exe")

    def check_after_kill(self, scenario):
        """What a player has right after the kill: for an update, the version
        current.txt names is whole, and the hand-off starts its launcher."""
        if scenario != "update":
            return
        with open(os.path.join(self.r.base, "versions", "current.txt")) as f:
            current = f.read()
        self.assertIn(current, ("1.0", "1.1"))
        expected = version_files(self.installed, "1.0") if current == "1.0" else \
            {k[4:]: v for k, v in self.expected["update"][0].items() if k.startswith("1.1" + os.sep)}
        self.assertEqual(version_files(self.r.base, current), expected, "%s is whole" % current)
        run = self.r.run(self.r.setup_exe, "--launch", probe=False, expect_records=1)
        self.assertEqual(len(run.records), 1, run)
        self.assertTrue(run.records[0]["exe"].endswith("\\versions\\%s\\Tolvar\\Tolvar.exe" % current),
                        run.records)

    def recover(self, scenario, missing=None):
        """The clean run after a kill: it ends where an uninterrupted run
        ends and fetches no more than the parts it could not carry over
        (exactly missing bytes, when the test knows them)."""
        self.gh.clear_log()
        self.clean_run(scenario)
        fetched = sum(q["sent"] for q in self.gh.requests() if q["host"] in fakegithub.STORAGE_HOSTS
                      and q["path"].split("?", 1)[0].rsplit("/", 1)[-1] in self.zip_ids)
        limit = self.fetched_by_update if scenario == "update" else self.fetched_by_install
        self.assertLessEqual(fetched, limit, "bytes of parts fetched by the run after the kill")
        if missing is not None:
            self.assertEqual(fetched, missing, "the run after the kill fetches what is missing, no more")

    def cache(self):
        """The download cache: {file name: size}."""
        downloads = os.path.join(self.r.base, "downloads")
        if not os.path.isdir(downloads):
            return {}
        return {f: os.path.getsize(os.path.join(downloads, f)) for f in os.listdir(downloads)}

    def kill_in_download(self, scenario, k, at):
        """Runs the scenario until the storage host holds the answer for
        part k at byte at, kills it there, and checks that the cache shows
        just that: the verified zips of the parts before it and part k's
        bytes so far. Returns the step read off the tree."""
        parts = self.parts[scenario]
        part = parts[k]
        self.gh.hold(fakegithub.STORAGE_HOSTS[0], "*" + part.file + "*", "kill", at=at)
        try:
            p = self.start("1.0" if scenario == "install" else "1.1")
            self.assertTrue(self.gh.wait_held("kill", timeout=120), "the run asked for part %d" % (k + 1))
            temp = part.sha256 + ".zip.part"
            deadline = time.monotonic() + 30
            while self.cache().get(temp, -1) < (at or 0) and time.monotonic() < deadline:
                time.sleep(0.02)
            reached = step_reached(self.r.base, scenario)
            self.kill()
            p.wait(timeout=60)
            p._log.close()
        finally:
            self.gh.let_go("kill")
        before = {parts[i].sha256 + ".zip": parts[i].size for i in DOWNLOADED[scenario] if i < k}
        self.assertEqual(self.cache(), dict(before, **{temp: at or 0}),
                         "killed in the download of part %d at byte %d" % (k + 1, at or 0))
        return reached

    def test_killed_runs_lose_nothing(self):
        rng = random.Random(SEED)
        outside = self.r.path("..", "kills-outside.txt")
        hits = {}
        for k in range(KILLS):
            scenario = rng.choice(["install", "update"])
            with self.subTest(kill=k, scenario=scenario):
                self.prepare(scenario)
                with open(outside, "w") as f:
                    f.write("keep")
                expected, duration = self.expected[scenario]
                delay = rng.uniform(0.05, duration)
                p = self.start("1.0" if scenario == "install" else "1.1")
                time.sleep(delay)
                self.kill()
                p.wait(timeout=60)
                p._log.close()
                zips = {f for f in os.listdir(os.path.join(self.r.base, "downloads"))
                        if f.endswith(".zip")} if os.path.isdir(os.path.join(self.r.base, "downloads")) else set()
                for z in zips:  # every zip the cache holds is a verified one
                    data = rig.read_bytes(os.path.join(self.r.base, "downloads", z))
                    self.assertEqual(hashlib.sha256(data).hexdigest() + ".zip", z)
                reached = step_reached(self.r.base, scenario)
                step = reached.split(" (")[0]
                hits[scenario, step] = hits.get((scenario, step), 0) + 1
                print("kill %d of an %s at %.2f s: %s" % (k, scenario, delay, reached))
                self.check_after_kill(scenario)
                self.recover(scenario)
                self.assertEqual(state(self.r.base), expected,
                                 "killed after %.2f s of %.2f s" % (delay, duration))
                with open(outside) as f:
                    self.assertEqual(f.read(), "keep")
        print("random kills hit: " + ", ".join("%s %s %d" % (sc, step, n) for (sc, step), n in sorted(hits.items())))

    def test_kills_at_known_steps(self):
        """Runs killed in the download of a given part at a given byte, and
        an update stopped by the file event that begins each late step, then
        killed there: the step it really reached is recorded."""
        for scenario, k, at in HELD_STEPS:
            with self.subTest(scenario=scenario, part=k + 1, at=at):
                self.prepare(scenario)
                reached = self.kill_in_download(scenario, k, at)
                print("killed %s in the download of part %d of 4 at byte %d: %s"
                      % (scenario, k + 1, at or 0, reached))
                self.check_after_kill(scenario)
                missing = sum(self.parts[scenario][i].size for i in DOWNLOADED[scenario] if i >= k) - (at or 0)
                self.recover(scenario, missing)
                self.assertEqual(state(self.r.base), self.expected[scenario][0])
        for step, folder, name in LATE_STEPS:
            with self.subTest(step=step):
                self.prepare("update")
                with stop_at.StopAt(os.path.join(self.r.base, folder), name, "Tolvar-Setup.exe",
                                    self.r.prefix) as stop:
                    p = self.start("1.1")
                    self.assertTrue(stop.track(), "Tolvar-Setup.exe is running")
                    self.assertTrue(stop.wait(120), "the run reached %s" % step)
                    reached = step_reached(self.r.base)
                    print("stopped at %s: %s" % (step, reached))
                    stop.kill()
                    p.wait(timeout=60)
                    p._log.close()
                kind = reached.split(" (")[0]
                self.assertGreaterEqual(ORDER.index(kind), ORDER.index(step) - 1,
                                        "stopped at %s, before %s" % (reached, step))
                self.check_after_kill("update")
                self.recover("update")
                self.assertEqual(state(self.r.base), self.expected["update"][0])

    def test_a_setup_killed_while_tar_runs_takes_tar_with_it(self):
        """Windows ends a killed program alone, not what it started: the
        tar.exe of a killed setup must end with it, or it would go on
        writing into the staging folder that the next run builds in."""
        if not self.r.with_tar:
            self.skipTest("no tar.exe: the in-process unpacker ends with the setup")
        for scenario in ("install", "update"):
            with self.subTest(scenario=scenario):
                self.prepare(scenario)
                # The rig's tar.exe, told to wait a minute before it unpacks.
                self.r.prepare_unpacker(logged=True)
                p = self.start("1.0" if scenario == "install" else "1.1", {"TOLVAR_TEST_TAR_DELAY_MS": "60000"})
                deadline = time.monotonic() + 120
                while not stop_at.pids_of("tar.exe", self.r.prefix) and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertTrue(stop_at.pids_of("tar.exe", self.r.prefix), "tar.exe runs")
                self.r.kill_images("Tolvar-Setup.exe")
                p.wait(timeout=60)
                p._log.close()
                deadline = time.monotonic() + 20
                while stop_at.pids_of("tar.exe", self.r.prefix) and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(stop_at.pids_of("tar.exe", self.r.prefix), [], "tar.exe ended with the setup")
                self.check_after_kill(scenario)
                self.recover(scenario)
                self.assertEqual(state(self.r.base), self.expected[scenario][0])


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
