"""The progress window and its channel: the real entry point and window
(channel_driver.exe links them with a worker that plays a script from its
command line), watched by the UI probe."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import rig  # noqa: E402


def pattern(n):
    """The text the script worker builds for long:N and failtext:N."""
    text = "".join(chr(ord("a") + i % 26) for i in range(n))
    return text[:-1] + "#" if n else ""


class Window(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.r = rig.Rig(name="window")
        cls.r.reset()
        cls.driver = os.path.join(cls.r.bin, "channel_driver.exe")

    def play(self, *steps, **kw):
        return self.r.run(self.driver, "|".join(steps), **kw)

    def test_window_shows_status_and_bar_as_the_worker_reports_them(self):
        run = self.play("sleep:500", "pct:0", "sleep:400", "pct:57", "sleep:400",
                        "status:Downloading part 1 of 2 (3 MB)...", "sleep:400", "pct:-1",
                        "sleep:500", "close")
        self.assertEqual(run.code, 0, run)
        window = [e for e in run.events if e["ev"] == "window"][0]
        self.assertEqual(window["class"], "TolvarSetup")
        self.assertEqual(window["title"], "Project Tolvar setup")
        r = window["rect"]
        self.assertEqual((r["w"], r["h"]), (460, 140))
        # Caption, close and minimise buttons; no sizing border, no maximise.
        self.assertEqual(window["style"] & 0x00CF0000, 0x00CA0000)
        kids = {c["class"].lower(): c for c in window["children"]}
        self.assertEqual(kids["static"]["text"], "Starting...")
        self.assertEqual(kids["static"]["rect"], {"x": 16, "y": 16, "w": 412, "h": 22})
        self.assertEqual(kids["msctls_progress32"]["rect"], {"x": 16, "y": 48, "w": 412, "h": 20})

        self.assertEqual(run.statuses()[0], "Starting...")
        self.assertIn("Downloading part 1 of 2 (3 MB)...", run.statuses())
        # The bar: marquee at start, 0, 57, marquee again.
        states = []
        for bar in run.bars():
            state = "marquee" if bar["marquee"] else bar["pos"]
            if not states or states[-1] != state:
                states.append(state)
        self.assertEqual(states, ["marquee", 0, 57, "marquee"], run.bars())
        self.assertEqual(run.boxes, [])

    def test_a_position_above_100_fills_the_bar(self):
        run = self.play("sleep:300", "pct:125", "sleep:400", "close")
        self.assertEqual(run.code, 0)
        last = run.bars()[-1]
        self.assertFalse(last["marquee"])
        self.assertEqual(last["pos"], 100, "the control holds at its top")

    def test_status_line_keeps_511_characters(self):
        run = self.play("sleep:200", "long:700", "sleep:400", "close")
        self.assertEqual(run.code, 0)
        self.assertEqual(run.statuses()[-1], pattern(700)[:511])

    def test_a_shown_line_is_always_one_whole_text(self):
        run = self.play("sleep:200", "flood:20000", "status:done", "sleep:300", "close")
        self.assertEqual(run.code, 0)
        whole = {"Starting...", "A" * 500, "B" * 500, "done"}
        torn = [t for t in run.statuses() if t not in whole]
        self.assertEqual(torn, [])
        self.assertEqual(run.statuses()[-1], "done", "the latest text is the one that stays")

    def test_fail_shows_an_owned_error_box_then_closes_with_exit_0(self):
        run = self.play("sleep:300", "status:Unpacking part 1 of 1...", "sleep:300",
                        "fail:Could not write to C:\\x.")
        self.assertEqual(run.code, 0)
        self.assertEqual(len(run.boxes), 1, run)
        box = run.boxes[0]
        self.assertEqual(box["title"], "Tolvar setup")
        self.assertEqual(box["text"], "Could not write to C:\\x.")
        self.assertTrue(box["owner_is_window"])
        self.assertEqual(box["icon"], "error")
        order = [e["ev"] for e in run.events if e["ev"] in ("pressed", "window_gone")]
        self.assertEqual(order[:2], ["pressed", "window_gone"],
                         "the window stays until the box is dismissed")

    def test_fail_text_keeps_1023_characters(self):
        run = self.play("sleep:200", "failtext:1500")
        self.assertEqual(run.code, 0)
        self.assertEqual(run.boxes[0]["text"], pattern(1500)[:1023])

    def test_closing_the_window_ends_the_run_at_once_with_exit_0(self):
        run = self.play("sleep:200", "status:Downloading part 1 of 1 (100 MB)...", "sleep:60000",
                        probe_options=["--close-on", "Downloading"])
        self.assertEqual(run.code, 0)
        self.assertLess(run.elapsed, 20, "the sleeping worker does not hold the process")
        self.assertEqual(run.boxes, [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
