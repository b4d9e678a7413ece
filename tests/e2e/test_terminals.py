#!/usr/bin/env python3
"""The whole program on terminals other than the plain 80x25 UTF-8 pane: shorter windows (the
panel kept, the status window cut from the top), narrow or tiny ones and dumb ones (plain lines,
not one escape byte), windows resized during a run and in the viewer, locales without UTF-8 and
terminals that draw box glyphs two columns wide (ASCII only), background jobs, another user,
kill -9, and the viewer cut short by a signal.

    test_terminals.py PATH_TO_VORDEX [--update-golden] [unittest arguments]

Where the bytes themselves matter, the pane's output is copied raw through tmux pipe-pane, or
the program runs on a pseudo-terminal the test plays itself (fake_terminal.py).
"""

import os
import re
import shlex
import shutil
import signal
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import vordex_pane  # noqa: E402
from fake_terminal import run_on_fake_terminal  # noqa: E402
from tmux_screen import assert_golden  # noqa: E402
from vordex_pane import (  # noqa: E402
    PROMPT, PaneTest, acgt, assert_cells, bar_shown, check_archive, differences, describe,
    files_shown, find_row, log_line, log_window, panel, prose, status_line, status_rows, text_at,
    viewer_screen, write_file, zipped_line)

GOLDEN = Path(__file__).resolve().parent / "golden"
ZIPPING = "|07- |15ZIPPING|07: |15 "
HINT = "Errors have occured.  Use [ARROWS] to View, or [ENTER] to Quit"
PANEL_ROWS = 18
STATUS_ROWS = 7


# ---------------------------------------------------------------------------------------------
# Pictures at other heights

def bottom_rows(height):
    """The rows of the 80x25 picture that a window of `height` rows (20 to 25) shows while the
    status window is full of lines: rows 1-18, then the newest rows of the status window."""
    return list(range(1, PANEL_ROWS + 1)) + list(range(44 - height, 26))


def viewer_rows(height):
    """The rows of the 80x25 picture that a window of `height` rows shows in the viewer: rows
    1-18, the detail line (row 19), as many of the blank rows below it as there is room for, and
    the hint (row 24)."""
    if height >= 25:
        return list(range(1, 26))
    return list(range(1, 20)) + list(range(20, height)) + [24]


def mapped(expected, rows):
    """An expected 80x25 picture as a shorter window shows it: rows[n - 1] is the row of the
    picture on the window's row n."""
    shown = {}
    for (column, row), want in expected.items():
        if row in rows:
            shown[(column, rows.index(row) + 1)] = want
    return shown


def row_differences(screen, reference, rows):
    """Rows of the screen that differ from the rows of the 80x25 reference screen they must
    show (rows as for mapped), cell by cell (glyph, foreground and background, the terminal's own
    colours told apart from named ones)."""
    found = []
    for row in range(1, screen.height + 1):
        source = rows[row - 1]
        for column in range(1, len(screen.rows[row - 1]) + 1):
            got, want = screen.cell(column, row), reference.cell(column, source)
            if (got.glyph, got.foreground, got.background) != (
                    want.glyph, want.foreground, want.background):
                found.append(f"row {row} (80x25 row {source}), column {column}: {got!r}, want "
                             f"{want!r}\n  got  {screen.text(row)!r}\n  want "
                             f"{reference.text(source)!r}")
                break
    return found


def status_window(finished, current=None):
    """The seven rows of the status window after the finished lines were written one below the
    other (scrolling once the window is full), with the current file's line where the cursor
    then stands: cells for each row, None for a blank one."""
    rows = [None] * STATUS_ROWS
    cursor = 0
    for line in finished:
        rows[cursor] = line
        cursor += 1
        if cursor == STATUS_ROWS:
            rows = rows[1:] + [None]
            cursor = STATUS_ROWS - 1
    if current is not None:
        rows[cursor] = current
    return rows


def percent_shown(screen):
    text = text_at(screen, 27, 16, 3).strip()
    return int(text) if text.isdigit() else None


