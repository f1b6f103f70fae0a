"""Unpacking with Windows' real tar.exe (libarchive's bsdtar) on the real
Tolvar-Setup.exe under Wine, ANSI code page 1252: installs and updates under
user names from every script, never touching a look-alike folder, and the
zip entries that the archiver itself refuses."""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

UNPACK_FAILED = "Unpacking part %d of %d failed (Windows' tar.exe). Is there enough free space on C:?"


def parts_of(version, data_dir="Tolvar", bin_dir=None):
    """Four parts like the game's, the data part with names from several
    scripts (stored with the zip's UTF-8 flag, as zippers do today)."""
    parts = releases.sample_parts(bin_dir, version)
    parts[2] = releases.Part("Tolvar-data-%s.zip" % version, data_dir, "data", "data",
                             {"data/": b"", "data/world.txt": b"world of " + version.encode(),
                              "data/späß/日本語.txt": "こんにちは".encode("utf-8"),
                              "data/Łódź ünd Ærø.txt": b"names " + version.encode()})
    return parts


def placed(version, data_dir="Tolvar", game_version=None):
    """Where every file of parts_of(version) must end up in its version folder."""
    data = data_dir.replace("/", os.sep)
    return {
        os.path.join("Tolvar", "bin", "tolvar-game.exe"): None,  # the recorder's bytes
        os.path.join("Tolvar", "bin", "readme.txt"): b"Project Tolvar " + (game_version or version).encode(),
        os.path.join("Tolvar", "Tolvar.exe"): None,
        os.path.join(data, "data", "world.txt"): b"world of " + version.encode(),
        os.path.join(data, "data", "späß", "日本語.txt"): "こんにちは".encode("utf-8"),
        os.path.join(data, "data", "Łódź ünd Ærø.txt"): b"names " + version.encode(),
        os.path.join("Tolvar", "tools", "python", "python.txt"): b"python 3.12",
    }


