#!/usr/bin/python3
"""check --published against the fake GitHub in the sandbox: a release that
make produced and published passes; one whose asset was replaced after the
list was made, one that is missing, a list under another tag, and a
download link that turns to plain http are found.

    /usr/bin/python3 tests/release/test_published.py BUILD/bin/tolvar-release   (as root)
"""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import sandbox  # noqa: E402

sandbox.enter()  # before anything else: the tool must only ever reach the fake GitHub

import shutil  # noqa: E402

import fakegithub  # noqa: E402
from release_fixture import Release  # noqa: E402

TOOL = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else os.environ["TOLVAR_RELEASE_TOOL"])
LIST_1_0 = "/brannix/ProjectTolvar/releases/download/1.0/tolvar-setup.txt"
LIST_LATEST = "/brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt"
KEYS = os.path.join(HERE, "..", "e2e", "keys")
KEY = os.path.join(KEYS, "publisher.pem")
PUB = os.path.join(KEYS, "publisher.pub.pem")


def run_tool(*args):
    r = subprocess.run([TOOL] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=120)
    return r.returncode, r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")


def errors(out):
    return [line for line in out.splitlines() if line.startswith("error: ")]


class PublishedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gh = fakegithub.FakeGitHub().start()
        cls.tmp = tempfile.mkdtemp(prefix="tolvar-published-")

    @classmethod
    def tearDownClass(cls):
        cls.gh.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.gh.clear_faults()
        self.gh.clear_log()

    def publish(self, tag, latest=True, sign=False):
        """Makes the sample release with make, as CI would, and uploads it
        (signed with the test publisher's key when sign)."""
        folder = os.path.join(self.tmp, tag)
        shutil.rmtree(folder, ignore_errors=True)
        Release.sample(tag).write(folder, make_input=True)
        code, out = run_tool("make", folder, *(["--sign", KEY] if sign else []))
        self.assertEqual(code, 0, out)
        assets = {}
        for name in os.listdir(folder):
            if name != "tolvar-setup.in":
                with open(os.path.join(folder, name), "rb") as f:
                    assets[name] = f.read()
        self.gh.add_release(tag, assets, latest=latest)
        return assets

    def test_a_release_as_made_passes_by_tag_and_as_the_latest(self):
        assets = self.publish("1.0")
        code, out = run_tool("check", "--published", "1.0")
        self.assertEqual((code, errors(out)), (0, []), out)
        self.assertTrue(self.gh.requests(host="github.com", path=LIST_1_0))
        # Every part came through the download link and its redirect to storage.
        self.assertEqual(len([q for q in self.gh.requests() if q["host"] in fakegithub.STORAGE_HOSTS]),
                         len(assets))
        code, out = run_tool("check", "--published")
        self.assertEqual((code, errors(out)), (0, []), out)
        self.assertTrue(self.gh.requests(path=LIST_LATEST))

    def test_an_asset_replaced_after_the_list_was_made(self):
        assets = self.publish("1.0")
        # Uploaded again from another build: other bytes under the same name.
        assets["Tolvar-data-1.0.zip"] = assets["Tolvar-data-1.0.zip"][:-1] + b"!"
        self.gh.add_release("1.0", assets)
        code, out = run_tool("check", "--published", "1.0")
        self.assertEqual(code, 1, out)
        self.assertEqual([e for e in errors(out) if "its sha256 is not the zip's" in e and
                          e.startswith("error: part 3 of 4 (Tolvar-data-1.0.zip)")], errors(out)[:1], out)
        self.assertIn("players get \"Part 3 of 4 did not download correctly (its checksum differs). Try again.\"",
                      out)

    def test_a_failing_download_host_is_bypassed_through_the_api_as_the_setup_does(self):
        self.publish("1.0")
        self.gh.fault_always("github.com", "*/download/1.0/Tolvar-game-1.0.zip", {"status": 503})
        code, out = run_tool("check", "--published", "1.0")
        self.assertEqual((code, errors(out)), (0, []), out)
        self.assertIn("warning: part 1 of 4 (Tolvar-game-1.0.zip): the download host answered HTTP 503, and the "
                      "part came through the release API", out)
        api = self.gh.requests(host="api.github.com")
        self.assertTrue([q for q in api if q.get("accept") == "application/octet-stream"], api)

    def test_what_players_cannot_fetch(self):
        self.publish("1.0")
        other = self.publish("1.1", latest=False)
        cases = [
            ("no such release", ("9.9",), [], "cannot be fetched (HTTP 404): players get \"Tolvar has no release"),
            ("a list that names another tag", ("1.2",), [("add_release", "1.2")],
             "the list's tag '1.1' is not the release's tag '1.2'"),
            ("an asset that is gone", ("1.0",),
             [("fault", "github.com", "*/download/1.0/Tolvar-data-1.0.zip", {"status": 404})],
             "part 3 of 4 (Tolvar-data-1.0.zip): its url 'https://github.com/brannix/ProjectTolvar/releases/"
             "download/1.0/Tolvar-data-1.0.zip' cannot be fetched (HTTP 404): players get \"Downloading part 3 of 4 "
             "failed. Check your connection and free space, then try again.\""),
            ("a redirect down to plain http", ("1.0",),
             [("fault", "github.com", "*/download/1.0/Tolvar-game-1.0.zip",
               {"redirect": "http://objects.githubusercontent.com/x.zip"})],
             "part 1 of 4 (Tolvar-game-1.0.zip): its url"),
        ]
        for name, args, setup, wanted in cases:
            with self.subTest(name):
                self.gh.clear_faults()
                for step in setup:
                    if step[0] == "add_release":
                        self.gh.add_release(step[1], {"tolvar-setup.txt": other["tolvar-setup.txt"]}, latest=False)
                    else:
                        self.gh.fault_always(*step[1:])
                code, out = run_tool("check", "--published", *args)
                self.assertEqual(code, 1, out)
                self.assertTrue([e for e in errors(out) if wanted in e], "wanted %r in:\n%s" % (wanted, out))
        self.assertIn("redirected from https to http://objects.githubusercontent.com/x.zip", out)

    def test_the_signature_from_the_lists_own_release_as_the_setup_fetches_it(self):
        self.publish("1.0", sign=True)
        code, out = run_tool("check", "--published", "--key", PUB)
        self.assertEqual((code, errors(out)), (0, []), out)
        # Never by the latest link, which may have moved on since the list came.
        self.assertEqual([q["path"] for q in self.gh.requests(path="*.sig")],
                         ["/brannix/ProjectTolvar/releases/download/1.0/tolvar-setup.txt.sig"])

        self.gh.fault_always("github.com", "*/tolvar-setup.txt.sig", {"status": 503})
        code, out = run_tool("check", "--published", "1.0", "--key", PUB)
        self.assertEqual((code, errors(out)), (0, []), out)
        self.assertIn("warning: the signature: the download host answered HTTP 503, and it came through the "
                      "release API", out)

        self.gh.clear_faults()
        self.publish("1.1")  # unsigned
        code, out = run_tool("check", "--published", "--key", PUB)
        self.assertEqual(code, 1, out)
        self.assertEqual(errors(out), [
            "error: https://github.com/brannix/ProjectTolvar/releases/download/1.1/tolvar-setup.txt.sig cannot be "
            "fetched (HTTP 404): players get \"This Tolvar release is not signed by its publisher, so it was not "
            "installed. Try again in a few minutes; if this lasts, tell the game's publisher.\""], out)
        # The release that does not ask for a signature is not held to one.
        code, out = run_tool("check", "--published")
        self.assertEqual((code, errors(out)), (0, []), out)


if __name__ == "__main__":
    unittest.main()
