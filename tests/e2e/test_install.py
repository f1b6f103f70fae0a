"""Whole install and update runs of the real Tolvar-Setup.exe under Wine,
against the fake GitHub. Each case checks what a user and the next run rely
on: the exit code, the request log, the files on disk, and the status lines
and message boxes the user saw."""

import os
import shutil
import subprocess
import sys
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

STORAGE = "release-assets.githubusercontent.com"
LIST_LATEST = "/brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt"
UNREADABLE = "The release's setup list could not be read. Try again later."
NO_RELEASE = ("Tolvar has no release to install from yet. Its releases page says when one is out: "
              "https://github.com/brannix/ProjectTolvar/releases")
SERVERS = ("GitHub's download servers are failing right now (an error 500 or above, tried 8 times "
           "over 3 minutes). This is on GitHub's side: try again in a few minutes, or later today.")
UNPACK_FAILED = "Unpacking part %d of %d failed (Windows' tar.exe). Is there enough free space on C:?"
UNZIP_DAMAGED = "Part %d of %d could not be unpacked: its zip is damaged (%s). Tell the game's publisher."
UNZIP_DISK_FULL = "Unpacking part %d of %d failed: the disk is full. Free some space on %s and run the setup again."


def first_install_lines(n=4):
    lines = ["Looking for the latest Tolvar..."]
    for i in range(1, n + 1):
        lines += ["Downloading part %d of %d (0 MB)..." % (i, n), "Unpacking part %d of %d..." % (i, n)]
    return lines + ["Starting Tolvar..."]


