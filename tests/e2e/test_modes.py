"""The three roles of one executable: shim, hand-off and setup, on the real
Tolvar-Setup.exe under Wine, started as a user would."""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import rig  # noqa: E402
import sandbox  # noqa: E402

SHIM_BOX = ("The game in this folder could not be started. "
            "Install it again with Tolvar-Setup.exe.")


class Modes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.r = rig.Rig(name="modes")
        cls.recorder = os.path.join(cls.r.bin, "recorder.exe")

    def setUp(self):
        self.r.reset()

    # -- fixtures -----------------------------------------------------------
    def game_folder(self, name="Game", shim_name="Tolvar.exe", game=True):
        folder = self.r.path(name, "x")[:-2]
        shutil.copy(self.r.setup_exe, os.path.join(folder, shim_name))
        if game:
            os.makedirs(os.path.join(folder, "bin"))
            shutil.copy(self.recorder, os.path.join(folder, "bin", "tolvar-game.exe"))
        return folder

    def install_launcher(self, tag="1.4.2", marker=None, base=None):
        """An installed version whose launcher is the recorder."""
        base = base or self.r.base
        versions = os.path.join(base, "versions")
        launcher_dir = os.path.join(versions, tag, "Tolvar")
        os.makedirs(launcher_dir)
        shutil.copy(self.recorder, os.path.join(launcher_dir, "Tolvar.exe"))
        with open(os.path.join(versions, "current.txt"), "wb") as f:
            f.write(marker if marker is not None else tag.encode())
        return launcher_dir

    def launcher_win(self, tag="1.4.2"):
        return "C:\\users\\%s\\AppData\\Local\\Tolvar\\versions\\%s\\Tolvar" % (
            os.path.basename(os.path.dirname(os.path.dirname(self.r.local_appdata))), tag)

    def run_setup_window(self, exe, args="", env=None):
        """Runs exe expecting setup mode: the window appears and the probe
        closes it as a user might, at a status line ("Starting...", "Looking
        for the latest Tolvar...", the retry line)."""
        run = self.r.run(exe, args, env=env, probe_options=["--close-on", "..."], timeout=60)
        self.assertEqual(run.code, 0, run)
        windows = [e for e in run.events if e.get("ev") == "window"]
        self.assertTrue(windows and windows[0]["class"] == "TolvarSetup",
                        "the progress window appeared: %r" % run)
        self.assertEqual(run.records, [], "nothing was launched: %r" % run)
        return run

    # -- setup mode ---------------------------------------------------------
    def test_setup_executable_without_arguments_shows_the_window(self):
        self.run_setup_window(self.r.setup_exe)

    def test_tolvar_exe_without_a_game_is_setup(self):
        folder = self.game_folder(game=False)
        self.run_setup_window(os.path.join(folder, "Tolvar.exe"))

    # -- shim mode ----------------------------------------------------------
    def test_shim_starts_its_own_game_when_nothing_is_installed(self):
        for name, args in (("Tolvar.exe", ""), ("tOLVAR.eXE", "play now"), ("TOLVAR.EXE", "-x /y")):
            with self.subTest(name=name, args=args):
                self.r.reset()
                folder = self.game_folder(shim_name=name)
                run = self.r.run(os.path.join(folder, name), args, probe=False, expect_records=1)
                self.assertEqual(run.code, 0)
                game = rig.win_path(os.path.join(folder, "bin", "tolvar-game.exe"))
                self.assertEqual(run.records[0]["cmdline"], '"%s"' % game)
                self.assertEqual(run.records[0]["cwd"].rstrip("\\"), rig.win_path(folder))

    def test_shim_hands_over_to_the_installed_launcher(self):
        self.install_launcher()
        folder = self.game_folder()
        run = self.r.run(os.path.join(folder, "Tolvar.exe"), "some words", probe=False,
                         expect_records=1)
        self.assertEqual(run.code, 0)
        self.assertEqual(len(run.records), 1, "only the launcher ran, not the game")
        launcher = self.launcher_win()
        self.assertEqual(run.records[0]["cmdline"],
                         '"%s\\Tolvar.exe" --launch "%s"' % (launcher, rig.win_path(folder)))
        self.assertEqual(run.records[0]["cwd"].rstrip("\\"), launcher)

    def test_double_dash_makes_tolvar_exe_no_shim(self):
        self.install_launcher()
        folder = self.game_folder()
        # "--launch" hands over with the user's whole command line.
        run = self.r.run(os.path.join(folder, "Tolvar.exe"), "--launch --x", probe=False,
                         expect_records=1)
        self.assertEqual(run.code, 0)
        self.assertEqual(run.records[0]["cmdline"],
                         '"%s\\Tolvar.exe" --launch --x' % self.launcher_win())
        # Any other "--" is setup mode, though a game and a launcher are there.
        self.run_setup_window(os.path.join(folder, "Tolvar.exe"), "--repair")

    def test_game_that_cannot_start_shows_the_shim_box_and_exits_1(self):
        folder = self.game_folder(game=False)
        os.makedirs(os.path.join(folder, "bin", "tolvar-game.exe"))  # a folder counts as present
        run = self.r.run(os.path.join(folder, "Tolvar.exe"), "", probe=True)
        self.assertEqual(run.code, 1)
        self.assertEqual(len(run.boxes), 1, run)
        box = run.boxes[0]
        self.assertEqual(box["title"], "Project Tolvar")
        self.assertEqual(box["text"], SHIM_BOX)
        self.assertFalse(box.get("owner"), "the shim's box has no owner window")
        self.assertEqual(box.get("icon"), "error")

    # -- hand-off -----------------------------------------------------------
    def test_launch_hands_over_to_the_version_current_txt_names(self):
        long_tag = "v" * 130
        cases = [
            # (marker bytes, folder tag or None when setup mode must follow)
            (b"1.4.2", "1.4.2"),
            (b"1.4.2\r\nold", "1.4.2"),
            (long_tag.encode(), long_tag[:127]),
            (b"", None),
            (b"\r\n1.4.2", None),
        ]
        for marker, tag in cases:
            with self.subTest(marker=marker[:20]):
                self.r.reset()
                self.install_launcher(tag=tag or "1.4.2", marker=marker)
                if tag is None:
                    self.run_setup_window(self.r.setup_exe, "--launch")
                    continue
                run = self.r.run(self.r.setup_exe, "--launch", probe=False, expect_records=1)
                self.assertEqual(run.code, 0)
                self.assertEqual(run.records[0]["cmdline"],
                                 '"%s\\Tolvar.exe" --launch' % self.launcher_win(tag))
                self.assertEqual(run.records[0]["cwd"].rstrip("\\"), self.launcher_win(tag))

    def test_launch_without_an_installed_launcher_is_setup(self):
        # No current.txt at all.
        self.run_setup_window(self.r.setup_exe, "--launcher")
        # A version folder without its launcher.
        launcher_dir = self.install_launcher()
        os.remove(os.path.join(launcher_dir, "Tolvar.exe"))
        self.run_setup_window(self.r.setup_exe, "--launch")

    def test_launch_ignores_the_base_folder_override(self):
        other = self.r.path("elsewhere", "x")[:-2]
        self.install_launcher(base=other)
        self.run_setup_window(self.r.setup_exe, "--launch",
                              env={"TOLVAR_SETUP_BASE": rig.win_path(other)})

    def test_command_line_is_cut_to_2047_characters_before_any_test(self):
        self.install_launcher()
        filler = "x" * 2030
        # "--launch" past the cut: not a hand-off.
        self.run_setup_window(self.r.setup_exe, filler + " abcdefghijklmnop --launch")
        run = self.r.run(self.r.setup_exe, "--launch " + "y" * 3000, probe=False, expect_records=1)
        self.assertEqual(run.code, 0)
        args = run.records[0]["cmdline"].split('" ', 1)[1]
        self.assertEqual(args, ("--launch " + "y" * 3000)[:2047])


if __name__ == "__main__":
    sandbox.enter()  # setup mode goes looking for GitHub: keep it off any network
    unittest.main(verbosity=2)
