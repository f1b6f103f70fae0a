"""Unpacking on the real Tolvar-Setup.exe under Wine, ANSI code page 1252,
with Windows' real tar.exe (libarchive's bsdtar) and, as on Wine and Proton,
with no tar.exe at all (TOLVAR_TEST_UNPACKER=none): installs and updates
under user names from every script, never touching a look-alike folder; the
zip entries that must not be written; and, without tar.exe, zips from every
common writer unpacked to exactly the tree the archiver writes."""

import os
import random
import shutil
import subprocess
import sys
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

UNPACK_FAILED = "Unpacking part %d of %d failed (Windows' tar.exe). Is there enough free space on C:?"
UNZIP_UNSAFE = ("Part %d of %d was not unpacked: its zip holds the name %s, which would land outside its "
                "folder or which Windows cannot use. Tell the game's publisher.")
UNZIP_UNSUPPORTED = ("Part %d of %d could not be unpacked: its zip stores %s in a way this setup cannot "
                     "read. Tell the game's publisher.")


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


# The tree the writers' zips are made of: folders, an empty one, empty,
# compressible and incompressible files, many small files, and names outside
# ASCII, with times of their own (even seconds: MS-DOS times have no odd ones).
WRITER_FILES = {
    "readme.txt": b"Project Tolvar\r\n" * 50,
    "empty.txt": b"",
    "bin/tolvar-game.dat": bytes(range(256)) * 4096,
    "bin/noise.bin": random.Random(7).randbytes(300000),
    "data/Łódź ünd Ærø.txt": "Łódź".encode("utf-8"),
    "data/日本語/テキスト.txt": "こんにちは".encode("utf-8"),
}
WRITER_FILES.update({"data/small/%03d.txt" % k: b"small %d" % k for k in range(120)})


def write_tree(root):
    stamp = time.mktime((2024, 5, 6, 7, 8, 10, 0, 0, -1))
    for k, (name, data) in enumerate(sorted(WRITER_FILES.items())):
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (stamp + 2 * k, stamp + 2 * k))
    os.makedirs(os.path.join(root, "empty-folder"), exist_ok=True)
    for folder in ("empty-folder", "data/small", "data", "bin"):
        os.utime(os.path.join(root, folder), (stamp - 86400, stamp - 86400))


