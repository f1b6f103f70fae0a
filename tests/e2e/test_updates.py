"""Updates that stop half way, and lists that name a version oddly, on the
real Tolvar-Setup.exe under Wine against the fake GitHub. Whatever stops an
update, the installed version keeps every file, the shim and the hand-off
start it, and the next run finishes the job without fetching again what was
already at hand."""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

UNREADABLE = "The release's setup list could not be read. Try again later."


class Updates(rig.GitHubSuite):
    suite_name = "updates"

    def versions(self, *parts):
        return os.path.join(self.r.base, "versions", *parts)

    def read(self, *parts):
        return rig.read_bytes(self.versions(*parts))

    def setup(self, args="", expect_game=True):
        run = self.r.run(self.r.setup_exe, args, expect_records=1 if expect_game else 0, timeout=240)
        self.assertEqual(run.code, 0, run)
        if expect_game:
            self.assertEqual(run.boxes, [], run)
            self.assertEqual(len(run.records), 1, run)
        return run

    def zips_asked(self):
        """The zip assets the run asked the web host or the API for."""
        return sorted({q["path"].rsplit("/", 1)[1] for q in self.gh.requests()
                       if q["host"] == "github.com" and q["path"].endswith(".zip")})

    def launcher_started(self, run, tag):
        self.assertEqual(len(run.records), 1, run)
        self.assertTrue(run.records[0]["exe"].endswith("\\versions\\%s\\Tolvar\\Tolvar.exe" % tag), run.records)

    def test_a_part_that_unpacks_over_a_carried_over_file_leaves_the_installed_one_alone(self):
        # 1.1 carries the game part over (second names of 1.0's files), then
        # unpacks a part at the top of the version that holds a file of the
        # same name, then fails on a part that cannot be had: the file 1.0
        # shares with the staging folder must not have been written through.
        old = releases.sample_parts(self.r.bin, "1.0")
        releases.publish(self.gh, "1.0", old)
        self.setup()
        before = rig.hashes(self.versions("1.0"))
        new = list(old)
        new[3] = releases.Part("Tolvar-python-3.13.zip", ".", "-", "-",
                               {"Tolvar/tools/python/python.txt": b"python 3.13",
                                "Tolvar/bin/readme.txt": b"over the carried-over readme"})
        new.append(releases.Part("Tolvar-music-1.1.zip", "Tolvar", "music", "music", {"music/a.ogg": b"a"}))
        # tolvar-release would refuse the release: the tools part places a
        # file outside its folder. Written by hand, as a careless publisher might.
        releases.publish(self.gh, "1.1", new, made=False)
        self.gh.fault_always("github.com", "*/Tolvar-music-1.1.zip", {"status": 404})
        run = self.setup(expect_game=False)
        self.assertEqual([b["text"] for b in run.boxes],
                         ["Downloading part 5 of 5 failed. Check your connection and free space, then try again."])
        self.assertEqual(self.read("1.1.part", "Tolvar", "bin", "readme.txt"), b"over the carried-over readme")
        self.assertEqual(rig.hashes(self.versions("1.0")), before, "every file of 1.0 is as it was")

    def test_a_failed_update_keeps_the_installed_version_and_the_next_run_finishes_it(self):
        old = releases.sample_parts(self.r.bin, "1.0")
        releases.publish(self.gh, "1.0", old)
        self.setup()
        before = rig.hashes(self.versions("1.0"))

        # 1.1 changes the data part; the game and tools parts are carried
        # over, the launcher (no part folder) comes anew, and the data part
        # cannot be had today.
        new = list(old)
        new[2] = releases.Part("Tolvar-data-1.1.zip", "Tolvar", "data", "data",
                               {"data/": b"", "data/world.txt": b"world of 1.1"})
        new[3], new[2] = new[2], new[3]  # the tools part comes before the failing one
        releases.publish(self.gh, "1.1", new)
        self.gh.fault_always("github.com", "*/Tolvar-data-1.1.zip", {"status": 404})
        run = self.setup(expect_game=False)
        self.assertEqual([b["text"] for b in run.boxes],
                         ["Downloading part 4 of 4 failed. Check your connection and free space, then try again."])
        # The carried-over parts are in the staging folder as second names
        # of the installed files (the status line lasts too short to be seen).
        for path in ("Tolvar/bin/tolvar-game.exe", "Tolvar/tools/python/python.txt"):
            self.assertEqual(os.stat(self.versions("1.1.part", path)).st_ino,
                             os.stat(self.versions("1.0", path)).st_ino, path)

        self.assertEqual(rig.hashes(self.versions("1.0")), before, "every file of 1.0 is as it was")
        self.assertEqual(self.read("current.txt"), b"1.0")
        self.launcher_started(self.r.run(self.r.setup_exe, "--launch", probe=False, expect_records=1), "1.0")
        game = self.r.path("Game", "x")[:-2]
        shutil.copy(self.r.setup_exe, os.path.join(game, "Tolvar.exe"))
        os.makedirs(os.path.join(game, "bin"))
        shutil.copy(os.path.join(self.r.bin, "recorder.exe"), os.path.join(game, "bin", "tolvar-game.exe"))
        shim = self.r.run(os.path.join(game, "Tolvar.exe"), probe=False, expect_records=1)
        self.launcher_started(shim, "1.0")
        self.assertIn('--launch "%s"' % rig.win_path(game), shim.records[0]["cmdline"])

        self.gh.clear_faults()
        self.gh.clear_log()
        self.setup()
        self.assertEqual(self.zips_asked(), ["Tolvar-data-1.1.zip"],
                         "carried-over parts and the verified launcher zip are not fetched again")
        self.assertEqual(self.read("current.txt"), b"1.1")
        self.assertEqual(sorted(os.listdir(self.versions())), ["1.1", "current.txt", "previous.txt"])
        self.assertEqual(self.read("1.1", "Tolvar", "data", "world.txt"), b"world of 1.1")
        after = rig.hashes(self.versions("1.1"))
        for path in ("Tolvar/bin/tolvar-game.exe", "Tolvar/tools/python/python.txt", "Tolvar/Tolvar.exe"):
            self.assertEqual(after[path], before[path], path)

    def test_a_tag_that_differs_only_in_letter_case_is_the_installed_version(self):
        parts = releases.sample_parts(self.r.bin, "1.2")
        releases.publish(self.gh, "V1.2", parts)
        self.setup()
        self.assertEqual(sorted(os.listdir(self.versions())), ["V1.2", "current.txt"])
        releases.publish(self.gh, "v1.2", parts)
        self.gh.clear_log()
        run = self.setup()
        self.assertEqual(self.zips_asked(), [], "the version is installed: nothing is built")
        self.assertTrue(run.records[0]["cmdline"].startswith('"C:\\'), run.records)
        # Windows renames the folder to the list's letter case; Wine keeps a
        # case-only rename as a no-op. Either way it is the one version.
        self.assertEqual(sorted(n.lower() for n in os.listdir(self.versions())),
                         ["current.txt", "previous.txt", "v1.2"])
        self.assertEqual(self.read("current.txt"), b"v1.2")
        folder = [n for n in os.listdir(self.versions()) if n.lower() == "v1.2"][0]
        self.assertEqual(self.read(folder, "installed.txt"), b"v1.2")
        self.assertTrue(os.path.isfile(self.versions(folder, "Tolvar", "bin", "tolvar-game.exe")))
        # The next run finds everything in its place.
        self.gh.clear_log()
        self.setup()
        self.assertEqual(self.zips_asked(), [])
        self.assertEqual(sorted(n.lower() for n in os.listdir(self.versions())),
                         ["current.txt", "previous.txt", "v1.2"])
        self.assertEqual(len(self.r.run(self.r.setup_exe, "--launch", probe=False, expect_records=1).records), 1)

    def test_a_tag_that_is_not_utf8_is_refused_and_changes_nothing(self):
        parts = releases.sample_parts(self.r.bin, "1.0")
        releases.publish(self.gh, "1.0", parts)
        self.setup()
        before = rig.tree(self.r.base)
        lines = releases.setup_list("1.0", parts).replace(b"tag 1.0", b"tag 1.0\xff", 1)
        releases.publish(self.gh, "1.1", parts, list_bytes=lines)
        run = self.setup(expect_game=False)
        self.assertEqual([b["text"] for b in run.boxes], [UNREADABLE])
        after = rig.tree(self.r.base)
        after.pop("downloads")  # made at the start of every run
        self.assertEqual(after, before, "the installed version and its markers are untouched")


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