def no_escape(test, data, what):
    at = data.find(b"\x1b")
    if at >= 0:
        test.fail(f"{what}: an escape byte at offset {at}: {data[max(0, at - 60):at + 60]!r}")


def modes(stty_output):
    """stty -a without the window's size, which a resize changes."""
    return re.sub(r"rows \d+; columns \d+; ", "", stty_output or "")


def plain(lines):
    """Lines as they reach a terminal (the line discipline turns each LF into CR LF)."""
    return b"".join(line.encode() + b"\r\n" for line in lines)


class TerminalTest(PaneTest):
    def start_captured(self, *args, before="", **kwargs):
        """start(), the shell waiting for a gate file until tmux copies every byte the pane
        receives to a file: the program's first byte is in it."""
        number = self.runs + 1
        gate = self.root / f"gate{number}"
        self.raw_path = self.root / f"raw{number}.bin"
        wait = f"while [ ! -e {shlex.quote(str(gate))} ]; do sleep 0.02; done"
        self.start(*args, before="\n".join(line for line in (wait, before) if line), **kwargs)
        self.term.pipe_output(self.raw_path)
        gate.touch()

    def raw_output(self):
        """The bytes the pane received, once the shell's prompt, the last of them, is in."""
        prompt = PROMPT.encode()

        def complete():
            return self.raw_path.exists() and self.raw_path.read_bytes().endswith(prompt)
        self.term.wait_until(complete, 30, "the shell's prompt in the raw output")
        return self.raw_path.read_bytes()

    def start_sized(self, size, *args, **kwargs):
        self.size = size
        self.start(*args, **kwargs)

    def wait_for_rows(self, reference, rows, what, timeout=60):
        """Waits until the screen shows the reference screen's rows (as for mapped)."""
        last = []

        def matches():
            screen = self.term.screen()
            last[:] = row_differences(screen, reference, rows)
            return screen if not last else None
        try:
            return self.term.wait_until(matches, timeout, what)
        except TimeoutError:
            self.fail(f"{what}: {len(last)} rows differ:\n" + "\n".join(last[:8]) +
                      f"\nscreen:\n{self.term.screen().all_text()}")

    def assert_modes_as_before(self):
        self.assertEqual(modes(self.record("stty-after.txt")),
                         modes(self.record("stty-before.txt")))

    def archives(self):
        return sorted(path.name for path in self.work.glob("*.zip") if path.is_file())


# ---------------------------------------------------------------------------------------------
# Window sizes