class Unpacking(rig.GitHubSuite):
    suite_name = "unpacking"

    def setUp(self):
        super().setUp()
        self.made = []

    def tearDown(self):
        for folder in self.made:
            shutil.rmtree(folder, ignore_errors=True)

    def folder(self, *names):
        """A folder below C:\\users of the prefix, gone after the test:
        (Unix path, Windows path)."""
        self.made.append(os.path.join(self.r.prefix, "drive_c", "users", names[0]))
        return (os.path.join(self.r.prefix, "drive_c", "users", *names),
                "C:\\users\\" + "\\".join(names))

    def setup(self, base=None, expect_game=True):
        env = {"TOLVAR_SETUP_BASE": base} if base else None
        run = self.r.run(self.r.setup_exe, "", env=env, expect_records=1 if expect_game else 0, timeout=240)
        self.assertEqual(run.code, 0, run)
        if expect_game:
            self.assertEqual(run.boxes, [], run)
            self.assertEqual(len(run.records), 1, run)
        return run

    def assert_installed(self, base, tag, version, run, data_dir="Tolvar", game_version=None):
        versions = os.path.join(base, "versions")
        self.assertEqual(rig.read_bytes(os.path.join(versions, "current.txt")), tag.encode("utf-8"))
        folder = os.path.join(versions, tag)
        for path, want in placed(version, data_dir, game_version).items():
            full = os.path.join(folder, path)
            self.assertTrue(os.path.isfile(full), path)
            if want is not None:
                self.assertEqual(rig.read_bytes(full), want, path)
        self.assertTrue(run.records[0]["exe"].endswith(
            "\\versions\\%s\\Tolvar\\bin\\tolvar-game.exe" % tag), run.records)
        # What tar.exe was given survives any code page; the folder it
        # works in is the wide one.
        self.assertTrue(run.tar_runs, run)
        for t in run.tar_runs:
            self.assertEqual(t["code"], 0, t)
            self.assertTrue(t["cmdline"].isascii(), t)
            self.assertIn("\\versions\\%s.part" % tag, t["cwd"], t)

    def test_install_and_update_under_a_user_name_outside_the_code_page(self):
        base_unix, base = self.folder("王伟", "My Games", "Tolvar")
        releases.publish(self.gh, "1.0", parts_of("1.0", bin_dir=self.r.bin))
        run = self.setup(base)
        self.assert_installed(base_unix, "1.0", "1.0", run)
        self.assertEqual(len(run.tar_runs), 4, run.tar_runs)

        new = parts_of("1.1", bin_dir=self.r.bin)
        new[0] = parts_of("1.0", bin_dir=self.r.bin)[0]  # the game part unchanged
        releases.publish(self.gh, "1.1", new)
        run = self.setup(base)
        self.assert_installed(base_unix, "1.1", "1.1", run, game_version="1.0")
        self.assertEqual(sorted(os.listdir(os.path.join(base_unix, "versions"))),
                         ["1.1", "current.txt", "previous.txt"])

    def test_a_look_alike_folder_beside_is_never_read_or_written(self):
        # Under code page 1252 "Łukasz" is read as "Lukasz". The look-alike
        # holds a tree that a misread would use: a staging folder of the
        # same tag and zips of the same names with other content.
        parts = parts_of("1.0", bin_dir=self.r.bin)
        twin_unix, _ = self.folder("Lukasz", "AppData", "Local", "Tolvar")
        os.makedirs(os.path.join(twin_unix, "versions", "1.0.part", "Tolvar"))
        os.makedirs(os.path.join(twin_unix, "downloads"))
        for p in parts:
            with open(os.path.join(twin_unix, "downloads", p.sha256 + ".zip"), "wb") as f:
                f.write(releases.zip_bytes({"Tolvar/bin/not-yours.txt": b"wrong folder"}))
        with open(os.path.join(twin_unix, "..", "notes.txt"), "wb") as f:
            f.write(b"Lukasz's own file")
        twin_home = os.path.join(twin_unix, "..", "..", "..")
        before = rig.tree(twin_home)

        base_unix, base = self.folder("Łukasz", "AppData", "Local", "Tolvar")
        releases.publish(self.gh, "1.0", parts)
        run = self.setup(base)
        self.assert_installed(base_unix, "1.0", "1.0", run)
        self.assertEqual(rig.tree(twin_home), before, "the look-alike folder stays byte for byte")

        new = parts_of("1.1", bin_dir=self.r.bin)
        releases.publish(self.gh, "1.1", new)
        run = self.setup(base)
        self.assert_installed(base_unix, "1.1", "1.1", run)
        self.assertEqual(rig.tree(twin_home), before, "the look-alike folder stays byte for byte")

    def test_a_tag_and_a_part_folder_outside_the_code_page_install(self):
        # Names from the list never reach tar.exe's arguments, so they need
        # no refusal: they install as they stand.
        tag, data_dir = "1.0-王", "Tolvar/Ünïcødé/データ"
        base_unix, base = self.folder("王伟", "AppData", "Local", "Tolvar")
        # The release tool refuses such a tag (--tag cannot pin it): written by hand.
        releases.publish(self.gh, tag, parts_of("1.0", data_dir, bin_dir=self.r.bin), made=False)
        run = self.setup(base)
        self.assert_installed(base_unix, tag, "1.0", run, data_dir)

    def test_an_entry_that_climbs_out_fails_and_writes_nothing_outside(self):
        parts = parts_of("1.0", bin_dir=self.r.bin)
        parts[2] = releases.Part("Tolvar-data-1.0.zip", "Tolvar", "-", "-",
                                 {"data/world.txt": b"w", "../../escaped.txt": b"out"})
        releases.publish(self.gh, "1.0", parts, made=False)
        run = self.setup(expect_game=False)
        self.assertEqual([b["text"] for b in run.boxes], [UNPACK_FAILED % (3, 4)], run)
        self.assertNotEqual(run.tar_runs[-1]["code"], 0, run.tar_runs)
        escaped = [p for p in rig.tree(self.r.local_appdata) if os.path.basename(p) == "escaped.txt"]
        self.assertEqual(escaped, [])
        self.assertFalse(os.path.exists(os.path.join(self.r.base, "versions", "current.txt")))


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
