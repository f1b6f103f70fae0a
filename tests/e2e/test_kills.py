"""Kill at any moment, lose nothing: install and update runs of the real
Tolvar-Setup.exe are killed at seeded random moments (list fetch, downloads,
hashing, tar.exe, renames, the move into place, marker writes, the sweep),
and a clean run after each must end exactly where a run without the kill
ends, without touching anything outside the base folder."""

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
        cls.r.install_tar()
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

    def start(self, tag):
        cmdline = self.r.path("killed.cmdline")
        with open(cmdline, "w", encoding="utf-8") as f:
            f.write('"%s" --tag %s' % (rig.win_path(self.r.setup_exe), tag))
        env = self.r._env({"TOLVAR_TEST_RECORD": rig.win_path(self.r.path("killed.jsonl"))})
        log = open(self.r.path("killed.log"), "wb")
        p = subprocess.Popen([self.r.wine_run, os.path.join(self.r.bin, "spawn.exe"), rig.win_path(cmdline)],
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env)
        p._log = log
        return p

    def kill(self):
        # As a crash or Task Manager would: no chance to clean up, and the
        # unpacker it started dies with it.
        for image in ("Tolvar-Setup.exe", "tar.exe"):
            self.r.wine("C:\\windows\\system32\\taskkill.exe", "/f", "/im", image)

    def test_killed_runs_lose_nothing(self):
        rng = random.Random(SEED)
        outside = self.r.path("..", "kills-outside.txt")
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
                self.clean_run(scenario)
                self.assertEqual(state(self.r.base), expected,
                                 "killed after %.2f s of %.2f s" % (delay, duration))
                with open(outside) as f:
                    self.assertEqual(f.read(), "keep")


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
