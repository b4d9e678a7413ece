#!/usr/bin/env python3
"""The whole program's behaviour at a real terminal (tmux at 80x25): ESC between files, other
keys during a run, the terminal as the shell gets it back after every way out (a normal end,
Ctrl+C, SIGTERM), the title, redirected output, and runs with no terminal at all.

    test_run_terminal.py PATH_TO_VORDEX [unittest arguments]

The long runs pack a few dozen files of slowly deflating data at level 6, so that keys and
signals land in the middle of a run; every wait is for something on the screen, never a guess
at the program's speed. Each file is just past the size that is read and deflated whole in one
call: zlib streams it, block by block, so its bar moves while it is packed.
"""

import os
import re
import shutil
import shlex
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import vordex_pane  # noqa: E402
from vordex_pane import (  # noqa: E402
    TITLE, USAGE, PaneTest, acgt, assert_cells, bar_shown, check_archive, files_shown, find_row,
    panel, prose, status_rows, viewer_screen, write_file, zipped_line)

FILE_COUNT = 24
FILE_SIZE = (4 << 20) + (64 << 10)
LEVEL = "-6"
# What a row of the status window may show while a run of the corpus goes on: a file's line
# ending at column 79 (column 80 blank), or nothing.
STATUS_SHAPE = re.compile(r"((√ ZIPPED :|- ZIPPING:)  seq\d\d\.dna +| +)")


def corpus_name(number):
    return f"seq{number:02}.dna"


class LongRun(PaneTest):
    """Runs over a corpus made once for the class: FILE_COUNT files, each a few hundred
    milliseconds of deflating at LEVEL here, longer on a loaded machine or under the
    sanitizers."""

    @classmethod
    def setUpClass(cls):
        cls._corpus = tempfile.TemporaryDirectory(prefix="vordex-corpus-")
        cls.corpus = Path(cls._corpus.name)
        cls.sources = {}
        for number in range(1, FILE_COUNT + 1):
            data = acgt(FILE_SIZE, number)
            write_file(cls.corpus / corpus_name(number), data)
            cls.sources[corpus_name(number)] = data

    @classmethod
    def tearDownClass(cls):
        cls._corpus.cleanup()

    def setUp(self):
        super().setUp()
        for path in self.corpus.iterdir():
            shutil.copy2(path, self.work / path.name)
        self.times = {name: os.stat(self.work / name).st_mtime_ns for name in self.sources}

    def wait_for_files(self, at_least, mid_file=False, timeout=120):
        """Waits until FILES shows at_least or more; with mid_file also until the current
        file's bar is partly drawn (at most half), so the file is being packed. Returns the
        screen."""
        def reached():
            screen = self.term.screen()
            if self.record("status.txt") is not None:
                self.fail(f"the program ended before FILES reached {at_least}:\n"
                          f"{screen.all_text()}")
            if files_shown(screen) < at_least:
                return None
            if mid_file and bar_shown(screen) not in range(1, 6):
                return None
            return screen
        return self.term.wait_until(reached, timeout, f"FILES to reach {at_least}")

    def archives(self):
        return sorted(path.name for path in self.work.glob("*.zip"))

    def check_archives_complete(self):
        for name in self.archives():
            source = name[:-4] + ".dna"
            check_archive(self, self.work / name, source, self.sources[source])

    def check_sources_untouched(self, names):
        for name in names:
            path = self.work / name
            self.assertTrue(path.exists(), f"{name} is gone")
            self.assertEqual(path.read_bytes(), self.sources[name], name)
            self.assertEqual(os.stat(path).st_mtime_ns, self.times[name], name)

    def final_screen(self):
        """The screen once the shell's prompt is back."""
        return self.wait_for_prompt()