class Sizes(TerminalTest):
    SHORT = [(80, 24), (80, 22), (80, 20)]

    def test_20_to_24_rows_show_the_panel_and_the_status_rows_that_hold_something(self):
        def finished_run():
            for number in range(1, 11):
                write_file(self.work / f"t{number:02}.txt", prose(2000 * number, number))

        references = {}
        for size in [(80, 25)] + self.SHORT:
            with self.subTest(run="finished", size=size):
                self.reset_work(finished_run)
                self.start_sized(size, "*.txt", "-9")
                self.assertEqual(self.wait_for_end(), 0)
                screen = self.wait_for_prompt()
                if size == (80, 25):
                    expected = panel(mask="*.txt", files=10, bar=10, percent=100)
                    expected.update(status_rows(
                        [zipped_line(f"t{n:02}.txt") for n in range(5, 11)], last_row=24))
                    assert_cells(self, screen, expected)
                    references["finished"] = screen
                else:
                    self.assertEqual(
                        row_differences(screen, references["finished"], bottom_rows(size[1])), [])
                self.assertEqual(self.term.cursor(), (len(PROMPT) + 1, size[1]))
                self.assert_terminal_as_before(screen)
                self.assertEqual(len(self.archives()), 10)

        # Eight problems, more than the log window's seven rows, so End scrolls it. On every
        # height the selected entry's detail line and the hint show.
        entries = [(number, 0, f"e{number - 3}.zip") for number in range(4, 11)]
        entries.append((11, 1, "f.txt"))
        base = panel(mask="*", files=12, bar=10, percent=100, total=8)
        states = [([], 1, 1), (["Down"], 1, 2), (["End"], 2, 7)]
        for size in [(80, 25)] + self.SHORT:
            with self.subTest(run="viewer", size=size):
                self.reset_work(self.problem_files)
                self.start_sized(size, "*")
                for keys, top, row in states:
                    if keys:
                        self.term.send_keys(*keys)
                    what = f"the viewer after {keys} at {size}"
                    if size == (80, 25):
                        references[(top, row)] = self.wait_for_screen(
                            viewer_screen(entries, top, row, base, 0x07), 120, what)
                    else:
                        self.wait_for_rows(references[(top, row)], viewer_rows(size[1]), what,
                                           120)
                    hint_row = find_row(self.term.screen(), HINT)
                    self.assertEqual(hint_row, viewer_rows(size[1]).index(24) + 1,
                                     "the hint's row")
                self.term.send_keys("Enter")
                self.assertEqual(self.wait_for_end(), 2)
                screen = self.wait_for_prompt()
                # Rows 1-18 as left, the status window cleared and the prompt at its top.
                for row in range(1, PANEL_ROWS + 1):
                    self.assertEqual(screen.text(row),
                                     references[states[-1][1:]].text(row))
                self.assertEqual(screen.text(19).rstrip(), PROMPT.rstrip())
                for row in range(20, size[1] + 1):
                    self.assertEqual(screen.text(row).strip(), "", f"row {row}")
                self.assert_terminal_as_before(screen)

    def problem_files(self):
        for number in range(1, 4):
            write_file(self.work / f"a{number}.txt", prose(3000 * number, number))
        for number in range(1, 8):
            write_file(self.work / f"e{number}.zip", b"an archive already")
        write_file(self.work / "f.txt", prose(700, 9))
        (self.work / "f.zip").mkdir()
        write_file(self.work / "g.txt", prose(12345, 10))

    def reset_work(self, make):
        shutil.rmtree(self.work)
        self.work.mkdir()
        make()

    def test_narrow_or_tiny_windows_get_plain_lines_and_not_one_escape_byte(self):
        lines = [
            "√ ZIPPED :  a.txt",
            "! SKIPPED: b.txt  Skipped: ZIP already exists",
            "! ERROR  : c.txt  Unable to open/create file",
            "√ ZIPPED :  d.txt",
            "",
            "TOTAL ERRORS / WARNINGS: 2",
            " 2      Skipped: ZIP already exists  b.txt",
            " 3      Unable to open/create file   c.txt",
        ]
        for size in [(79, 25), (70, 20), (60, 15), (80, 19)]:
            with self.subTest(size=size):
                self.reset_work(self.line_files)
                self.size = size
                self.start_captured("*.txt", "-9")
                self.assertEqual(self.wait_for_end(), 2)
                raw = self.raw_output()
                # No title, no cursor question, no colour, no mode: the lines and the prompt.
                no_escape(self, raw, f"line mode at {size}")
                self.assertTrue(raw.endswith(b"\r\n" + PROMPT.encode()))
                shown = raw[:-len(PROMPT)].decode("utf-8").split("\r\n")[:-1]
                # Standard error is this terminal too, and line mode is not the panel: the
                # failure is told there as well, in its own words.
                told = [line for line in shown if line.startswith("vordex: ")]
                self.assertEqual([line for line in shown if line not in told], lines)
                self.assertEqual(len(told), 1, told)
                self.assertTrue(told[0].startswith("vordex: c.txt: Unable to open/create file"))
                self.assert_terminal_as_before(self.wait_for_prompt())
                self.assertEqual(self.archives(), ["a.zip", "b.zip", "d.zip"])
                check_archive(self, self.work / "d.zip", "d.txt", prose(4000, 4))

    def line_files(self):
        for number, name in enumerate("abcd", 1):
            write_file(self.work / f"{name}.txt", prose(1000 * number, number))
        write_file(self.work / "b.zip", b"made earlier")
        (self.work / "c.zip").mkdir()