class Install(rig.GitHubSuite):
    suite_name = "install"

    def setUp(self):
        super().setUp()
        self.outside = self.r.path("outside", "keep.txt")
        with open(self.outside, "w") as f:
            f.write("not the installer's")

    # -- helpers --------------------------------------------------------------
    def publish(self, tag, parts=None, **kw):
        parts = parts if parts is not None else releases.sample_parts(self.r.bin, tag)
        releases.publish(self.gh, tag, parts, **kw)
        return parts

    def setup(self, args="", env=None, expect_game=True):
        run = self.r.run(self.r.setup_exe, args, env=env, expect_records=1 if expect_game else 0,
                         timeout=240)
        self.assertEqual(run.code, 0, run)
        return run

    def versions(self, *parts):
        return os.path.join(self.r.base, "versions", *parts)

    def read(self, *parts):
        with open(self.versions(*parts), "rb") as f:
            return f.read()

    def asked_for(self, name):
        """Requests whose path names the asset (download links and API)."""
        return [q for q in self.gh.requests() if name in q["path"]]

    def assert_lines(self, run, expected):
        """The status lines seen are the expected ones, each of them, in
        order, and no other. The window's own "Starting..." counts only as
        the first: the worker replaces it at once, often before the window
        shows."""
        seen = [s for s in run.statuses() if s]
        if seen[:1] == ["Starting..."]:
            seen = seen[1:]
        if self.r.with_tar:
            self.assertEqual(seen, expected)
            return
        # Unpacked in-process, a small part takes well under a millisecond:
        # its "Unpacking" line may come and go between two looks of the
        # probe. Every other line must be seen, and all in order.
        def brief(line):
            return line.startswith("Unpacking part ")
        self.assertEqual([s for s in seen if not brief(s)], [s for s in expected if not brief(s)])
        rest = iter(expected)
        self.assertTrue(all(s in rest for s in seen), "%r is in the order of %r" % (seen, expected))

    def assert_box(self, run, text):
        self.assertEqual([b["text"] for b in run.boxes], [text], run)
        self.assertEqual(run.boxes[0]["title"], "Tolvar setup")
        self.assertEqual(run.records, [], "no game was started")

    def assert_outside_untouched(self):
        self.assertEqual(open(self.outside).read(), "not the installer's")

    # -- the main paths -----------------------------------------------------
    def test_first_install_builds_marks_and_starts_the_game(self):
        parts = self.publish("1.0")
        # Slow answers keep each line up long enough to be seen: on loopback
        # a step can take 15 ms, and the window may be found 150 ms after it
        # was shown.
        self.gh.fault_always("github.com", LIST_LATEST, {"delay": 0.5})
        self.gh.fault_always("github.com", "*.zip", {"delay": 0.2})
        run = self.setup("--launch -windowed")
        self.assert_lines(run, first_install_lines())
        self.assertEqual(run.boxes, [])
        self.assertEqual(self.read("current.txt"), b"1.0")
        self.assertEqual(self.read("1.0", "installed.txt"), b"1.0")
        # One line per part with a part folder: the game (bin), the data and
        # the tools (Tolvar/tools/python); the launcher unpacks into shared
        # ground and has none.
        self.assertEqual(self.read("1.0", "parts.txt").decode(),
                         parts[0].sha256 + "\n" + parts[2].sha256 + "\n" + parts[3].sha256 + "\n")
        self.assertFalse(os.path.exists(self.versions("previous.txt")))
        self.assertEqual(sorted(os.listdir(self.versions())), ["1.0", "current.txt"])
        self.assertFalse(os.path.exists(os.path.join(self.r.base, "downloads")))
        game_dir = self.versions("1.0", "Tolvar", "bin")
        self.assertEqual(self.read("1.0", "Tolvar", "bin", "tolvar-game.exe"),
                         rig.read_bytes(os.path.join(self.r.bin, "recorder.exe")))
        self.assertTrue(os.path.isfile(self.versions("1.0", "Tolvar", "Tolvar.exe")))
        self.assertTrue(os.path.isfile(self.versions("1.0", "Tolvar", "data", "world.txt")))
        self.assertTrue(os.path.isfile(self.versions("1.0", "Tolvar", "tools", "python", "python.txt")))
        self.assertFalse(os.path.exists(self.versions("1.0", "Tolvar", "game-1.0")))
        game = run.records[0]
        win_game_dir = "C:\\users\\%s\\AppData\\Local\\Tolvar\\versions\\1.0\\Tolvar\\bin" % (
            os.path.basename(os.path.dirname(os.path.dirname(self.r.local_appdata))))
        self.assertEqual(game["cmdline"], '"%s\\tolvar-game.exe" --launch -windowed' % win_game_dir)
        self.assertEqual(game["cwd"].rstrip("\\"), win_game_dir)
        self.assertTrue(os.path.isdir(game_dir))
        agents = {q.get("user_agent") for q in self.gh.requests()}
        self.assertEqual(agents, {"Tolvar-Setup/1.0"})

    def test_update_keeps_unchanged_parts_and_downloads_the_changed_one(self):
        old = self.publish("1.0")
        self.setup()
        self.gh.clear_log()
        new = list(old)
        new[2] = releases.Part("Tolvar-data-1.1.zip", "Tolvar", "data", "data",
                               {"data/": b"", "data/world.txt": b"world of 1.1"})
        self.publish("1.1", new)
        run = self.setup()
        # These lines are short-lived; the request log below is the proof.
        self.assertTrue([s for s in run.statuses() if s.endswith("unchanged: kept from the installed version")],
                        run.statuses())
        self.assertEqual(self.read("current.txt"), b"1.1")
        self.assertEqual(self.read("previous.txt"), b"1.0")
        self.assertEqual(sorted(os.listdir(self.versions())), ["1.1", "current.txt", "previous.txt"])
        self.assertEqual(self.read("1.1", "Tolvar", "data", "world.txt"), b"world of 1.1")
        # Kept parts (game, tools) cost no request; the launcher has no part
        # folder and comes again; the changed data part is downloaded.
        self.assertEqual(self.asked_for(old[0].file), [])
        self.assertEqual(self.asked_for(old[3].file), [])
        self.assertTrue(self.asked_for("Tolvar-data-1.1.zip"))
        self.assertTrue(self.asked_for(old[1].file))
        self.assertTrue(os.path.isfile(self.versions("1.1", "Tolvar", "bin", "tolvar-game.exe")))

    def test_a_second_run_touches_nothing_and_mends_a_missing_parts_txt(self):
        self.publish("1.0")
        self.setup()
        written = self.read("1.0", "parts.txt")
        os.remove(self.versions("1.0", "parts.txt"))
        marker = self.versions("1.0", "Tolvar", "bin", "mark.txt")
        open(marker, "w").close()
        self.gh.clear_log()
        # Nothing is built: without a slow list the window can close before
        # the probe has found it.
        self.gh.fault_always("github.com", LIST_LATEST, {"delay": 0.5})
        run = self.setup()
        self.assertEqual([q["path"] for q in self.gh.requests() if q["host"] == "github.com"], [LIST_LATEST])
        self.assertTrue(os.path.exists(marker), "the installed version was left as it was")
        self.assertEqual(self.read("1.0", "parts.txt"), written, "mended as the build wrote it")
        self.assertEqual(run.statuses()[-1], "Starting Tolvar...")

    def test_a_failed_run_keeps_verified_zips_and_the_next_run_carries_on(self):
        parts = self.publish("1.0")
        self.gh.fault_always("github.com", "*" + parts[1].file, {"status": 404})
        run = self.setup(expect_game=False)
        self.assert_box(run, "Downloading part 2 of 4 failed. Check your connection and free space, "
                             "then try again.")
        self.assertTrue(os.path.exists(os.path.join(self.r.base, "downloads", parts[0].sha256 + ".zip")))
        self.gh.clear_faults()
        self.gh.clear_log()
        run = self.setup()
        self.assertEqual(self.asked_for(parts[0].file), [], "part 1 came from the cache")
        self.assertTrue(self.asked_for(parts[1].file))
        self.assertEqual(self.read("current.txt"), b"1.0")

    def test_repair_rebuilds_and_passes_the_rest_of_the_command_line(self):
        self.publish("1.0")
        self.setup()
        marker = self.versions("1.0", "Tolvar", "bin", "mark.txt")
        open(marker, "w").close()
        run = self.setup("--repair --tag 1.0 -fast")
        self.assertFalse(os.path.exists(marker), "the version was built anew")
        self.assertEqual(run.records[0]["cmdline"].split('" ', 1)[1], " --tag 1.0 -fast")
        self.assertEqual(self.read("current.txt"), b"1.0")
        self.assertFalse(os.path.exists(self.versions("previous.txt")))

    def test_pinned_tag_fetches_that_release_and_refuses_another(self):
        self.publish("1.0")
        self.publish("1.1")  # latest
        run = self.setup("--tag 1.0")
        self.assertEqual(self.read("current.txt"), b"1.0")
        self.assertIn("--tag 1.0", run.records[0]["cmdline"])
        self.assertTrue([q for q in self.gh.requests()
                         if q["path"] == "/brannix/ProjectTolvar/releases/download/1.0/tolvar-setup.txt"])
        # The download link of 1.2 still serves 1.1's list, as GitHub may
        # right after a release.
        self.gh.add_release("1.2", {"tolvar-setup.txt": releases.setup_list(
            "1.1", releases.sample_parts(self.r.bin, "1.1"))}, latest=False)
        run = self.setup("--tag 1.2", expect_game=False)
        self.assert_box(run, "GitHub answered with the setup list of 1.1, not 1.2 (its download links can "
                             "lag right after a release). Try the update again in a few minutes.")

    def test_list_from_the_environment_wins_and_the_tag_test_still_holds(self):
        parts = releases.sample_parts(self.r.bin, "2.0")
        releases.publish(self.gh, "2.0", parts, latest=False)
        self.gh.add_file("localhost", "/lists/2.0.txt", releases.setup_list("2.0", parts))
        env = {"TOLVAR_SETUP_LIST": "http://localhost/lists/2.0.txt"}
        self.setup(env=env)
        self.assertEqual(self.read("current.txt"), b"2.0")
        run = self.setup("--tag 3.0", env=env, expect_game=False)
        self.assertIn("setup list of 2.0, not 3.0", run.boxes[0]["text"])

    def test_base_folder_override(self):
        self.publish("1.0")
        base = self.r.path("portable", "x")[:-2]
        self.setup(env={"TOLVAR_SETUP_BASE": rig.win_path(base)})
        with open(os.path.join(base, "versions", "current.txt"), "rb") as f:
            self.assertEqual(f.read(), b"1.0")
        self.assertFalse(os.path.exists(self.r.base))

    # -- the setup list's failures --------------------------------------------
    def test_setup_list_failures_end_with_the_message_that_fits(self):
        api_latest = "/repos/brannix/ProjectTolvar/releases/latest"
        cases = [
            ("no release yet", [("github.com", LIST_LATEST, {"status": 404})], NO_RELEASE),
            ("401 at once", [("github.com", LIST_LATEST, {"status": 401})], SERVERS),
            ("503, release query 404", [("github.com", LIST_LATEST, {"status": 503}),
                                        ("api.github.com", api_latest, {"status": 404})], NO_RELEASE),
        ]
        for name, faults, message in cases:
            with self.subTest(name):
                self.gh.clear_faults()
                self.gh.clear_log()
                for host, path, rule in faults:
                    self.gh.fault_always(host, path, rule)
                run = self.setup(expect_game=False)
                self.assert_box(run, message)
                self.assertFalse([s for s in run.statuses() if "Trying again" in s], "no retry")
                self.assertEqual(len([q for q in self.gh.requests() if q["path"] == LIST_LATEST]), 1)

    def test_setup_list_detours_through_the_api_when_github_fails(self):
        self.publish("1.0")
        self.gh.fault_always("github.com", LIST_LATEST, {"status": 503})
        run = self.setup()
        self.assertFalse([s for s in run.statuses() if "Trying again" in s], "no retry line")
        api = [q for q in self.gh.requests() if q["host"] == "api.github.com"]
        self.assertTrue(any(q.get("accept") == "application/octet-stream" for q in api), api)
        self.assertEqual(self.read("current.txt"), b"1.0")

    def test_a_403_from_the_api_is_retried(self):
        self.publish("1.0")
        self.gh.fault("github.com", LIST_LATEST, {"status": 503})
        self.gh.fault("api.github.com", "/repos/brannix/ProjectTolvar/releases/latest", {"status": 403})
        run = self.setup()
        self.assertIn("GitHub didn't answer (403). Trying again in 3 s...", run.statuses())
        self.assertEqual(self.read("current.txt"), b"1.0")

    def test_hostile_lists_are_refused_before_anything_is_touched(self):
        good = releases.sample_parts(self.r.bin, "1.0")
        hostile = [
            ("tag ..", releases.setup_list("..", good)),
            ("tag with a separator", releases.setup_list("a\\..\\..", good)),
            ("reserved tag", releases.setup_list("CON", good)),
            ("run leaves the version", releases.setup_list("1.0", good, run="..\\..\\evil.exe")),
            ("absolute run", releases.setup_list("1.0", good, run="C:\\Windows\\notepad.exe")),
        ]
        bad_dir = list(good)
        bad_dir[2] = releases.Part("Tolvar-data-1.0.zip", "../../..", "data", "data", {"data/x": b"x"})
        hostile.append(("dir leaves the version", releases.setup_list("1.0", bad_dir)))
        for name, text in hostile:
            with self.subTest(name):
                self.r.reset()
                os.makedirs(self.versions("0.9", "Tolvar"))
                with open(self.versions("current.txt"), "wb") as f:
                    f.write(b"0.9")
                os.makedirs(os.path.dirname(self.outside), exist_ok=True)
                with open(self.outside, "w") as f:
                    f.write("not the installer's")
                before = rig.tree(self.r.base)
                self.gh.add_release("1.0", {"tolvar-setup.txt": text})
                run = self.setup(expect_game=False)
                self.assert_box(run, UNREADABLE)
                after = rig.tree(self.r.base)
                after.pop("downloads")  # made at the start of every run
                self.assertEqual(after, before, "nothing in the base folder changed")
                self.assert_outside_untouched()

    # -- parts ----------------------------------------------------------------
    def test_part_that_does_not_match_its_checksum(self):
        parts = self.publish("1.0")
        parts[0].sha256 = parts[0].sha256.upper()  # never matches a digest
        releases.publish(self.gh, "1.0", parts, made=False)
        run = self.setup(expect_game=False)
        self.assert_box(run, "Part 1 of 4 did not download correctly (its checksum differs). Try again.")
        links = [q for q in self.asked_for(parts[0].file) if q["host"] == "github.com"]
        self.assertEqual(len(links), 1, "one attempt only")
        self.assertEqual(os.listdir(os.path.join(self.r.base, "downloads")), [], "temporary file gone")

    def test_wrong_length_is_retried(self):
        parts = self.publish("1.0")
        self.gh.fault(STORAGE, "*" + parts[0].file + "*", {"cut": 10})
        run = self.setup()
        self.assertIn("Part 1 of 4: GitHub didn't answer (200). Trying again in 3 s...", run.statuses())
        # The second attempt asks for the rest only, and what is installed is
        # the whole part, not the ten bytes.
        fetched = [(q["range"], q["status"], q["sent"]) for q in self.asked_for(parts[0].file)
                   if q["host"] == STORAGE]
        self.assertEqual(fetched, [(None, 200, 10), ("bytes=10-", 206, parts[0].size - 10)])
        self.assertEqual(self.read("current.txt"), b"1.0")
        self.assertEqual(self.read("1.0", "Tolvar", "bin", "tolvar-game.exe"),
                         parts[0].files["game-1.0/tolvar-game.exe"])

    def test_unpacking_failures(self):
        # A zip that matches its checksum but is damaged (a CRC that differs):
        # where tar.exe runs, its verdict stands, with no second try
        # in-process; without it, the setup's own unpacker says what it is.
        parts = releases.sample_parts(self.r.bin, "1.0")
        good = parts[2].data
        crc = zlib.crc32(parts[2].files["data/world.txt"]).to_bytes(4, "little")
        self.assertEqual(good.count(crc), 2)  # local header and central record
        bad = good.replace(crc, bytes([crc[0] ^ 1]) + crc[1:])
        parts[2] = releases.Part(parts[2].file, "Tolvar", "data", "data", {}, data=bad)
        releases.publish(self.gh, "1.0", parts, made=False)
        run = self.setup(expect_game=False)
        if self.r.with_tar:
            self.assert_box(run, UNPACK_FAILED % (3, 4))
            self.assertEqual([t["code"] != 0 for t in run.tar_runs], [False, False, True], run.tar_runs)
        else:
            self.assert_box(run, UNZIP_DAMAGED % (3, 4, "data/world.txt"))
        self.assertFalse(os.path.exists(self.versions("current.txt")))

        # The archive lacks the folder that is to be renamed.
        parts = releases.sample_parts(self.r.bin, "1.0")
        parts[2] = releases.Part("Tolvar-data-1.0.zip", "Tolvar", "dat", "data", {"other/x": b"x"})
        releases.publish(self.gh, "1.0", parts, made=False)
        run = self.setup(expect_game=False)
        self.assert_box(run, "Could not set up part 3 of 4 (renaming dat).")

    def test_a_full_disk_is_told_apart_from_a_damaged_zip(self):
        # A part that packs small and unpacks large, into a base folder on a
        # volume of 2 MiB: the download fits, the unpacking does not.
        volume = self.r.path("small-volume")
        os.makedirs(volume)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", volume], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", volume])
        parts = releases.sample_parts(self.r.bin, "1.0")
        parts[2] = releases.Part("Tolvar-data-1.0.zip", "Tolvar", "data", "data",
                                 {"data/world.bin": bytes(8 << 20)})
        self.publish("1.0", parts)
        run = self.setup(env={"TOLVAR_SETUP_BASE": rig.win_path(volume)}, expect_game=False)
        self.assert_box(run, UNPACK_FAILED % (3, 4) if self.r.with_tar else UNZIP_DISK_FULL % (3, 4, "Z:"))

    def test_part_folders_dot_and_nested_dirs_and_an_existing_rename_target(self):
        recorder = rig.read_bytes(os.path.join(self.r.bin, "recorder.exe"))
        parts = [
            releases.Part("Tolvar-game-1.0.zip", ".", "-", "-", {"Tolvar/bin/tolvar-game.exe": recorder}),
            releases.Part("Tolvar-extra-1.0.zip", "Tolvar/mods/a", "pack", "pack",
                          {"pack/m.txt": b"m"}),
            releases.Part("Tolvar-two-1.0.zip", "Tolvar", "new", "old",
                          {"new/n.txt": b"n", "old/o.txt": b"o"}),
        ]
        self.publish("1.0", parts, made=False)  # the existing rename target is a finding of make
        self.setup()
        self.assertTrue(os.path.isfile(self.versions("1.0", "Tolvar", "mods", "a", "pack", "m.txt")))
        self.assertTrue(os.path.isfile(self.versions("1.0", "Tolvar", "new", "n.txt")),
                        "an existing target leaves the source as it is")
        self.assertTrue(os.path.isfile(self.versions("1.0", "Tolvar", "old", "o.txt")))

    def test_run_file_missing_after_unpacking(self):
        parts = self.publish("1.0")
        releases.publish(self.gh, "1.0", parts, run="Tolvar/bin/missing.exe", made=False)
        run = self.setup(expect_game=False)
        text = run.boxes[0]["text"]
        self.assertTrue(text.startswith("Tolvar is missing after unpacking (C:\\users\\"), text)
        self.assertIn("versions\\1.0.part\\Tolvar\\bin\\missing.exe). Your antivirus may have removed it: "
                      "allow the folder C:\\users\\", text)
        self.assertTrue(text.endswith("\\AppData\\Local\\Tolvar and run the setup again."), text)

    def test_sweep_removes_every_other_folder_and_keeps_the_markers(self):
        self.publish("1.0")
        for name in ("0.8.gone", ".gone", "0.9.part", "0.7"):
            os.makedirs(self.versions(name, "sub"))
            open(self.versions(name, "sub", "f.txt"), "w").close()
        with open(self.versions("previous.txt"), "wb") as f:
            f.write(b"0.6")
        self.setup()
        self.assertEqual(sorted(os.listdir(self.versions())), ["1.0", "current.txt", "previous.txt"])
        self.assertEqual(self.read("previous.txt"), b"0.6", "no current.txt before: previous.txt kept")


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