class Keys(LongRun):
    def test_escape_stops_the_run_after_the_file_in_hand(self):
        self.start("*.dna", LEVEL)
        self.wait_for_files(2, mid_file=True)
        self.term.send_keys("Escape")
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.final_screen()

        files = files_shown(screen)
        self.assertLess(files, FILE_COUNT, "the run went on to its end")
        # The file in hand was finished, and nothing after it was begun.
        self.assertEqual(self.archives(), [corpus_name(n)[:-4] + ".zip"
                                           for n in range(1, files + 1)])
        self.check_archives_complete()
        self.assertEqual(bar_shown(screen), 10)

        row = find_row(screen, "Operations aborted")
        self.assertIsNotNone(row)
        self.assertGreaterEqual(row, 21)
        self.assertEqual(screen.text(row).rstrip(), "Operations aborted")
        self.assertEqual(screen.text(row - 1).strip(), "", "the empty line before it")
        self.assertTrue(screen.text(row - 2).startswith(f"√ ZIPPED :  {corpus_name(files)} "))
        for column in range(1, 19):
            cell = screen.cell(column, row)
            self.assertEqual(cell.attribute, 0x07, "the colours the ZIPPED line left")
            self.assertFalse(cell.default_colours)
        # No problem was logged, so no viewer: the shell's prompt follows at once.
        self.assertEqual(screen.text(16)[72:77], "     ")
        self.assertEqual(find_row(screen, vordex_pane.PROMPT.rstrip()), row + 1)
        self.assert_terminal_as_before(screen)

    def test_letters_and_arrows_during_a_run_change_nothing(self):
        self.start("*.dna", LEVEL)
        for at_least, keys in [(2, ["x"]), (4, ["Up"]), (6, ["Down", "q"]), (8, ["F5", "Left"]),
                               (10, ["Enter", "Space", "BSpace"])]:
            screen = self.wait_for_files(at_least, mid_file=True)
            pressed = files_shown(screen)
            self.term.send_keys(*keys)
            # Once the file in hand (and the next, for a key of two bytes) is done, the keys
            # have been taken by the key tests: nothing of them may show, nothing may stop.
            self.wait_for_files(pressed + 2)
            self.term.wait_until(lambda: self.status_window_is_clean(keys), 30,
                                 f"a clean status window after {keys}")
        self.assertEqual(self.wait_for_end(timeout=300), 0)
        screen = self.final_screen()
        expected = panel(mask="*.dna", files=FILE_COUNT, bar=10, percent=100)
        expected.update(status_rows(
            [zipped_line(corpus_name(n)) for n in range(FILE_COUNT - 5, FILE_COUNT + 1)],
            last_row=24))
        assert_cells(self, screen, expected)
        self.assertEqual(self.archives(),
                         [corpus_name(n)[:-4] + ".zip" for n in range(1, FILE_COUNT + 1)])
        self.check_archives_complete()
        self.assert_terminal_as_before(screen)

    def test_an_arrow_during_the_last_file_leaves_the_viewer_unmoved(self):
        # The key test after the last file takes the arrow's first byte; the second waits and
        # reaches the viewer as an ordinary key (80 is "P"), which changes nothing there.
        for name in self.sources:
            (self.work / name).unlink()
        entries = []
        for number, name in enumerate(["a.zip", "b.zip", "c.zip"], 1):
            write_file(self.work / name, b"skipped")
            entries.append((number, 0, name))
        write_file(self.work / "d-last.dna", acgt(4 * FILE_SIZE, 99))
        self.start("*", LEVEL)
        self.wait_for_files(4, mid_file=True)
        self.term.send_keys("Down")
        base = panel(mask="*", files=4, bar=10, percent=100, total=3)
        self.wait_for_screen(viewer_screen(entries, 1, 1, base, 0x07), 120, "the viewer")
        self.term.send_keys("Down")
        self.wait_for_screen(viewer_screen(entries, 1, 2, base, 0x07), 30,
                             "the viewer one row down")
        self.term.send_keys("Enter")
        self.assertEqual(self.wait_for_end(), 0)
        self.assert_terminal_as_before(self.wait_for_prompt())

    def status_window_is_clean(self, keys):
        """True when every row of the status window shows a file's line or nothing. Column 80
        is never written there, so an echoed key (the cursor waits at column 80 while a file is
        packed) fails at once; anything else may be a picture caught halfway through an update
        and is looked at again."""
        screen = self.term.screen()
        for row in range(19, 26):
            if screen.cell(80, row).glyph != " ":
                self.fail(f"{screen.cell(80, row).glyph!r} at column 80, row {row} after "
                          f"{keys}:\n{screen.all_text()}")
        return all(len(screen.text(row)) == 80 and STATUS_SHAPE.fullmatch(screen.text(row))
                   for row in range(19, 26))