# ---------------------------------------------------------------------------------------------
# Resizes, kill -9: long runs

class LongRuns(TerminalTest):
    """Three files of 6 MiB that deflate slowly at level 9 (seconds each), after a skip and six
    small files that fill the status window."""

    BIG = 6 << 20

    @classmethod
    def setUpClass(cls):
        cls._corpus = tempfile.TemporaryDirectory(prefix="vordex-terminals-")
        cls.corpus = Path(cls._corpus.name)
        cls.sources = {}
        for number in range(1, 4):
            cls.sources[f"b{number}.dna"] = acgt(cls.BIG, number)
        for number in range(1, 7):
            cls.sources[f"a{number}.txt"] = prose(1500 * number, number)
        for name, data in cls.sources.items():
            write_file(cls.corpus / name, data)

    @classmethod
    def tearDownClass(cls):
        cls._corpus.cleanup()

    def setUp(self):
        super().setUp()
        for path in self.corpus.iterdir():
            shutil.copy2(path, self.work / path.name)

    def wait_mid_file(self, name, timeout=180):
        """Waits until the named file is being packed and its bar is at most half full."""
        def reached():
            screen = self.term.screen()
            if self.record("status.txt") is not None:
                self.fail(f"the run ended before {name} was half done:\n{screen.all_text()}")
            if f"ZIPPING:  {name}" not in screen.all_text():
                return None
            return screen if bar_shown(screen) in range(1, 6) else None
        return self.term.wait_until(reached, timeout, f"{name} to be packed")

    def check_archives(self, names):
        for name in names:
            check_archive(self, self.work / (name[:name.rindex(".")] + ".zip"), name,
                          self.sources[name])


class CorpusRun(LongRuns):
    """The corpus with skips among it, and the pictures a fresh draw shows at any point of the
    run. NAMES: the files in the order of the run; ENTRIES: the log's entries (file number, code,
    name); make_skips() writes the files skipped."""

    # The order of the run: a skip, six small files, the three large ones, a skip.
    NAMES = ["a0.zip"] + [f"a{n}.txt" for n in range(1, 7)] + [f"b{n}.dna" for n in range(1, 4)]
    ENTRIES = [(1, 0, "a0.zip"), (11, 0, "c.zip")]

    def make_skips(self):
        for _, _, name in self.ENTRIES:
            write_file(self.work / name, b"skipped")

    def status_line_of(self, number):
        name = self.NAMES[number - 1]
        return log_line(0, name) if name.endswith(".zip") else zipped_line(name)

    def run_pictures(self, screen):
        """The pictures an 80x25 window may show while file FILES is in hand: packing it, or
        done with it and not yet on to the next."""
        files = files_shown(screen)
        bar = bar_shown(screen)
        if not 1 <= files <= len(self.NAMES) or bar is None:
            return []
        reported = [entry for entry in self.ENTRIES if entry[0] < files]
        base = panel(mask="*", files=files, bar=bar, percent=percent_shown(screen),
                     total=len(reported) or None,
                     log_window=log_window(reported) if reported else None)
        finished = [self.status_line_of(n) for n in range(1, files)]
        current = status_line(ZIPPING, self.NAMES[files - 1])
        pictures = []
        for rows in (status_window(finished, current),
                     status_window(finished + [self.status_line_of(files)])):
            picture = dict(base)
            picture.update(status_rows(rows))
            pictures.append(picture)
        return pictures

    def wait_for_fresh_run_picture(self, height, what):
        """Waits until the pane shows what a fresh draw at this height shows mid-run."""
        last = []

        def matches():
            screen = self.term.screen()
            pictures = self.run_pictures(screen)
            found = [differences(screen, mapped(picture, bottom_rows(height)))
                     for picture in pictures]
            if any(not problems for problems in found):
                return screen
            last[:] = [screen, min(found, key=len) if found else ["no panel to read"]]
            return None
        try:
            return self.term.wait_until(matches, 60, what)
        except TimeoutError:
            self.fail(f"{what}: " + (describe(*last) if last else "nothing"))