def writers_zips(work):
    """The same tree zipped by Info-ZIP's zip (to a file, and streamed to a
    pipe, which writes data descriptors), 7-Zip, libarchive's writer, and
    Python's zipfile with every zip64 record forced. {tool: zip bytes}."""
    src = os.path.join(work, "src")
    shutil.rmtree(work, ignore_errors=True)
    write_tree(src)
    out = {}

    # The writers read names in the locale: a UTF-8 one, as on a
    # developer's machine.
    env = dict(os.environ, LC_ALL="C.UTF-8")

    def run(cmd):
        subprocess.run(cmd, cwd=src, env=env, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    run(["zip", "-r", "-q", os.path.join(work, "infozip.zip"), "."])
    with open(os.path.join(work, "infozip-pipe.zip"), "wb") as f:
        zipper = subprocess.Popen(["zip", "-r", "-q", "-", "."], cwd=src, env=env, stdout=subprocess.PIPE,
                                  stdin=subprocess.DEVNULL)
        f.write(zipper.stdout.read())
        assert zipper.wait() == 0
    run(["7zz" if shutil.which("7zz") else "7z", "a", "-tzip", "-bd", os.path.join(work, "7zip.zip"), "."])
    run(["bsdtar", "--format", "zip", "-cf", os.path.join(work, "libarchive.zip"), "."])
    # zip64 everywhere: local headers by force_zip64, and the central
    # directory's fields and end records by limits of 0 while it is written.
    z = zipfile.ZipFile(os.path.join(work, "python-zip64.zip"), "w", zipfile.ZIP_DEFLATED)
    for folder, dirs, files in sorted(os.walk(src)):
        dirs.sort()
        for name in sorted(dirs) + sorted(files):
            path = os.path.join(folder, name)
            if os.path.isdir(path):
                z.write(path, os.path.relpath(path, src))
                continue
            info = zipfile.ZipInfo.from_file(path, os.path.relpath(path, src))
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as source, z.open(info, "w", force_zip64=True) as target:
                shutil.copyfileobj(source, target)
    limits = (zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT)
    zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 0, 0
    try:
        z.close()
    finally:
        zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = limits
    for tool in ("infozip", "infozip-pipe", "7zip", "libarchive", "python-zip64"):
        with open(os.path.join(work, tool + ".zip"), "rb") as f:
            out[tool] = f.read()
    return out


def snapshot(root):
    """{relative name: (bytes, modification time)} of a tree, folders with a
    trailing '/' (every writer here records each folder, with its time)."""
    out = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root).replace(os.sep, "/") + "/"
            out[rel] = (None, int(os.stat(path).st_mtime))
        for name in files:
            path = os.path.join(folder, name)
            out[os.path.relpath(path, root).replace(os.sep, "/")] = (rig.read_bytes(path),
                                                                    int(os.stat(path).st_mtime))
    return out



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
        self.assert_unpacker(run, tag)

    def assert_unpacker(self, run, tag):
        if not self.r.with_tar:
            self.assertEqual(run.tar_runs, [], "no tar.exe, no run of it")
            return
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
        self.assertEqual(len(run.tar_runs), 4 if self.r.with_tar else 0, run.tar_runs)

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
        if self.r.with_tar:
            self.assertEqual([b["text"] for b in run.boxes], [UNPACK_FAILED % (3, 4)], run)
            self.assertNotEqual(run.tar_runs[-1]["code"], 0, run.tar_runs)
        else:
            self.assertEqual([b["text"] for b in run.boxes], [UNZIP_UNSAFE % (3, 4, "../../escaped.txt")], run)
        escaped = [p for p in rig.tree(self.r.local_appdata) if os.path.basename(p) == "escaped.txt"]
        self.assertEqual(escaped, [])
        self.assertFalse(os.path.exists(os.path.join(self.r.base, "versions", "current.txt")))

    @unittest.skipIf(rig.UNPACKER == "tar", "the setup's own unpacker runs only without tar.exe")
    def test_names_that_would_escape_or_that_windows_cannot_keep_write_nothing(self):
        # Each zip holds one good file first: a refused name must stop the
        # part before anything of it is written, not halfway.
        outside = os.path.join(self.r.prefix, "drive_c")
        rows = [
            ("../../../escaped.txt", UNZIP_UNSAFE),
            ("/escaped.txt", UNZIP_UNSAFE),
            ("C:/escaped.txt", UNZIP_UNSAFE),
            ("C:escaped.txt", UNZIP_UNSAFE),
            ("//?/C:/escaped.txt", UNZIP_UNSAFE),
            ("data/game.exe:escaped.txt", UNZIP_UNSAFE),
            ("data/../../escaped.txt", UNZIP_UNSAFE),
            ("data/.. /escaped.txt", UNZIP_UNSAFE),
            ("data/NUL.txt", UNZIP_UNSAFE),
            ("data/link", UNZIP_UNSUPPORTED),  # a symbolic link entry
        ]
        base = os.path.relpath(self.r.base, outside) + os.sep
        before = set(rig.tree(outside))
        for name, message in rows:
            with self.subTest(name=name):
                self.r.reset()
                self.gh.reset()
                buf = __import__("io").BytesIO()
                with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
                    z.writestr("data/first.txt", b"first")
                    info = zipfile.ZipInfo(name)
                    if name == "data/link":
                        info.create_system = 3
                        info.external_attr = 0o120777 << 16
                        z.writestr(info, b"../../../../escaped.txt")
                    else:
                        z.writestr(info, b"escaped")
                parts = parts_of("1.0", bin_dir=self.r.bin)
                parts[2] = releases.Part("Tolvar-data-1.0.zip", "Tolvar", "-", "-", {}, data=buf.getvalue())
                releases.publish(self.gh, "1.0", parts, made=False)
                run = self.setup(expect_game=False)
                self.assertEqual([b["text"] for b in run.boxes], [message % (3, 4, name)], run)
                staging = os.path.join(self.r.base, "versions", "1.0.part", "Tolvar")
                self.assertFalse(os.path.exists(os.path.join(staging, "data", "first.txt")),
                                 "nothing of a refused zip is written")
                new = set(rig.tree(outside)) - before
                self.assertEqual({p for p in new if not (p + os.sep).startswith(base)}, set())
                self.assertFalse(os.path.exists(os.path.join(self.r.base, "versions", "current.txt")))

    @unittest.skipIf(rig.UNPACKER == "tar", "the setup's own unpacker runs only without tar.exe")
    def test_zips_of_every_writer_unpack_to_the_tree_the_archiver_writes(self):
        zips = writers_zips(self.r.path("writers"))
        parts = parts_of("1.0", bin_dir=self.r.bin)
        for tool, data in zips.items():
            parts.append(releases.Part("Tolvar-%s-1.0.zip" % tool, "eq/" + tool, "-", "-", {}, data=data))
        releases.publish(self.gh, "1.0", parts, made=False)
        run = self.setup()
        self.assertEqual(run.tar_runs, [])
        version = os.path.join(self.r.base, "versions", "1.0")
        for tool, data in zips.items():
            with self.subTest(tool=tool):
                zip_file = self.r.path("writers", tool + ".zip")
                with open(zip_file, "wb") as f:
                    f.write(data)
                by_archiver = self.r.path("by-archiver", tool)
                self.r.bsdtar(zip_file, by_archiver)
                ours = snapshot(os.path.join(version, "eq", tool))
                theirs = snapshot(by_archiver)
                self.assertEqual(sorted(ours), sorted(theirs))
                for name in theirs:
                    self.assertEqual(ours[name], theirs[name], name)
                self.assertIn("empty-folder/", theirs, "the tree holds its empty folder")


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