class Restore(LongRun):
    def end_of_run(self, status):
        """The program's last picture, then the shell's: its lines must scroll the whole
        screen and its prompt come back in the terminal's own colours, the modes as before."""
        self.assertEqual(self.wait_for_end(), status)
        screen = self.term.screen()
        self.release_shell()
        after = self.wait_for_prompt()
        self.assert_terminal_as_before(after)
        self.assert_whole_screen_scrolls(after)
        return screen

    def test_a_normal_end_gives_the_terminal_back_as_it_was(self):
        # Enough files to scroll the status window, which the terminal does in a scroll region.
        for name in list(self.sources)[10:]:
            (self.work / name).unlink()
        # Mouse reporting, switched on before the program, is off for good after it.
        self.start("*.dna", "-1", before="printf '\\033[?1000h\\033[?1006h'",
                   scroll_after=True)
        screen = self.end_of_run(0)
        self.assertEqual(self.term.title(), TITLE, "the title stays as the program set it")
        self.assertFalse(self.term.mouse_reporting())
        self.assertEqual(files_shown(screen), 10)
        self.check_archives_complete()
        self.assertEqual(len(self.archives()), 10)

    def test_ctrl_c_mid_run_removes_the_archive_in_hand(self):
        self.start("*.dna", LEVEL, scroll_after=True)
        self.wait_for_files(8, mid_file=True)
        self.term.send_keys("C-c")
        screen = self.end_of_run(128 + signal.SIGINT)
        self.check_interrupted_run(screen, deleting=False)
        self.check_sources_untouched(self.sources)

    def test_sigterm_mid_run_removes_the_archive_in_hand(self):
        self.start("*.dna", LEVEL, "-D", scroll_after=True)
        self.wait_for_files(9, mid_file=True)
        os.kill(self.pid(), signal.SIGTERM)
        screen = self.end_of_run(128 + signal.SIGTERM)
        self.check_interrupted_run(screen, deleting=True)

    def test_any_terminating_signal_restores_the_terminal_and_leaves_no_temporary_file(self):
        self.start("*.dna", LEVEL, "-D", scroll_after=True)
        self.wait_for_files(3, mid_file=True)
        os.kill(self.pid(), signal.SIGUSR1)
        screen = self.end_of_run(128 + signal.SIGUSR1)
        self.check_interrupted_run(screen, deleting=True)

    def check_interrupted_run(self, screen, deleting):
        # The archive in hand was a hidden temporary file: the signal took it away.
        self.assertEqual([path.name for path in self.work.iterdir() if path.name[0] == "."], [])
        files = files_shown(screen)
        bar = bar_shown(screen)
        self.assertLess(files, FILE_COUNT)
        # Every archive left is whole; the one in hand is gone while its bar was still short
        # of full (once full, the archive may have been closed before the signal came).
        self.check_archives_complete()
        in_hand = corpus_name(files)
        expected = [corpus_name(n)[:-4] + ".zip" for n in range(1, files)]
        if bar is not None and bar < 10:
            self.assertEqual(self.archives(), expected)
        else:
            self.assertIn(self.archives(), [expected, expected + [in_hand[:-4] + ".zip"]])
        # Sources: deleted only after their archive was complete, never the one in hand
        # while it was being packed; those not reached are untouched.
        for number in range(1, FILE_COUNT + 1):
            name = corpus_name(number)
            archived = (self.work / (name[:-4] + ".zip")).exists()
            if (self.work / name).exists():
                self.check_sources_untouched([name])
            else:
                self.assertTrue(deleting and archived, f"{name} was deleted")
        if deleting:
            for number in range(1, files):
                self.assertFalse((self.work / corpus_name(number)).exists())