class Resize(CorpusRun):
    def test_the_picture_follows_the_window_during_a_run_and_in_the_viewer(self):
        self.make_skips()
        self.start("*", "-9")
        self.wait_mid_file("b1.dna")
        self.term.resize(80, 22)
        self.wait_for_fresh_run_picture(22, "the run after shrinking to 80x22")
        self.wait_mid_file("b2.dna")
        self.term.resize(80, 25)
        self.wait_for_fresh_run_picture(25, "the run after growing back to 80x25")

        # The last file was a skip: the bar cleared for it, its red line left for the blanks.
        base = panel(mask="*", files=11, bar=0, percent=100, total=2)
        for size, keys, row in [((80, 25), [], 1), ((80, 22), [], 1), ((80, 22), ["Down"], 2),
                                ((80, 25), [], 2), ((80, 20), ["Up"], 1)]:
            if self.term.height != size[1]:
                self.term.resize(*size)
            if keys:
                self.term.send_keys(*keys)
            self.wait_for_screen(
                mapped(viewer_screen(self.ENTRIES, 1, row, base, 0x04), viewer_rows(size[1])),
                120, f"the viewer at {size} after {keys}")
        self.term.send_keys("Enter")
        self.assertEqual(self.wait_for_end(), 0)
        self.wait_for_prompt()
        self.assert_modes_as_before()
        self.check_archives(self.NAMES[1:])

    def test_a_window_shrunk_below_the_panel_mid_run_gets_plain_lines_to_the_end(self):
        for name in ["a2.txt", "a3.txt", "a4.txt", "a5.txt", "a6.txt"]:
            (self.work / name).unlink()
        write_file(self.work / "c.zip", b"skipped")
        self.start_captured("*", "-9")
        self.wait_mid_file("b1.dna")
        self.term.resize(70, 18)
        # Grown back while the run goes on, the window stays in lines.
        self.term.wait_for_text("√ ZIPPED :  b1.dna", 120)
        self.term.resize(80, 25)
        self.assertEqual(self.wait_for_end(), 0)
        lines = [
            "√ ZIPPED :  b1.dna",
            "√ ZIPPED :  b2.dna",
            "√ ZIPPED :  b3.dna",
            "! SKIPPED: c.zip  Skipped: ZIP already exists",
            "",
            "TOTAL ERRORS / WARNINGS: 1",
            " 5      Skipped: ZIP already exists  c.zip",
        ]
        raw = self.raw_output()
        # The file in hand when the window shrank, and all after it, as plain lines one after
        # the other: nothing of the panel drawn between them.
        self.assertIn(plain(lines), raw)
        start = raw.index(plain(lines))
        self.assertNotIn(b"ZIPPING", raw[start:])
        screen = self.wait_for_prompt()
        first = find_row(screen, lines[0])
        self.assertIsNotNone(first, screen.all_text())
        for offset, line in enumerate(lines):
            self.assertEqual(screen.text(first + offset).rstrip(), line)
        self.assert_modes_as_before()
        self.check_archives(["a1.txt", "b1.dna", "b2.dna", "b3.dna"])
        self.assertEqual((self.work / "c.zip").read_bytes(), b"skipped")

    # Once the run has switched to plain lines, the shell's prompt follows the last line: the
    # reset at the end must not send the cursor home.
    def test_after_a_switch_to_lines_the_prompt_follows_the_last_line(self):
        for path in list(self.work.iterdir()):
            if path.name != "a1.txt":
                path.unlink()
        write_file(self.work / "b.zip", b"skipped")
        self.start("*")
        self.term.wait_for_text(HINT, 60)
        self.term.resize(60, 15)
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        last = find_row(screen, " 2      Skipped: ZIP already exists  b.zip")
        self.assertIsNotNone(last, screen.all_text())
        self.assertEqual(screen.text(last - 1).rstrip(), "TOTAL ERRORS / WARNINGS: 1")
        self.assertEqual(find_row(screen, PROMPT.rstrip()), last + 1, screen.all_text())
        self.assertTrue(screen.text(last + 1).startswith(PROMPT), screen.all_text())

    def test_kill_9_leaves_a_terminal_whose_reader_waits(self):
        self.start("*.dna", "-9")
        self.wait_mid_file("b1.dna")
        os.kill(self.pid(), signal.SIGKILL)
        self.assertEqual(self.wait_for_end(), 128 + signal.SIGKILL)
        after = self.record("stty-after.txt")
        # Nobody restored the modes; a read then waits for a byte rather than returning none,
        # which a shell would take for the end of its input and exit.
        self.assertIn("-icanon", after)
        self.assertIn("min = 1;", after)
        self.assertIn("time = 0;", after)


