"""Downloads cut short continue where they stopped: the real Tolvar-Setup.exe
under Wine against the fake GitHub's storage host, which serves byte ranges
and can cut, ignore or garble them. Each case checks the install, the range
requests the storage host saw and the bytes it sent."""

import hashlib
import os
import random
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402

STORAGE = "release-assets.githubusercontent.com"
MIB = 1 << 20
CHUNK = 65536  # what the product reads at a time


class Resume(rig.GitHubSuite):
    suite_name = "resume"

    def setUp(self):
        super().setUp()
        rng = random.Random(self.id())
        self.parts = releases.sample_parts(self.r.bin, "1.0")
        # The data part: 6 MiB that do not compress.
        self.parts[2] = releases.Part("Tolvar-data-1.0.zip", "Tolvar", "data", "data",
                                      {"data/": b"", "data/world.bin": rng.randbytes(6 * MIB)})
        self.data = self.parts[2]
        releases.publish(self.gh, "1.0", self.parts)

    def storage_path(self):
        return "*/%d" % self.gh.release("1.0").asset(self.data.file).id

    def data_requests(self):
        return [q for q in self.gh.requests(host=STORAGE) if q["path"].split("?")[0].endswith(
            "/%d" % self.gh.release("1.0").asset(self.data.file).id)]

    def setup(self, expect_game=True):
        run = self.r.run(self.r.setup_exe, expect_records=1 if expect_game else 0, timeout=240)
        self.assertEqual(run.code, 0, run)
        return run

    def assert_installed(self, run):
        self.assertEqual(run.boxes, [], run)
        self.assertEqual(len(run.records), 1, run)
        world = os.path.join(self.r.base, "versions", "1.0", "Tolvar", "data", "world.bin")
        self.assertEqual(hashlib.sha256(rig.read_bytes(world)).hexdigest(),
                         hashlib.sha256(self.data.files["data/world.bin"]).hexdigest())

    def ranges(self):
        return [q["range"] for q in self.data_requests()]

    def held_from(self, q):
        """The first byte a ranged request asked for."""
        return int(q["range"][len("bytes="):].rstrip("-"))

    def test_a_cut_download_asks_for_the_rest_and_installs(self):
        self.gh.fault(STORAGE, self.storage_path(), {"cut": 4 * MIB})
        run = self.setup()
        self.assert_installed(run)
        first, second = self.data_requests()
        self.assertIsNone(first["range"])
        # The second attempt goes through the release API: the Range header
        # survived its redirect to the storage host.
        self.assertGreaterEqual(self.held_from(second), 4 * MIB - CHUNK)
        self.assertEqual(second["status"], 206)
        self.assertLessEqual(first["sent"] + second["sent"], self.data.size + CHUNK)
        self.assertIn("Part 3 of 4: GitHub didn't answer (200). Trying again in 3 s...", run.statuses())

    def test_a_link_that_cuts_every_answer_still_installs(self):
        self.gh.fault_always(STORAGE, self.storage_path(), {"cut": 2 * MIB})
        run = self.setup()
        self.assert_installed(run)
        asked = self.data_requests()
        pieces = -(-self.data.size // (2 * MIB))
        self.assertEqual([q["status"] for q in asked], [200] + [206] * (pieces - 1))
        self.assertLessEqual(sum(q["sent"] for q in asked), self.data.size + 2 * CHUNK)
        self.assertIn("Part 3 of 4: GitHub didn't answer (206). Trying again in 6 s...", run.statuses())

    def test_a_server_that_ignores_ranges_gets_a_full_fetch(self):
        self.gh.fault(STORAGE, self.storage_path(), {"cut": 4 * MIB}, {"norange": True})
        run = self.setup()
        self.assert_installed(run)
        first, second = self.data_requests()
        self.assertIsNotNone(second["range"])
        self.assertEqual((second["status"], second["sent"]), (200, self.data.size))

    def test_a_206_that_does_not_continue_the_file_is_not_appended(self):
        size = self.data.size
        self.gh.fault(STORAGE, self.storage_path(), {"cut": 4 * MIB},
                      {"headers": {"Content-Range": "bytes 0-%d/%d" % (size - 1, size)}})
        run = self.setup()
        self.assert_installed(run)
        ranges = self.ranges()
        self.assertEqual(len(ranges), 3, ranges)
        self.assertIsNotNone(ranges[1])
        self.assertIsNone(ranges[2], "a plain request follows the refused answer")
        self.assertEqual(self.data_requests()[2]["sent"], size)
        self.assertNotIn("Trying again in 6 s", " ".join(run.statuses()), "no attempt was spent on it")

    def test_a_part_file_that_holds_another_files_start_ends_in_one_full_download(self):
        downloads = os.path.join(self.r.base, "downloads")
        os.makedirs(downloads)
        with open(os.path.join(downloads, self.data.sha256 + ".zip.part"), "wb") as f:
            f.write(os.urandom(4 * MIB))
        run = self.setup()
        self.assert_installed(run)
        ranged, whole = self.data_requests()
        self.assertEqual(self.held_from(ranged), 4 * MIB)
        self.assertIsNone(whole["range"])
        self.assertEqual(whole["sent"], self.data.size)
        self.assertFalse([s for s in run.statuses() if "Trying again" in s], run.statuses())

    def test_a_part_file_that_holds_every_byte_is_used_without_a_request(self):
        # What a run stopped between the download's last byte and the move
        # into the cache leaves; the wrong bytes of the same length are
        # fetched again, whole.
        downloads = os.path.join(self.r.base, "downloads")
        rows = [("the part's own bytes", self.data.data, 0),
                ("other bytes of its length", os.urandom(self.data.size), self.data.size)]
        for name, held, fetched in rows:
            with self.subTest(name):
                self.r.reset()
                self.gh.clear_log()
                os.makedirs(downloads)
                with open(os.path.join(downloads, self.data.sha256 + ".zip.part"), "wb") as f:
                    f.write(held)
                run = self.setup()
                self.assert_installed(run)
                self.assertEqual(sum(q["sent"] for q in self.data_requests()), fetched)
                self.assertEqual([q["range"] for q in self.data_requests()], [None] if fetched else [])

    def test_a_run_killed_in_mid_download_is_continued_by_the_next_run(self):
        self.gh.fault(STORAGE, self.storage_path(), {"chunk": 65536, "chunk_delay": 0.01})
        cmdline = self.r.path("killed.cmdline")
        with open(cmdline, "w", encoding="utf-8") as f:
            f.write('"%s"' % rig.win_path(self.r.setup_exe))
        temp = os.path.join(self.r.base, "downloads", self.data.sha256 + ".zip.part")
        log = open(self.r.path("killed.log"), "wb")
        p = subprocess.Popen([self.r.wine_run, os.path.join(self.r.bin, "spawn.exe"), rig.win_path(cmdline)],
                             stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=self.r._env({}))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not (os.path.exists(temp) and os.path.getsize(temp) > 2 * MIB):
            time.sleep(0.02)
        self.r.kill_images("Tolvar-Setup.exe")
        p.wait(timeout=60)
        log.close()
        held = os.path.getsize(temp)
        self.assertTrue(2 * MIB < held < self.data.size, held)

        self.gh.clear_faults()
        self.gh.clear_log()
        run = self.setup()
        self.assert_installed(run)
        (request,) = self.data_requests()
        self.assertEqual(self.held_from(request), held)
        self.assertLessEqual(request["sent"], self.data.size - held + CHUNK)


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
