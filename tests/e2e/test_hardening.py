"""What a careful installer owes its user beyond the happy path: no DLL of a
stranger is loaded, one run at a time works on a tree, and a full disk is
reported as what it is."""

import os
import shutil
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

PLANTED = ["winhttp", "bcrypt", "version", "uxtheme", "dwmapi", "cryptbase", "secur32", "crypt32",
           "dnsapi", "iphlpapi", "api-ms-win-core-registry-l1-1-0"]
# Wine then prefers a DLL found on the search path over its own, as Windows
# does for DLLs that are not KnownDLLs.
NATIVE_FIRST = {"WINEDLLOVERRIDES": ",".join(PLANTED) + "=n,b;mscoree,mshtml="}


class Hardening(rig.GitHubSuite):
    suite_name = "hardening"

    def setUp(self):
        super().setUp()
        self.parts = releases.sample_parts(self.r.bin, "1.0")
        releases.publish(self.gh, "1.0", self.parts)

    def plant(self, folder):
        os.makedirs(folder, exist_ok=True)
        for name in PLANTED:
            shutil.copy(os.path.join(self.r.bin, "plant.dll"), os.path.join(folder, name + ".dll"))

    def marks(self, folder):
        return sorted(f for f in os.listdir(folder) if f.endswith(".mark"))

    def test_no_planted_dll_is_loaded(self):
        downloads = self.r.path("Downloads", "x")[:-2]
        cwd = self.r.path("cwd", "x")[:-2]
        marks = self.r.path("marks", "x")[:-2]
        self.plant(downloads)
        self.plant(cwd)
        env = dict(NATIVE_FIRST, TOLVAR_TEST_MARK_DIR=rig.win_path(marks))

        # The control: a program that imports them the usual way loads them.
        naive = os.path.join(downloads, "naive.exe")
        shutil.copy(os.path.join(self.r.bin, "naive_loader.exe"), naive)
        self.r.run(naive, probe=False, env=env, cwd=cwd)
        self.assertTrue(self.marks(marks), "the planted DLLs are live, else this test proves nothing")
        for f in self.marks(marks):
            os.remove(os.path.join(marks, f))

        setup = os.path.join(downloads, "Tolvar-Setup.exe")
        shutil.copy(self.r.setup_exe, setup)
        run = self.r.run(setup, "", env=env, cwd=cwd, expect_records=1)  # a whole install
        self.assertEqual(run.code, 0)
        self.assertEqual(len(run.records), 1, run)
        run = self.r.run(setup, "--launch", env=env, cwd=cwd, probe=False, expect_records=1)  # hand-off
        self.assertEqual(len(run.records), 1, run)
        game = self.r.path("Game", "bin", "x")[:-2]
        shutil.copy(os.path.join(self.r.bin, "recorder.exe"), os.path.join(game, "tolvar-game.exe"))
        shim = os.path.join(os.path.dirname(game), "Tolvar.exe")
        shutil.copy(self.r.setup_exe, shim)
        self.plant(os.path.dirname(game))
        run = self.r.run(shim, "", env=env, cwd=cwd, probe=False, expect_records=1)  # shim
        self.assertEqual(len(run.records), 1, run)
        self.assertEqual(self.marks(marks), [])

    def test_one_run_at_a_time_per_install_tree(self):
        # Slow parts keep the first run busy while the second starts.
        for p in self.parts:
            self.gh.fault_always("release-assets.githubusercontent.com", "*" + p.file + "*",
                                 {"delay": 0.3})
        # The tree however its path is spelled: the base folder found in
        # %LOCALAPPDATA%, and named as its own folder through another drive
        # letter (as a subst drive would) in other letter case. Wine finds
        # the existing folder without regard to case, as Windows does.
        user = os.path.basename(os.path.dirname(os.path.dirname(self.r.local_appdata)))
        spellings = [(None, None),
                     ("C:\\users\\%s\\AppData\\Local\\Tolvar" % user,
                      rig.win_path(os.path.join(self.r.local_appdata, "TOLVAR")))]
        for attempt in range(6):
            bases = spellings[attempt % len(spellings)]
            with self.subTest(attempt=attempt, bases=bases):
                self.r.reset()
                os.makedirs(self.r.base)
                self.gh.clear_log()
                runs = [None, None]
                record = self.r.path("games-%d.jsonl" % attempt)

                def start(k):
                    env = {"TOLVAR_TEST_RECORD": rig.win_path(record)}
                    if bases[k]:
                        env["TOLVAR_SETUP_BASE"] = bases[k]
                    runs[k] = self.r.run(self.r.setup_exe, "", probe=False, timeout=120, env=env)

                threads = [threading.Thread(target=start, args=(k,)) for k in range(2)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                self.assertEqual([r.code for r in runs], [0, 0])
                lists = [q for q in self.gh.requests() if q["path"].endswith("tolvar-setup.txt")]
                self.assertEqual(len(lists), 1, "only one run went to work")
                # Both runs have ended, and so has everything they started.
                games = rig.read_json_lines(record)
                self.assertEqual(len(games), 1, games)
                self.assertEqual(sorted(os.listdir(os.path.join(self.r.base, "versions"))),
                                 ["1.0", "current.txt"])
                self.assertEqual(os.listdir(self.r.local_appdata).count("Tolvar"), 1)
                self.assertEqual(sorted(os.listdir(self.r.base)), ["versions"], "the lock goes with its run")

    def test_a_killed_run_does_not_block_the_next(self):
        self.gh.fault_always("github.com", "*tolvar-setup.txt", {"hang": 30})
        p = subprocess.Popen([self.r.wine_run, self.r.setup_exe], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             env=self.r._env(None))
        for _ in range(200):  # until it is busy fetching the list
            if self.gh.requests(path="*tolvar-setup.txt"):
                break
            time.sleep(0.1)
        self.assertTrue(self.gh.requests(path="*tolvar-setup.txt"))
        # Killed as Task Manager would: its lock is abandoned, not released.
        self.r.kill_images("Tolvar-Setup.exe")
        p.wait(timeout=30)
        self.gh.clear_faults()
        run = self.r.run(self.r.setup_exe, "", expect_records=1)
        self.assertEqual(len(run.records), 1, run)

    def test_a_full_disk_stops_the_download_at_once(self):
        base = self.r.path("small", "x")[:-2]
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", base], check=True)
        try:
            big = releases.Part("Tolvar-data-1.0.zip", "Tolvar", "data", "data",
                                {"data/": b"", "data/noise.bin": os.urandom(2 * 1024 * 1024)})
            parts = list(self.parts)
            parts[2] = big
            releases.publish(self.gh, "1.0", parts)
            env = {"TOLVAR_SETUP_BASE": rig.win_path(base)}
            run = self.r.run(self.r.setup_exe, "", env=env)
            downloads = rig.win_path(os.path.join(base, "downloads"))
            self.assertEqual([b["text"] for b in run.boxes],
                             ["Could not write to %s." % downloads], run)
            self.assertFalse([s for s in run.statuses() if "Trying again" in s], "not retried")
            self.assertLess(run.elapsed, 30)
            left = os.listdir(os.path.join(base, "downloads"))
            self.assertFalse([f for f in left if f.endswith(".part")], "temporary file deleted")
            self.assertIn(parts[0].sha256 + ".zip", left, "verified zips stay")
            # Once there is room, the next run completes.
            subprocess.run(["mount", "-o", "remount,size=16m", base], check=True)
            run = self.r.run(self.r.setup_exe, "", env=env, expect_records=1)
            self.assertEqual(len(run.records), 1, run)
        finally:
            self.r.stop_wineserver()
            subprocess.run(["umount", "-l", base])


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
