"""Releases signed by the publisher, on the real exe built with the test
publisher's key (Tolvar-Setup-keyed.exe, key in tests/e2e/keys) under Wine
against the fake GitHub: a signed release installs and updates; a list that
is not the publisher's is refused before anything is touched or started;
the signature comes from the release of the list's own tag; and the exe
built without a key asks for no signature at all."""

import hashlib
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

NOT_SIGNED = ("This Tolvar release is not signed by its publisher, so it was not installed. Try again in a few "
              "minutes; if this lasts, tell the game's publisher.")
MISMATCH = ("This Tolvar release's signature does not match its publisher's key, so it was not installed. Tell "
            "the game's publisher.")
SIG_OF = "/brannix/ProjectTolvar/releases/download/%s/tolvar-setup.txt.sig"


def hashes(root):
    """Every file below root with its SHA-256, every folder with None."""
    return {path: (hashlib.sha256(data).hexdigest() if data is not None else None)
            for path, data in rig.tree(root).items()}


def data_changed(parts, version):
    """The parts with the data part replaced by the one of version."""
    new = list(parts)
    new[2] = releases.Part("Tolvar-data-%s.zip" % version, "Tolvar", "data", "data",
                           {"data/": b"", "data/world.txt": b"world of " + version.encode()})
    return new


