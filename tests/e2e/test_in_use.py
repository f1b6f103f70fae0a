"""Files in use: a game left running from the installed version, a virus
scanner that looks at fresh files and folders, a program that holds
current.txt. The real Tolvar-Setup.exe under Wine against the fake GitHub,
with hold.exe holding paths open without sharing the right to delete them,
as those programs do. Wine lets a folder be renamed while a file inside it
is open (Windows does not), so a scanner is played by holding the folder
itself; the Windows rules Wine cannot show are held in the unit tests
(held_rules, path_rules)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

CHECK_CONNECTION = "Downloading part %d of %d failed. Check your connection and free space, then try again."
HELD_BY_GAME = "Tolvar is still running: %s is in use. Close the game, then run the setup again."
HELD_BY_OTHER = ("%s is in use by another program, most likely a virus scanner. Wait a minute, then run the "
                 "setup again; if this happens every time, allow the folder in your antivirus.")
MIB = 1 << 20


class InUse(rig.GitHubSuite):
    suite_name = "in_use"

    def versions(self, *parts):
        return os.path.join(self.r.base, "versions", *parts)

    def win_versions(self, *parts):
        """The path as the setup names it: below %LOCALAPPDATA% on C:."""
        user = os.path.basename(os.path.dirname(os.path.dirname(self.r.local_appdata)))
        return "\\".join(["C:\\users", user, "AppData\\Local\\Tolvar\\versions"] + list(parts))

    def setup(self, expect_game=True):
        run = self.r.run(self.r.setup_exe, expect_records=1 if expect_game else 0, timeout=240)
        self.assertEqual(run.code, 0, run)
        if expect_game:
            self.assertEqual(run.boxes, [], run)
            self.assertEqual(len(run.records), 1, run)
        else:
            self.assertEqual(run.records, [], "no game was started")
        return run

    def boxes(self, run):
        return [b["text"] for b in run.boxes]

    def zips_asked(self):
        return sorted({q["path"].rsplit("/", 1)[1] for q in self.gh.requests()
                       if q["host"] == "github.com" and q["path"].endswith(".zip")})

    def read(self, *parts):
        return rig.read_bytes(self.versions(*parts))

    def install_and_publish_update(self):
        """1.0 installed; 1.1 published, which changes the data part only."""
        old = releases.sample_parts(self.r.bin, "1.0")
        releases.publish(self.gh, "1.0", old)
        self.setup()
        new = list(old)
        new[2] = releases.Part("Tolvar-data-1.1.zip", "Tolvar", "data", "data",
                               {"data/": b"", "data/world.txt": b"world of 1.1"})
        releases.publish(self.gh, "1.1", new)
        return old, new

    def test_an_update_retried_while_the_game_runs_keeps_the_installed_version(self):
        # 1.1 carries the game part over, as second names of 1.0's files,
        # then cannot get its data part: the staging folder keeps a second
        # name of the game's program.
        old, new = self.install_and_publish_update()
        before = rig.hashes(self.versions("1.0"))
        self.gh.fault_always("github.com", "*/Tolvar-data-1.1.zip", {"status": 404})
        run = self.setup(expect_game=False)
        self.assertEqual(self.boxes(run), [CHECK_CONNECTION % (3, 4)])
        staged_game = self.versions("1.1.part", "Tolvar", "bin", "tolvar-game.exe")
        self.assertEqual(os.stat(staged_game).st_ino,
                         os.stat(self.versions("1.0", "Tolvar", "bin", "tolvar-game.exe")).st_ino)

        # The player starts the installed game and runs the setup again: the
        # game's program cannot go through its second name, so the staging
        # folder cannot be emptied, and nothing is built over it.
        self.gh.clear_faults()
        game = self.r.hold(self.versions("1.0", "Tolvar", "bin", "tolvar-game.exe"))
        try:
            game.wait_for("held")
            run = self.setup(expect_game=False)
            self.assertEqual(self.boxes(run), [HELD_BY_GAME % self.win_versions(
                "1.1.part", "Tolvar", "bin", "tolvar-game.exe")])
            self.assertEqual(self.read("current.txt"), b"1.0")
            self.assertFalse(os.path.exists(self.versions("1.1")), "no version was made")
            self.assertEqual(rig.hashes(self.versions("1.0")), before, "the installed version is whole")
        finally:
            game.stop()

        # Once the game is closed, the update is whole.
        self.gh.clear_log()
        self.setup()
        self.assertEqual(self.zips_asked(), ["Tolvar-data-1.1.zip"])
        self.assertEqual(self.read("current.txt"), b"1.1")
        after = rig.hashes(self.versions("1.1"))
        for path in ("Tolvar/bin/tolvar-game.exe", "Tolvar/bin/readme.txt", "Tolvar/Tolvar.exe",
                     "Tolvar/tools/python/python.txt"):
            self.assertEqual(after.get(path), before[path], path)
        self.assertEqual(self.read("1.1", "Tolvar", "data", "world.txt"), b"world of 1.1")
        self.assertNotIn("Tolvar/game-1.0", after)
        self.assertEqual(sorted(os.listdir(self.versions())), ["1.1", "current.txt", "previous.txt"])

    def test_a_scanner_that_holds_each_fresh_folder_does_not_fail_the_install(self):
        # Two parts whose zips make a folder that is then renamed; enough
        # bytes in each that a scanner sees the folder while it fills.
        parts = releases.sample_parts(self.r.bin, "1.0")
        parts[0].files["game-1.0/assets.bin"] = bytes(24 * MIB)
        parts[0] = releases.Part(parts[0].file, "Tolvar", "game-1.0", "bin", parts[0].files)
        parts[2] = releases.Part("Tolvar-data-1.0.zip", "Tolvar", "data-1.0", "data",
                                 {"data-1.0/world.txt": b"world of 1.0", "data-1.0/terrain.bin": bytes(24 * MIB)})
        releases.publish(self.gh, "1.0", parts)
        staged = self.versions("1.0.part", "Tolvar")
        scanner = self.r.hold(os.path.join(staged, "game-1.0"), os.path.join(staged, "data-1.0"), settle_ms=1500)
        try:
            self.setup()
            self.assertEqual(scanner.finish(), 0, scanner.events())
        finally:
            scanner.stop()
        self.assertEqual(len(scanner.events("held")), 2, scanner.events())
        self.assertEqual(self.read("current.txt"), b"1.0")
        self.assertEqual(sorted(os.listdir(self.versions("1.0", "Tolvar"))),
                         ["Tolvar.exe", "bin", "data", "tools"])
        self.assertEqual(self.read("1.0", "Tolvar", "data", "world.txt"), b"world of 1.0")
        self.assertEqual(os.path.getsize(self.versions("1.0", "Tolvar", "bin", "assets.bin")), 24 * MIB)

    def test_an_old_version_held_for_a_moment_is_still_swept(self):
        self.install_and_publish_update()
        # Held from before the update until 1.5 s after the new version took
        # its place: the sweep comes in between.
        holder = self.r.hold(self.versions("1.0"), release_after=self.versions("1.1"), ms=1500)
        try:
            holder.wait_for("held")
            self.setup()
            self.assertEqual(holder.finish(), 0, holder.events())
        finally:
            holder.stop()
        self.assertEqual(sorted(os.listdir(self.versions())), ["1.1", "current.txt", "previous.txt"])

    def test_a_held_current_txt_stops_the_run_before_the_sweep(self):
        self.install_and_publish_update()
        before = rig.hashes(self.versions("1.0"))
        holder = self.r.hold(self.versions("current.txt"))
        try:
            holder.wait_for("held")
            run = self.setup(expect_game=False)
            self.assertEqual(self.boxes(run), [HELD_BY_OTHER % self.win_versions("current.txt")])
            self.assertEqual(self.read("current.txt"), b"1.0")
            self.assertEqual(rig.hashes(self.versions("1.0")), before, "the version current.txt names stays")
            self.assertEqual(self.read("1.1", "installed.txt"), b"1.1")
            self.assertTrue(os.path.isdir(os.path.join(self.r.base, "downloads")), "the cache stays")
        finally:
            holder.stop()
        # Let go, the next run finds 1.1 installed: it fetches nothing,
        # makes it current and sweeps.
        self.gh.clear_log()
        self.setup()
        self.assertEqual(self.zips_asked(), [])
        self.assertEqual(self.read("current.txt"), b"1.1")
        self.assertEqual(sorted(os.listdir(self.versions())), ["1.1", "current.txt", "previous.txt"])


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