# ---------------------------------------------------------------------------------------------
# What the terminal can show

class Glyphs(TerminalTest):
    NAME = b"z-caf\xc3\xa9.txt"

    def test_a_locale_without_utf8_gets_an_ascii_panel(self):
        for locale in ("C", "POSIX"):
            with self.subTest(locale=locale):
                shutil.rmtree(self.work)
                self.work.mkdir()
                for number in range(1, 8):
                    write_file(self.work / f"n{number}.txt", prose(2500 * number, number))
                write_file(os.path.join(os.fsencode(self.work), self.NAME), prose(999, 8))
                self.start_captured("*", "-9", prefix=("env", f"LC_ALL={locale}"))
                self.assertEqual(self.wait_for_end(), 0)
                raw = self.raw_output()
                high = [byte for byte in raw if byte >= 0x80]
                self.assertEqual(high, [], "bytes past ASCII reached the terminal")
                screen = self.wait_for_prompt()
                self.assertTrue(screen.text(24).startswith("v ZIPPED :  z-caf??.txt "))
                assert_golden(screen, GOLDEN / "screen_ascii.txt")
                self.assert_terminal_as_before(screen)
                self.assertTrue(os.path.exists(os.path.join(os.fsencode(self.work),
                                                            b"z-caf\xc3\xa9.zip")))

    def test_how_far_two_glyphs_move_the_cursor_decides_between_utf8_and_ascii(self):
        folder = self.work
        for number in range(1, 4):
            write_file(folder / f"w{number}.txt", prose(5000 * number, number))
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TERM": "xterm",
               "LC_ALL": "C.UTF-8"}
        # A cent sign and a box glyph: two columns where UTF-8 is drawn as the panel needs it;
        # three where box glyphs are drawn wide, and on an 8-bit terminal, which shows the cent
        # sign's two bytes as two characters; one where nothing makes sense.
        cases = [(b"\x1b[1;4R", True), (b"\x1b[1;2R", True), (b"\x1b[1;3R", False)]
        for second, ascii_only in cases:
            with self.subTest(second_answer=second):
                for path in folder.glob("*.zip"):
                    path.unlink()
                run = run_on_fake_terminal([str(vordex_pane.BINARY), "*.txt", "-9"], folder, env,
                                           cursor_answers=[b"\x1b[1;1R", second])
                self.assertEqual(run.status, 0, run.output[-500:])
                self.assertEqual(len(run.questions), 2, run.output[:200])
                first, again = run.questions
                # Between the two questions the terminal is shown the two glyphs.
                self.assertEqual(run.output[first:again - 4], "¢─".encode())
                after = run.output[again:]
                high = [byte for byte in after if byte >= 0x80]
                text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\a]*\a", b"", after)
                if ascii_only:
                    self.assertEqual(high, [], "bytes past ASCII after the second answer")
                    self.assertIn(b"v ZIPPED :  w3.txt", text)
                    self.assertIn(b"+" + b"-" * 32 + b"+", text)
                else:
                    self.assertIn("√ ZIPPED :  w3.txt".encode(), text)
                    self.assertIn(("├" + "─" * 32 + "┼").encode(), text)
                for number in range(1, 4):
                    check_archive(self, folder / f"w{number}.zip", f"w{number}.txt",
                                  prose(5000 * number, number))


