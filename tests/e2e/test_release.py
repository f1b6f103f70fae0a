"""Releases laid out as a release engineer does (zips and tolvar-setup.in),
made and checked by tolvar-release, published on the fake GitHub and
installed by the real Tolvar-Setup.exe under Wine: what make writes installs,
and an update downloads exactly the parts that "check --from" announced."""

import os
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import sandbox  # noqa: E402
import releases  # noqa: E402
import rig  # noqa: E402


class Release(rig.GitHubSuite):
    suite_name = "release"

    def make(self, folder, tag, parts):
        """tolvar-release make on the release laid out in folder; publishes
        the zips and the list it wrote. Returns the list's path."""
        releases.make_release(folder, tag, parts)
        list_path = os.path.join(folder, "tolvar-setup.txt")
        releases.publish(self.gh, tag, parts, list_bytes=rig.read_bytes(list_path))
        return list_path

    def downloaded(self):
        """Names of the zips whose bytes the storage host sent in full."""
        names = {}
        for tag in ("1.0", "1.1"):
            for a in self.gh.release(tag).assets:
                names[str(a.id)] = a.name
        got = [names.get(q["path"].split("?")[0].rsplit("/", 1)[-1]) for q in self.gh.requests()
               if q["host"] in ("release-assets.githubusercontent.com", "objects.githubusercontent.com")
               and q["status"] == 200]
        return sorted(n for n in got if n and n.endswith(".zip"))

    def test_a_made_release_installs_and_its_update_costs_what_check_said(self):
        work = tempfile.mkdtemp(prefix="tolvar-release-e2e-")
        self.addCleanup(shutil.rmtree, work, True)
        old = releases.sample_parts(self.r.bin, "1.0")
        old_list = self.make(os.path.join(work, "1.0"), "1.0", old)
        run = self.r.run(self.r.setup_exe, "", expect_records=1, timeout=240)
        self.assertEqual((run.code, run.boxes), (0, []), run)
        self.assertEqual(rig.read_bytes(os.path.join(self.r.base, "versions", "current.txt")), b"1.0")
        self.assertTrue(os.path.isfile(os.path.join(self.r.base, "versions", "1.0", "Tolvar", "bin",
                                                    "tolvar-game.exe")))

        # 1.1 changes the data part only; the other zips are uploaded again as they were.
        new = list(old)
        new[2] = releases.Part("Tolvar-data-1.1.zip", "Tolvar", "data", "data",
                               {"data/": b"", "data/world.txt": b"world of 1.1"})
        folder = os.path.join(work, "1.1")
        self.make(folder, "1.1", new)
        code, out = releases.run_release_tool("check", folder, "--from", old_list)
        self.assertEqual(code, 0, out)
        announced = sorted(m.group(1) for m in
                           re.finditer(r"update from 1\.0: part \d of 4 \((\S+)\) is downloaded", out))
        self.assertEqual(announced, sorted(["Tolvar-launcher-1.0.zip", "Tolvar-data-1.1.zip"]), out)

        self.gh.clear_log()
        run = self.r.run(self.r.setup_exe, "", expect_records=1, timeout=240)
        self.assertEqual((run.code, run.boxes), (0, []), run)
        self.assertEqual(rig.read_bytes(os.path.join(self.r.base, "versions", "current.txt")), b"1.1")
        self.assertEqual(self.downloaded(), announced)


if __name__ == "__main__":
    sandbox.enter()
    unittest.main(verbosity=2)