class Signatures(rig.GitHubSuite):
    suite_name = "signatures"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.keyed = os.path.join(cls.r.bin, "Tolvar-Setup-keyed.exe")
        cls.keys = tempfile.mkdtemp(prefix="tolvar-other-key-")
        code, out = releases.run_release_tool("keygen", os.path.join(cls.keys, "other"))
        assert code == 0, out
        cls.other_key = os.path.join(cls.keys, "other", "publisher.pem")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)
        super().tearDownClass()

    # -- helpers --------------------------------------------------------------
    def publish_signed(self, tag, parts, latest=True):
        """Publishes the release as make --sign made it; returns (list, sig)."""
        list_bytes, sig = releases.signed_list(tag, parts)
        releases.publish(self.gh, tag, parts, latest=latest, list_bytes=list_bytes, signature=sig)
        return list_bytes, sig

    def run_setup(self, exe, args="", env=None, expect_game=True):
        run = self.r.run(exe, args, env=env, expect_records=1 if expect_game else 0, timeout=240)
        self.assertEqual(run.code, 0, run)
        if expect_game:
            self.assertEqual((run.boxes, len(run.records)), ([], 1), run)
        return run

    def versions(self, *parts):
        return os.path.join(self.r.base, "versions", *parts)

    def sig_requests(self):
        return [q["path"] for q in self.gh.requests() if q["path"].split("?")[0].endswith(".sig")]

    # -- the main path ------------------------------------------------------
    def test_a_signed_release_installs_and_updates(self):
        parts = releases.sample_parts(self.r.bin, "1.0")
        self.publish_signed("1.0", parts)
        self.run_setup(self.keyed)
        self.assertEqual(rig.read_bytes(self.versions("current.txt")), b"1.0")
        # The list came by the latest link, its signature from its own release.
        self.assertEqual(self.sig_requests(), [SIG_OF % "1.0"])

        self.publish_signed("1.1", data_changed(parts, "1.1"))
        self.gh.clear_log()
        self.run_setup(self.keyed)
        self.assertEqual(rig.read_bytes(self.versions("current.txt")), b"1.1")
        self.assertEqual(rig.read_bytes(self.versions("1.1", "Tolvar", "data", "world.txt")), b"world of 1.1")
        self.assertEqual(self.sig_requests(), [SIG_OF % "1.1"])

    # -- refusals -------------------------------------------------------------
    def test_a_list_that_is_not_the_publishers_is_refused_and_touches_nothing(self):
        old = releases.sample_parts(self.r.bin, "1.0")
        old_list, old_sig = self.publish_signed("1.0", old)
        self.run_setup(self.keyed)
        installed = hashes(self.versions())
        new = data_changed(old, "1.1")
        new_list, new_sig = releases.signed_list("1.1", new)
        # One byte of the list: a program of the attacker's choice to run.
        tampered = new_list.replace(b"run Tolvar/bin/tolvar-game.exe", b"run Tolvar/bin/tolvar-gamE.exe")
        self.assertEqual(len(tampered), len(new_list))
        self.assertNotEqual(tampered, new_list)
        rows = [
            # name, tag, list, signature (None: no asset), message
            ("the list changed by one byte", "1.1", tampered, new_sig, MISMATCH),
            ("signed by another key", "1.1", new_list, releases.sign_bytes(new_list, self.other_key), MISMATCH),
            ("no signature", "1.1", new_list, None, NOT_SIGNED),
            ("an empty signature file", "1.1", new_list, b"", MISMATCH),
            ("a signature cut short", "1.1", new_list, new_sig[:-1], MISMATCH),
            ("the signature of another release's list", "1.1", new_list, old_sig, MISMATCH),
            # Nothing is started either, not even the version installed already.
            ("the installed release's list, changed", "1.0",
             old_list.replace(b"run Tolvar/bin/tolvar-game.exe", b"run Tolvar/bin/tolvar-gamE.exe"), old_sig, MISMATCH),
        ]
        for name, tag, list_bytes, sig, message in rows:
            with self.subTest(name):
                self.gh.reset()
                releases.publish(self.gh, tag, new if tag == "1.1" else old, list_bytes=list_bytes, signature=sig)
                run = self.run_setup(self.keyed, expect_game=False)
                self.assertEqual([(b["title"], b["icon"], b["text"]) for b in run.boxes],
                                 [("Tolvar setup", "error", message)], run)
                self.assertEqual(run.records, [], "nothing was started")
                self.assertEqual(hashes(self.versions()), installed, "the installed version is current and whole")
                self.assertEqual([q["path"] for q in self.gh.requests() if q["path"].endswith(".zip")], [],
                                 "no part was fetched")
                self.assertEqual(os.listdir(os.path.join(self.r.base, "downloads")), [])
                self.assertEqual(self.sig_requests(), [SIG_OF % tag])

        # A first install that is refused leaves no install tree behind.
        self.gh.reset()
        releases.publish(self.gh, "1.1", new, list_bytes=new_list)
        base = self.r.path("fresh", "Tolvar")
        run = self.run_setup(self.keyed, env={"TOLVAR_SETUP_BASE": rig.win_path(base)}, expect_game=False)
        self.assertEqual([b["text"] for b in run.boxes], [NOT_SIGNED], run)
        self.assertEqual(sorted(rig.tree(base)), ["downloads"])

    # -- where the signature comes from ----------------------------------------
    def test_the_signature_comes_from_where_the_list_came_from(self):
        parts = releases.sample_parts(self.r.bin, "1.0")
        self.publish_signed("1.0", parts)
        new = data_changed(parts, "1.1")
        list_1_1, sig_1_1 = self.publish_signed("1.1", new)

        # Pinned: that release's signature, through the release API when the
        # download host fails, as the list would be.
        self.gh.fault_always("github.com", SIG_OF % "1.0", {"status": 503})
        self.run_setup(self.keyed, "--tag 1.0")
        self.assertEqual(rig.read_bytes(self.versions("current.txt")), b"1.0")
        self.assertEqual(self.sig_requests()[0], SIG_OF % "1.0")
        api = [q for q in self.gh.requests(host="api.github.com") if q.get("accept") == "application/octet-stream"]
        self.assertEqual(len(api), 1, self.gh.requests())
        self.assertNotIn(SIG_OF % "1.1", self.sig_requests())

        # A list of one's own: the signature beside it, at its URL and ".sig".
        self.gh.clear_faults()
        self.gh.clear_log()
        self.gh.add_file("github.com", "/mirror/next.txt", list_1_1)
        self.gh.add_file("github.com", "/mirror/next.txt.sig", sig_1_1)
        self.run_setup(self.keyed, env={"TOLVAR_SETUP_LIST": "https://github.com/mirror/next.txt"})
        self.assertEqual(rig.read_bytes(self.versions("current.txt")), b"1.1")
        self.assertEqual(self.sig_requests(), ["/mirror/next.txt.sig"])

    def test_an_exe_built_without_a_key_asks_for_no_signature(self):
        parts = releases.sample_parts(self.r.bin, "1.0")
        # Even a broken signature beside the list changes nothing for it.
        releases.publish(self.gh, "1.0", parts, signature=b"")
        self.run_setup(self.r.setup_exe)
        self.assertEqual(rig.read_bytes(self.versions("current.txt")), b"1.0")
        self.assertEqual(self.sig_requests(), [])


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