# ---------------------------------------------------------------------------------------------
# Dumb terminals, background jobs, another user

class Jobs(TerminalTest):
    def make_files(self):
        for number in range(1, 4):
            write_file(self.work / f"j{number}.txt", prose(4000 * number, number))

    def check_packed(self):
        for number in range(1, 4):
            check_archive(self, self.work / f"j{number}.zip", f"j{number}.txt",
                          prose(4000 * number, number))

    def test_a_dumb_or_unnamed_terminal_gets_plain_lines(self):
        for prefix in [("env", "TERM=dumb"), ("env", "-u", "TERM"), ("env", "TERM=")]:
            with self.subTest(prefix=prefix):
                shutil.rmtree(self.work)
                self.work.mkdir()
                self.make_files()
                self.start_captured("*.txt", "-9", prefix=prefix)
                self.assertEqual(self.wait_for_end(), 0)
                lines = [f"√ ZIPPED :  j{number}.txt" for number in range(1, 4)]
                self.assertEqual(self.raw_output(), plain(lines) + PROMPT.encode())
                self.assert_terminal_as_before(self.wait_for_prompt())
                self.check_packed()

    def test_a_background_job_packs_everything_and_leaves_the_terminal_alone(self):
        # tostop: a single byte written to the terminal from the background would stop the
        # job, and wait would then return 128 + SIGTTOU instead of the program's exit code.
        modes = self.root / "modes.txt"
        before = f"set -m; stty tostop; stty -a > {shlex.quote(str(modes))}"
        with self.subTest(job="vordex &"):
            self.make_files()
            self.start_captured("*.txt", "-1", before=before, redirect="& wait $!")
            self.assertEqual(self.wait_for_end(), 0)
            self.assertEqual(self.raw_output(), PROMPT.encode(), "the job wrote to the terminal")
            self.assertEqual(self.record("stty-after.txt"), modes.read_text())
            self.check_packed()
        with self.subTest(job="nohup vordex &"):
            for path in self.work.glob("*.zip"):
                path.unlink()
            # nohup's own notice would go to the terminal and stop nohup itself under tostop.
            errors = self.root / "nohup-stderr.txt"
            self.start_captured("*", "-1", before=before, prefix=("nohup",),
                                redirect=f"2> {shlex.quote(str(errors))} & wait $!")
            self.assertEqual(self.wait_for_end(), 0)
            self.assertEqual(self.raw_output(), PROMPT.encode(), "the job wrote to the terminal")
            self.assertEqual(self.record("stty-after.txt"), modes.read_text())
            self.check_packed()
            # Standard output is nohup.out, no terminal: the plain report goes there, and the
            # run, though its mask matches nohup.out, leaves its own output file alone.
            report = (self.work / "nohup.out").read_bytes()
            no_escape(self, report, "nohup.out")
            lines = report.decode("utf-8").splitlines()
            self.assertEqual([line for line in lines if line.startswith("zipped ")],
                             [f"zipped j{n}.txt -> j{n}.zip" for n in range(1, 4)], lines)
            self.assertTrue(lines[-1].startswith("summary: 4 files, 3 zipped, 1 skipped, 0 failed"),
                            lines)
            self.assertFalse((self.work / "nohup.zip").exists())

    # A background job's standard error is the terminal: with stty tostop a write there would
    # stop the job in the middle of the run.
    def test_a_background_job_with_a_failing_file_is_not_stopped_by_the_terminal(self):
        self.make_files()
        (self.work / "j2.zip").mkdir()
        self.start("*.txt", "-1", before="set -m; stty tostop", redirect="& wait $!")
        self.addCleanup(self.kill_left_over, self.pid())
        status = self.wait_for_end()
        self.assertNotIn(status, (128 + signal.SIGTTOU, 128 + signal.SIGTTIN),
                         "the job was stopped by the terminal")
        self.assertEqual(status, 2)
        for number in (1, 3):
            check_archive(self, self.work / f"j{number}.zip", f"j{number}.txt",
                          prose(4000 * number, number))

    @staticmethod
    def kill_left_over(pid):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    @unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "needs root")
    @unittest.skipUnless(shutil.which("setpriv"), "needs setpriv")
    def test_another_user_draws_on_the_terminal_it_was_given(self):
        # The pane's terminal belongs to root and is not the other user's to open by name.
        os.chmod(self.root, 0o755)
        os.chmod(self.work, 0o777)
        self.make_files()
        self.start("*.txt", "-9", prefix=("setpriv", "--reuid=nobody", "--regid=nogroup",
                                          "--clear-groups"))
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        expected = panel(mask="*.txt", files=3, bar=10, percent=100)
        expected.update(status_rows([zipped_line(f"j{n}.txt") for n in range(1, 4)],
                                    last_row=21))
        assert_cells(self, screen, expected)
        self.assert_terminal_as_before(screen)
        self.check_packed()
        self.assertEqual(os.stat(self.work / "j1.zip").st_uid, 65534)


