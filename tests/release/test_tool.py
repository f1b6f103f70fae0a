#!/usr/bin/python3
"""tolvar-release against small releases built in temporary folders: a table
of bad releases, one row per kind of finding, a table of good ones that must
pass clean, and make, --from and the command line.

    /usr/bin/python3 tests/release/test_tool.py BUILD/bin/tolvar-release
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from release_fixture import Entry, Part, Release  # noqa: E402

TOOL = None


def run_tool(*args):
    r = subprocess.run([TOOL] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE)
    return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")


def errors(out):
    return [line for line in out.splitlines() if line.startswith("error: ")]


def warnings(out):
    return [line for line in out.splitlines() if line.startswith("warning: ")]


# -- the bad releases: (name, how the sample is spoilt, text of the finding) --

def edit(old, new, count=1):
    def change(r):
        previous = r.edit
        r.edit = lambda t: (previous(t) if previous else t).replace(old, new, count)
    return change


def part_attr(zip_name, **values):
    def change(r):
        for k, v in values.items():
            setattr(r.part(zip_name), k, v)
    return change


def add_entry(zip_name, *entries):
    def change(r):
        r.zips[zip_name].extend(entries)
    return change


def set_tag(tag):
    def change(r):
        r.tag = tag
    return change


def set_run(run):
    def change(r):
        r.run = run
    return change


def seventeen_parts(r):
    for k in range(13):
        name = "Tolvar-extra-%d.zip" % k
        r.zips[name] = [Entry("extra%d/x.txt" % k)]
        r.parts.append(Part(name, "Tolvar", "extra%d" % k, "extra%d" % k))


def shared_folder(r):
    r.zips["Tolvar-data2-1.0.zip"] = [Entry("data/more.txt")]
    r.parts.append(Part("Tolvar-data2-1.0.zip", "Tolvar", "data", "data"))


def accidental_tool(r):
    r.zips["Tolvar-python-helper.zip"] = [Entry("helper.txt")]
    r.parts.append(Part("Tolvar-python-helper.zip", "Tolvar", "-", "-"))


def missing_zip(r):
    del r.zips["Tolvar-data-1.0.zip"]


def not_a_zip(r):
    r.zips["Tolvar-data-1.0.zip"] = b"<html>Not Found</html>"


GAME = "Tolvar-game-1.0.zip"
DATA = "Tolvar-data-1.0.zip"

BAD = [
    # lines the setup ignores or cuts
    ("incomplete part line", edit(" bin https", " https"), "line 3: the setup skips this part line: it has 5 of the 6 words"),
    ("size that is no number", part_attr(GAME, size="big"), "line 3: the setup skips this part line: its size 'big' is not a plain number"),
    ("size with letters after it", edit(" Tolvar data data", "kb Tolvar data data"), "is not a plain number of bytes"),
    ("word over its width", part_attr(DATA, dir="Tolvar/" + "d" * 300), "its dir is 307 bytes long, over the 259"),
    ("tag over its width", set_tag("1." + "0" * 200), "line 1: the tag is 202 bytes long; the setup reads only its first 127"),
    ("words after the tag", edit("tag 1.0", "tag 1.0 beta"), "line 1: the setup ignores what follows the tag: 'beta'"),
    ("seventeen parts", seventeen_parts, "line 19: one part line too many: the setup reads only the first 16 parts"),
    ("line of no kind", edit("tag 1.0\n", "tag 1.0\nTag 1.1\n"), "line 2: the setup ignores this line: 'Tag 1.1' (keywords are written in lower case)"),
    ("tab after the keyword", edit("run ", "run\t"), "line 2: the setup ignores this line"),
    ("second tag line", edit("run ", "tag 1.1\nrun "), "line 2: a second tag line: the setup takes this tag and drops the one of line 1"),
    ("no tag at all", edit("tag 1.0\n", ""), "the list has no tag line with a tag"),
    ("a NUL inside", edit("run ", "\0run "), "the list holds a NUL byte at byte 9"),
    # values the setup refuses
    ("dir leading outside", part_attr(DATA, dir="../.."), "the setup refuses part 3 of 4 (Tolvar-data-1.0.zip): its dir '../..'"),
    ("absolute run", set_run("C:\\Windows\\notepad.exe"), "the setup refuses the run 'C:\\Windows\\notepad.exe'"),
    ("device name as tag", set_tag("CON"), "the setup refuses the tag 'CON'"),
    ("tag --tag cannot carry", set_tag("1.0+hotfix"), "the tag '1.0+hotfix' holds characters that \"--tag\" cannot carry"),
    # digests and sizes
    ("upper-case digest", lambda r: part_attr(GAME, sha256=__import__("hashlib").sha256(
        r.zip_data()[GAME]).hexdigest().upper())(r), "part 1 of 4 (Tolvar-game-1.0.zip): its sha256 is written with upper-case hex digits"),
    ("digest of another zip", part_attr(GAME, sha256="ab" * 32), "part 1 of 4 (Tolvar-game-1.0.zip): its sha256 is not the zip's"),
    ("size that differs", part_attr(GAME, size=12), "its size 12 is not the zip's"),
    ("size 0", part_attr(GAME, size=0), "its size is 0 (not checked)"),
    ("zip not in the folder", missing_zip, "its zip 'Tolvar-data-1.0.zip' (the last segment of its url) is not in"),
    ("file that is no zip", not_a_zip, "part 3 of 4 (Tolvar-data-1.0.zip): its file is not a zip archive"),
    # renames and the run file
    ("from folder missing", part_attr(GAME, from_="game-2.0"),
     "part 1 of 4 (Tolvar-game-1.0.zip): its zip has no 'game-2.0' at its top, so there is no 'Tolvar/game-2.0' to rename"),
    ("rename target in the zip", add_entry(GAME, Entry("bin/old.txt")),
     "its rename target 'Tolvar/bin' exists already (its own zip holds it)"),
    ("run brought by no part", set_run("Tolvar/bin/missing.exe"), "the run file 'Tolvar/bin/missing.exe' is brought by no part"),
    # part folders
    ("two parts, one part folder", shared_folder, "part 5 of 5 (Tolvar-data2-1.0.zip): its part folder 'Tolvar\\data' is also the part folder of part 3 of 5"),
    ("tool archive by accident", accidental_tool, "it counts as the python tools archive because its file name begins with Tolvar-python-"),
    # entries tar.exe refuses or rewrites
    ("entry with ..", add_entry(DATA, Entry("data/../../evil.txt")), "1 entry with a '..' segment, first 'data/../../evil.txt'"),
    ("absolute entry", add_entry(DATA, Entry("/data/abs.txt")), "1 entry with an absolute name, first '/data/abs.txt': Windows' tar.exe strips the front and writes 'data/abs.txt'"),
    ("entry with a drive letter", add_entry(DATA, Entry("C:/data/c.txt")), "beginning with a drive letter, first 'C:/data/c.txt'"),
    ("entry with a backslash", add_entry(DATA, Entry("data/sub\\b.txt")), "with '\\' in the name, first 'data/sub\\b.txt'"),
    ("entry with a character Windows refuses", add_entry(DATA, Entry("data/what?.txt")), "writes 'data/what_.txt'"),
    ("entry Windows cannot keep", add_entry(DATA, Entry("data/aux.txt")), "a name Windows cannot keep"),
    ("non-ASCII name without the flag", add_entry(DATA, Entry("data/\u00c4rger.txt", flag=False)),
     "without the zip's UTF-8 flag, first 'data/\u00c4rger.txt': Windows' tar.exe decodes such names in the OEM code page and writes, on an English Windows, 'data/\u251c\u00e4rger.txt'"),
    ("flagged name that is no UTF-8", add_entry(DATA, Entry("", raw=b"data/bad\xff.txt")), "carrying the UTF-8 flag with a name that is not UTF-8"),
    ("symbolic link", add_entry(DATA, Entry("data/link", link="world.txt")), "it holds 1 symbolic link, first 'data/link'"),
]


# -- releases that are fine as they are ---------------------------------------

def nested_rename(r):
    r.zips["Tolvar-mods-1.0.zip"] = [Entry("pack/m.txt")]
    r.parts.append(Part("Tolvar-mods-1.0.zip", "Tolvar/mods/a", "pack", "pack"))


def flagged_non_ascii(r):
    r.zips[DATA].append(Entry("data/\u00c4rger \u65e5\u672c.txt"))


def case_of_from(r):
    r.part(GAME).from_ = "GAME-1.0"


def crlf_lines(r):
    r.edit = lambda t: t.replace("\n", "\r\n")


GOOD = [
    ("the sample", lambda r: None),
    ("a part renamed in a nested dir", nested_rename),
    ("non-ASCII names with the flag", flagged_non_ascii),
    ("from in another letter case (Windows renames it all the same)", case_of_from),
    ("CR LF line ends", crlf_lines),
]


class ReleaseToolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tolvar-release-test-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def folder(self, name):
        path = os.path.join(self.tmp, name.replace(" ", "-").replace("/", "-"))
        os.makedirs(path)
        return path

    def test_each_kind_of_bad_release_gets_its_finding(self):
        for name, spoil, wanted in BAD:
            with self.subTest(name):
                r = Release.sample()
                spoil(r)
                folder = self.folder(name)
                r.write(folder)
                code, out, err = run_tool("check", folder)
                self.assertEqual(code, 1, out + err)
                self.assertTrue([e for e in errors(out) if wanted in e], "wanted %r in:\n%s" % (wanted, out))

    def test_good_releases_pass_clean(self):
        for name, change in GOOD:
            with self.subTest(name):
                r = Release.sample()
                change(r)
                folder = self.folder(name)
                r.write(folder)
                code, out, err = run_tool("check", folder)
                self.assertEqual((code, errors(out)), (0, []), out + err)
                # The launcher unpacks into the shared Tolvar folder: it has
                # no part folder, and that costs players its bytes each time.
                self.assertEqual(len([w for w in warnings(out) if "has no part folder" in w]), 1, out)
                self.assertIn("part 2 of ", warnings(out)[0])

    def test_make_writes_the_list_that_check_passes(self):
        r = Release.sample()
        folder = self.folder("make")
        r.write(folder, make_input=True)
        with open(os.path.join(folder, "tolvar-setup.in"), "a") as f:
            f.write("# a comment, and an empty line\n\n")
        code, out, err = run_tool("make", folder)
        self.assertEqual(code, 0, out + err)
        with open(os.path.join(folder, "tolvar-setup.txt"), "rb") as f:
            made = f.read()
        # The list as it should be: lower-case digests, exact sizes, LF ends.
        self.assertEqual(made, r.list_text().encode())
        self.assertEqual(run_tool("check", folder)[0], 0)

    def test_make_keeps_no_list_that_check_refuses(self):
        cases = [
            ("a zip that lacks the folder to rename", part_attr(GAME, from_="game-2.0"),
             "its zip has no 'game-2.0' at its top"),
            ("a zip that is missing", missing_zip, "tolvar-setup.in line 6: the zip 'Tolvar-data-1.0.zip' is not in"),
            ("a line make does not know", lambda r: setattr(r, "run", r.run + " extra"), "tolvar-setup.in line 2: run takes one word, not 2"),
        ]
        for name, spoil, wanted in cases:
            with self.subTest(name):
                r = Release.sample()
                spoil(r)
                folder = self.folder("make " + name)
                r.write(folder, make_input=True)
                with open(os.path.join(folder, "tolvar-setup.txt"), "w") as f:
                    f.write("an old list that must not stay\n")
                code, out, err = run_tool("make", folder)
                self.assertEqual(code, 1, out + err)
                self.assertTrue([e for e in errors(out) if wanted in e], "wanted %r in:\n%s" % (wanted, out))
                if "is not in" not in wanted and "takes one word" not in wanted:
                    self.assertFalse(os.path.exists(os.path.join(folder, "tolvar-setup.txt")))

    def test_from_tells_what_an_update_carries_over_and_downloads(self):
        old = Release.sample("1.0")
        new = Release.sample("1.1")
        # Unchanged game and tools; the launcher and data change.
        new.zips["Tolvar-game-1.1.zip"] = old.zips["Tolvar-game-1.0.zip"]
        new.part("Tolvar-game-1.1.zip").from_ = "game-1.0"
        folder = self.folder("update")
        old_folder = self.folder("old")
        data = new.write(folder)
        old.write(old_folder)
        code, out, err = run_tool("check", folder, "--from", os.path.join(old_folder, "tolvar-setup.txt"))
        self.assertEqual(code, 0, out + err)
        self.assertIn("update from 1.0: part 1 of 4 (Tolvar-game-1.1.zip) is carried over (Tolvar\\bin)", out)
        self.assertIn("update from 1.0: part 4 of 4 (Tolvar-python-3.12.zip) is carried over (Tolvar\\tools\\python)", out)
        self.assertIn("update from 1.0: part 3 of 4 (Tolvar-data-1.1.zip) is downloaded", out)
        size = len(data["Tolvar-launcher-1.1.zip"]) + len(data["Tolvar-data-1.1.zip"])
        self.assertIn("warning: an update from 1.0 downloads 2 of 4 parts, %d bytes" % size, out)

    def test_bad_usage_exits_2(self):
        folder = self.folder("usage")
        Release.sample().write(folder)
        for args in [(), ("frobnicate",), ("make",), ("check",), ("check", folder, "--from"),
                     ("check", folder, "--published"), ("check", os.path.join(folder, "nothing-here")),
                     ("make", folder), ("check", folder, "--from", os.path.join(folder, "Tolvar-data-1.0.zip")),
                     ("check", "--published", "1.0/x"), ("make", folder, "--sign"),
                     ("make", folder, "--key", "k.pem"), ("check", folder, "--key"), ("keygen",),
                     ("keygen", folder, folder)]:
            with self.subTest(args):
                code, out, err = run_tool(*args)
                self.assertEqual(code, 2, out + err)
                self.assertTrue(err, "says what is wrong")


NOT_SIGNED = ("players get \"This Tolvar release is not signed by its publisher, so it was not installed. Try "
              "again in a few minutes; if this lasts, tell the game's publisher.\"")
MISMATCH = ("players get \"This Tolvar release's signature does not match its publisher's key, so it was not "
            "installed. Tell the game's publisher.\"")


def openssl(*args):
    r = subprocess.run(["openssl"] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT)
    return r.returncode, r.stdout.decode("utf-8", "replace")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


class SigningTest(unittest.TestCase):
    """keygen, make --sign and check --key: what a publisher runs to sign
    releases, and what it tells about signatures that a setup built with the
    key would refuse."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tolvar-signing-test-")
        cls.keys = os.path.join(cls.tmp, "keys")
        code, out, err = run_tool("keygen", cls.keys)
        assert code == 0, out + err
        cls.key = os.path.join(cls.keys, "publisher.pem")
        cls.pub = os.path.join(cls.keys, "publisher.pub.pem")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def signed_release(self, name, tag="1.0"):
        folder = os.path.join(self.tmp, name)
        Release.sample(tag).write(folder, make_input=True)
        code, out, err = run_tool("make", folder, "--sign", self.key)
        self.assertEqual(code, 0, out + err)
        return folder

    def test_keygen_writes_a_private_key_for_the_owner_alone_and_never_overwrites_one(self):
        self.assertEqual(os.stat(self.key).st_mode & 0o777, 0o600)
        self.assertTrue(read(self.pub).startswith(b"-----BEGIN PUBLIC KEY-----\n"))
        code, out = openssl("pkey", "-in", self.key, "-noout", "-text")
        self.assertEqual(code, 0, out)
        self.assertIn("NIST CURVE: P-256", out)
        # The public half is the private key's own.
        code, out = openssl("pkey", "-in", self.key, "-pubout")
        self.assertEqual(out.encode(), read(self.pub))

        before = (read(self.key), read(self.pub))
        code, out, err = run_tool("keygen", self.keys)
        self.assertEqual(code, 2, out + err)
        self.assertIn("never overwrites", err)
        self.assertEqual((read(self.key), read(self.pub)), before)
        # One half left from an earlier run is not replaced either.
        half = os.path.join(self.tmp, "half")
        os.makedirs(half)
        write(os.path.join(half, "publisher.pem"), b"someone's key")
        code, out, err = run_tool("keygen", half)
        self.assertEqual(code, 2, out + err)
        self.assertEqual(sorted(os.listdir(half)), ["publisher.pem"])
        self.assertEqual(read(os.path.join(half, "publisher.pem")), b"someone's key")

    def test_make_signs_what_openssl_and_check_verify(self):
        folder = self.signed_release("signed")
        sig = os.path.join(folder, "tolvar-setup.txt.sig")
        code, out = openssl("dgst", "-sha256", "-verify", self.pub, "-signature", sig,
                            os.path.join(folder, "tolvar-setup.txt"))
        self.assertEqual((code, out.strip()), (0, "Verified OK"))
        code, out, err = run_tool("check", folder, "--key", self.pub)
        self.assertEqual((code, errors(out)), (0, []), out + err)
        # Made by openssl alone, as a publisher without this tool would.
        write(sig, b"")
        code, out = openssl("dgst", "-sha256", "-sign", self.key, "-out", sig, os.path.join(folder, "tolvar-setup.txt"))
        self.assertEqual(code, 0, out)
        code, out, err = run_tool("check", folder, "--key", self.pub)
        self.assertEqual((code, errors(out)), (0, []), out + err)

    def test_check_finds_each_signature_a_signed_setup_refuses(self):
        other = os.path.join(self.tmp, "other-keys")
        self.assertEqual(run_tool("keygen", other)[0], 0)
        source = self.signed_release("source")
        good_sig = read(os.path.join(source, "tolvar-setup.txt.sig"))
        other_list = read(os.path.join(self.signed_release("source-1.1", "1.1"), "tolvar-setup.txt.sig"))

        def sign_with(key):
            def change(folder):
                code, out = openssl("dgst", "-sha256", "-sign", key, "-out", os.path.join(folder, "tolvar-setup.txt.sig"),
                                    os.path.join(folder, "tolvar-setup.txt"))
                self.assertEqual(code, 0, out)
            return change

        def sig_bytes(data):
            return lambda folder: write(os.path.join(folder, "tolvar-setup.txt.sig"), data)

        def one_byte_of_the_list(folder):
            path = os.path.join(folder, "tolvar-setup.txt")
            write(path, read(path).replace(b"tag 1.0", b"tag 1.1"))

        cases = [
            ("no signature", lambda folder: os.remove(os.path.join(folder, "tolvar-setup.txt.sig")),
             "tolvar-setup.txt.sig is missing: " + NOT_SIGNED),
            ("signed by another key", sign_with(os.path.join(other, "publisher.pem")),
             "it is no signature of this list by this key: " + MISMATCH),
            ("the list changed after signing", one_byte_of_the_list,
             "it is no signature of this list by this key: " + MISMATCH),
            ("the signature of another release's list", sig_bytes(other_list),
             "it is no signature of this list by this key: " + MISMATCH),
            ("an empty signature file", sig_bytes(b""), "it is empty: " + MISMATCH),
            ("a signature cut short", sig_bytes(good_sig[:-1]),
             "its bytes are no ECDSA signature in the one DER form the setup reads: " + MISMATCH),
            ("a PEM file, not DER", sig_bytes(b"-----BEGIN SIGNATURE-----\n"),
             "its bytes are no ECDSA signature in the one DER form the setup reads: " + MISMATCH),
        ]
        for name, spoil, wanted in cases:
            with self.subTest(name):
                folder = os.path.join(self.tmp, "spoilt-" + name.replace(" ", "-").replace("'", ""))
                shutil.copytree(source, folder)
                spoil(folder)
                code, out, err = run_tool("check", folder, "--key", self.pub)
                self.assertEqual(code, 1, out + err)
                self.assertTrue([e for e in errors(out) if e.endswith(wanted)], "wanted %r in:\n%s" % (wanted, out))
                # Without a key nothing is asked of the signature.
                code, out, err = run_tool("check", folder)
                self.assertEqual((code, errors(out)), (0, []), out + err)

    def test_make_leaves_no_list_without_its_signature_and_no_stale_signature(self):
        # Without --sign, a signature of the list that make replaces goes.
        folder = self.signed_release("restale")
        code, out, err = run_tool("make", folder)
        self.assertEqual(code, 0, out + err)
        self.assertIn("removed %s/tolvar-setup.txt.sig" % folder, out)
        self.assertFalse(os.path.exists(os.path.join(folder, "tolvar-setup.txt.sig")))

        # A key make cannot sign with stops it before anything is written.
        p384 = os.path.join(self.tmp, "p384.pem")
        self.assertEqual(openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-384", "-out", p384)[0], 0)
        for name, key in [("the public key", self.pub), ("a P-384 key", p384), ("no file", p384 + ".missing")]:
            with self.subTest(name):
                folder = os.path.join(self.tmp, "badkey-" + name.replace(" ", "-"))
                Release.sample().write(folder, make_input=True)
                code, out, err = run_tool("make", folder, "--sign", key)
                self.assertEqual(code, 2, out + err)
                self.assertTrue(err)
                self.assertEqual(sorted(f for f in os.listdir(folder) if f.startswith("tolvar-setup.txt")), [])

        # A release check refuses is neither kept nor signed.
        r = Release.sample()
        part_attr(GAME, from_="game-2.0")(r)
        folder = os.path.join(self.tmp, "refused")
        r.write(folder, make_input=True)
        code, out, err = run_tool("make", folder, "--sign", self.key)
        self.assertEqual(code, 1, out + err)
        self.assertEqual(sorted(f for f in os.listdir(folder) if f.startswith("tolvar-setup.txt")), [])

    def test_a_key_the_setup_cannot_be_built_with_is_bad_usage(self):
        folder = self.signed_release("keyusage")
        compressed = os.path.join(self.tmp, "compressed.pub.pem")
        code, out = openssl("ec", "-in", self.key, "-pubout", "-conv_form", "compressed", "-out", compressed)
        self.assertEqual(code, 0, out)
        for name, key in [("the private key", self.key), ("a compressed point", compressed)]:
            with self.subTest(name):
                code, out, err = run_tool("check", folder, "--key", key)
                self.assertEqual(code, 2, out + err)
                self.assertIn("is no key the setup can be built with", err)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else os.environ["TOLVAR_RELEASE_TOOL"])
    unittest.main()