class Streams(PaneTest):
    def make_files(self):
        for number in range(1, 4):
            write_file(self.work / f"doc{number}.txt", prose(20000 * number, number))
        write_file(self.work / "old.zip", b"an archive already")

    def test_redirected_output_gets_the_report_while_the_screen_shows_the_panel(self):
        self.make_files()
        self.start("*", redirect="> " + shlex.quote(str(self.root / "out.txt")))
        # The viewer reads its keys from the terminal too.
        self.term.wait_for_text("Errors have occured", 120)
        screen = self.term.screen()
        self.assertTrue(screen.text(10).startswith(" : MASK: *          FILES: 4"))
        self.term.send_keys("Enter")
        self.assertEqual(self.wait_for_end(), 0)
        self.assert_terminal_as_before(self.wait_for_prompt())
        report = (self.root / "out.txt").read_text().splitlines()
        self.assertEqual(report[:4], ["zipped doc1.txt -> doc1.zip", "zipped doc2.txt -> doc2.zip",
                                      "zipped doc3.txt -> doc3.zip",
                                      "skipped old.zip (a ZIP archive itself)"])
        self.assertRegex(report[4], r"^summary: 4 files, 3 zipped, 1 skipped, 0 failed, 0 deleted, "
                                    r"\d+ bytes in, \d+ bytes out, \d+\.\d\d s$")
        self.assertEqual(len(report), 5)
        for number in range(1, 4):
            self.assertTrue((self.work / f"doc{number}.zip").exists())

    def test_usage_goes_to_redirected_output_and_the_screen_stays_untouched(self):
        for args in ((), ("--help",), ("-h",)):
            with self.subTest(args=args):
                self.start(*args, redirect="> " + shlex.quote(str(self.root / "out.txt")))
                self.assertEqual(self.wait_for_end(), 0)
                screen = self.wait_for_prompt()
                self.assertEqual(screen.all_text().strip(), vordex_pane.PROMPT.strip())
                self.assertEqual((self.root / "out.txt").read_text().splitlines(), USAGE)
                self.assert_terminal_as_before(screen)

    def test_without_a_terminal_the_run_packs_everything_and_ends_at_once(self):
        # The log holds a skip (and a failure), so a viewer waiting for a key would never end.
        # Seconds to pack three small files, however slow the machine.
        limit = 30
        keys = self.root / "keys.txt"
        write_file(keys, b"\x1b[B\r")  # never read: nobody is there to press keys
        cases = [("skips only", False, 0), ("a failure too", True, 2)]
        for what, failing, status in cases:
            with self.subTest(what=what, where="outside tmux"):
                self.reset_work(failing)
                output = self.root / "out.txt"
                started = time.monotonic()
                with open(keys, "rb") as stdin, open(output, "wb") as stdout:
                    done = subprocess.run([str(vordex_pane.BINARY), "*"], cwd=self.work,
                                          stdin=stdin, stdout=stdout, stderr=subprocess.STDOUT,
                                          start_new_session=True, timeout=120)
                self.assertLess(time.monotonic() - started, limit)
                self.assertEqual(done.returncode, status)
                self.check_report(output, failing)
                self.check_packed(failing)
            with self.subTest(what=what, where="inside tmux"):
                self.reset_work(failing)
                output = self.root / "out2.txt"
                started = time.monotonic()
                self.start("*", prefix=("setsid", "-w"),
                           redirect=f"< {shlex.quote(str(keys))} > {shlex.quote(str(output))} 2>&1")
                self.assertEqual(self.wait_for_end(timeout=120), status)
                self.assertLess(time.monotonic() - started, limit)
                screen = self.wait_for_prompt()
                self.check_report(output, failing)
                self.check_packed(failing)
                # Nothing was drawn: the shell's prompt stands alone on the first row.
                self.assertEqual(screen.all_text().strip(), vordex_pane.PROMPT.strip())
                self.assert_terminal_as_before(screen)

    def check_report(self, output, failing):
        """The report and, for a failure, its line on standard error (sent to the same file)."""
        lines = output.read_text().splitlines()
        expected = ["zipped doc1.txt -> doc1.zip",
                    "failed doc2.txt: Unable to open/create file: Is a directory" if failing
                    else "zipped doc2.txt -> doc2.zip",
                    "zipped doc3.txt -> doc3.zip", "skipped old.zip (a ZIP archive itself)"]
        if failing:
            expected.insert(2, "vordex: doc2.txt: Unable to open/create file: Is a directory")
        self.assertEqual(lines[:len(expected)], expected)
        self.assertTrue(lines[len(expected)].startswith(
            f"summary: 4 files, {2 if failing else 3} zipped, 1 skipped, {int(failing)} failed"))

    def reset_work(self, failing):
        shutil.rmtree(self.work)
        self.work.mkdir()
        self.make_files()
        if failing:
            (self.work / "doc2.zip").mkdir()

    def check_packed(self, failing):
        for number in range(1, 4):
            path = self.work / f"doc{number}.zip"
            if failing and number == 2:
                self.assertTrue(path.is_dir())
            else:
                check_archive(self, path, f"doc{number}.txt",
                              (self.work / f"doc{number}.txt").read_bytes())
        self.assertEqual((self.work / "old.zip").read_bytes(), b"an archive already")


if __name__ == "__main__":
    vordex_pane.main()