# ---------------------------------------------------------------------------------------------
# The viewer cut short

class ViewerInterrupted(TerminalTest):
    def test_ctrl_c_or_sigterm_in_the_viewer_erase_the_hint_and_the_prompt_comes_last(self):
        cases = [("C-c", (80, 25)), ("SIGTERM", (80, 25)), ("SIGTERM", (80, 22))]
        for how, size in cases:
            with self.subTest(how=how, size=size):
                shutil.rmtree(self.work)
                self.work.mkdir()
                write_file(self.work / "v1.txt", prose(3000, 1))
                write_file(self.work / "v2.zip", b"skipped")
                self.start_sized(size, "*")
                height = size[1]
                base = panel(mask="*", files=2, bar=0, percent=100, total=1)
                viewer = self.wait_for_screen(
                    mapped(viewer_screen([(2, 0, "v2.zip")], 1, 1, base, 0x04),
                           viewer_rows(height)), 60, f"the viewer at {size}")
                hint_row = find_row(viewer, HINT)
                self.assertEqual(hint_row, viewer_rows(height).index(24) + 1)
                if how == "C-c":
                    self.term.send_keys("C-c")
                    status, shell_lines = 128 + signal.SIGINT, ["interrupted"]
                else:
                    os.kill(self.pid(), signal.SIGTERM)
                    # The shell's own word for a job a signal ended.
                    status, shell_lines = 128 + signal.SIGTERM, ["Terminated"]
                self.assertEqual(self.wait_for_end(), status)
                screen = self.wait_for_prompt()
                # The program's line feed below the status window scrolled the screen by one;
                # each line the shell printed before its prompt, by one more.
                shift = 1 + len(shell_lines)
                for row in range(1, height - shift):
                    source = row + shift
                    if source == hint_row:
                        self.assertEqual(screen.text(row).strip(), "", "the hint stays")
                        self.assertTrue(all(cell.default_colours for cell in screen.rows[row - 1]))
                        continue
                    self.assertEqual(
                        [(c.glyph, c.foreground, c.background) for c in screen.rows[row - 1]],
                        [(c.glyph, c.foreground, c.background) for c in viewer.rows[source - 1]],
                        f"row {row} should show what row {source} showed")
                for offset, word in enumerate(shell_lines):
                    self.assertIn(word, screen.text(height - shift + 1 + offset))
                self.assertEqual(screen.text(height).rstrip(), PROMPT.rstrip())
                self.assertEqual(self.term.cursor(), (len(PROMPT) + 1, height))
                self.assert_terminal_as_before(screen)


if __name__ == "__main__":
    vordex_pane.main()
