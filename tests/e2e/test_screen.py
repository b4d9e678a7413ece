#!/usr/bin/env python3
"""The program's screen as a user sees it, through a real terminal (tmux at 80x25): the panel
cell by cell, the fields of a run, the status window, the error viewer and its keys, the usage
text, file names that must show literally, and golden copies of whole screens.

    test_screen.py PATH_TO_VORDEX [--update-golden] [unittest arguments]
"""

import os
import shutil
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import vordex_pane  # noqa: E402
from tmux_screen import assert_golden  # noqa: E402
from vordex_pane import (  # noqa: E402
    DEFAULT_BLANK, PROMPT, TITLE, USAGE, PaneTest, Want, assert_cells, check_archive,
    log_window, panel, place, place_log_window, place_text, prose, status_rows, viewer_screen,
    write_file, zipped_line)

GOLDEN = Path(__file__).resolve().parent / "golden"


def merged(*pictures):
    expected = {}
    for picture in pictures:
        expected.update(picture)
    return expected


class Panel(PaneTest):
    def test_the_panel_right_after_start(self):
        # A mask that matches nothing: the panel with its option fields, and the status window
        # says so.
        cases = [
            (["*.none"], "*.none", False, False),
            (["*.nothing-matches-this", "-O"], "*.nothing-", True, False),
            (["*.none", "-d", "-9"], "*.none", False, True),
            (["none", "-D", "-o", "-0"], "none", True, True),
        ]
        for args, mask, over, delete in cases:
            with self.subTest(args=args):
                self.start(*args, prompt=False)
                self.assertEqual(self.wait_for_end(), 0)
                screen = self.term.screen()
                expected = panel(mask=mask, over=over, delete=delete)
                for row in range(19, 26):
                    for column in range(1, 81):
                        expected[(column, row)] = DEFAULT_BLANK
                place_text(expected, 1, 19, f"No file matches {args[0]}", 0x07)
                assert_cells(self, screen, expected)
                self.assertEqual(self.term.cursor(), (1, 20))
                self.assertEqual(self.term.title(), TITLE)
                self.check_logo_bounds(screen)

    def check_logo_bounds(self, screen):
        """The logo's design is free, but it stays in columns 1-35 (rows 2, 3 and 6 end with two
        blank columns, 35 and 36; row 7's logo ends at column 34) and leaves a black background
        beside the frame."""
        for row in (2, 3, 6):
            for column in (35, 36):
                cell = screen.cell(column, row)
                self.assertEqual(cell.glyph, " ", f"column {column}, row {row}")
                self.assertIn(cell.background, (None, 0), f"column {column}, row {row}")
        for row, last in [(1, 35), (4, 35), (5, 35), (7, 34), (8, 35), (9, 34)]:
            self.assertIn(screen.cell(last, row).background, (None, 0), f"row {row}")

    def test_fields_and_the_status_window_after_eight_files(self):
        for number in range(1, 9):
            write_file(self.work / f"file{number}.txt", prose(3000 * number + 7, number))
        self.start("*.txt", "-9", prompt=False)
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.term.screen()
        # Files 3 to 8 on rows 19-24; row 25 blank with the cursor at its start.
        expected = merged(
            panel(mask="*.txt", files=8, bar=10, percent=100),
            status_rows([zipped_line(f"file{number}.txt") for number in range(3, 9)]))
        assert_cells(self, screen, expected)
        self.assertEqual(self.term.cursor(), (1, 25))
        self.assertTrue(self.term.cursor_visible())
        for number in range(1, 9):
            self.assertTrue((self.work / f"file{number}.zip").exists())
        assert_golden(screen, GOLDEN / "screen_eight_files.txt")

    def test_an_empty_last_file_keeps_the_bar_empty_and_the_old_percent(self):
        write_file(self.work / "a.txt", prose(70000, 1))
        write_file(self.work / "b.txt", b"")
        self.start("*.txt", prompt=False)
        self.assertEqual(self.wait_for_end(), 0)
        expected = merged(
            panel(mask="*.txt", files=2, bar=0, percent=100),
            status_rows([zipped_line("a.txt"), zipped_line("b.txt")]))
        assert_cells(self, self.term.screen(), expected)


class Viewer(PaneTest):
    # Two files zipped, four problems: an existing archive without -O (and that archive itself,
    # a .zip), another .zip, and a folder standing where an archive must go.
    PROBLEMS = [(2, 0, "beta.txt"), (3, 0, "beta.zip"), (4, 0, "delta.zip"), (5, 1, "gamma.txt")]

    def make_files(self):
        shutil.rmtree(self.work)
        self.work.mkdir()
        write_file(self.work / "alpha.txt", prose(30000, 1))
        write_file(self.work / "beta.txt", prose(500, 2))
        write_file(self.work / "beta.zip", b"made earlier")
        write_file(self.work / "delta.zip", b"not a source")
        write_file(self.work / "gamma.txt", prose(900, 3))
        (self.work / "gamma.zip").mkdir()
        write_file(self.work / "omega.txt", prose(12345, 4))

    def problems_panel(self):
        return panel(mask="*", files=6, bar=10, percent=100, total=4)

    def drive(self, entries, keys, base, blank, timeout=30):
        """Presses the keys one by one; after each, waits for the picture the viewer must show
        over the panel `base`, its blanks in the attribute `blank`. A key that must change
        nothing is followed by ones that do, so a wrong effect shows."""
        top, row = 1, 1
        self.wait_for_screen(viewer_screen(entries, top, row, base, blank), 120,
                             "the viewer's start")
        # The page keys are the arrows pressed several times over.
        steps = {"Down": ["Down"], "Up": ["Up"], "NPage": ["Down"] * 7, "PPage": ["Up"] * 7,
                 "End": ["Down"] * len(entries), "Home": ["Up"] * len(entries)}
        for number, key in enumerate(keys, 1):
            self.term.send_keys(key)
            for step in steps.get(key, []):
                selected = top + row - 1
                if step == "Down" and selected < len(entries):
                    if row < 7:
                        row += 1
                    else:
                        top += 1
                elif step == "Up":
                    if row > 1:
                        row -= 1
                    elif top > 1:
                        top -= 1
            self.wait_for_screen(viewer_screen(entries, top, row, base, blank), timeout,
                                 f"the viewer after key {number} ({key}), top {top} row {row}")
        return top, row

    def leave(self, key, entries, top, row, base):
        self.term.send_keys(key)
        self.assertEqual(self.wait_for_end(), 2 if any(code for _, code, _ in entries) else 0)
        screen = self.wait_for_prompt()
        # The status window blank in light grey on black, the shell's prompt at its top left in
        # the terminal's own colours; the log window keeps the last selection highlighted.
        expected = merged(base, status_rows([]))
        for offset, char in enumerate(PROMPT):
            expected[(1 + offset, 19)] = Want(char, None, False)
        place_log_window(expected, log_window(entries, top, top + row - 1))
        assert_cells(self, screen, expected)
        self.assertEqual(self.term.cursor(), (len(PROMPT) + 1, 19))
        self.assert_terminal_as_before(screen)

    def test_browsing_skips_and_an_error(self):
        for leave_with in ("Enter", "Escape"):
            with self.subTest(leave_with=leave_with):
                self.make_files()
                self.start("*")
                keys = ["Down", "Down", "Down", "Down", "Up", "Up", "Up", "Up", "Down",
                        "Left", "Right", "a", "F1", "Down", "Home", "Down", "End", "PPage",
                        "NPage", "Up"]
                # The last file was zipped: its line left light grey for the viewer's blanks.
                top, row = self.drive(self.PROBLEMS, keys, self.problems_panel(), 0x07)
                self.assertEqual((top, row), (1, 3))
                self.leave(leave_with, self.PROBLEMS, top, row, self.problems_panel())
                check_archive(self, self.work / "alpha.zip", "alpha.txt",
                              (self.work / "alpha.txt").read_bytes())
                self.assertEqual((self.work / "beta.zip").read_bytes(), b"made earlier")
                self.assertTrue((self.work / "gamma.zip").is_dir())
                self.assertFalse((self.work / "delta.zip.zip").exists())

    def test_scrolling_through_more_entries_than_the_window_holds(self):
        entries = []
        for number in range(1, 13):
            name = f"s{number:02}.zip"
            write_file(self.work / name, b"x" * number)
            entries.append((number, 0, name))
        # One error among them, so the window shows both kinds of message as it scrolls.
        (self.work / "s10.zip").unlink()
        (self.work / "s10.zip").mkdir()
        write_file(self.work / "s10.txt", b"blocked")
        entries[9] = (10, 1, "s10.txt")
        self.start("s*")
        # Only skips and errors: no bar, no percent; the last line left red.
        base = panel(mask="s*", files=12, bar=0, total=12)
        keys = (["Down"] * 11 + ["Down", "Down"] + ["Up"] * 11 + ["Up", "Up", "Down"] +
                ["NPage", "NPage", "PPage", "End", "Home", "End", "PPage", "Home", "Down"])
        top, row = self.drive(entries, keys, base, 0x04)
        self.assertEqual((top, row), (1, 2))
        self.leave("Escape", entries, top, row, base)

    def test_golden_viewer_screen(self):
        self.make_files()
        self.start("*")
        top, row = self.drive(self.PROBLEMS, ["Down"], self.problems_panel(), 0x07)
        assert_golden(self.term.screen(), GOLDEN / "screen_viewer.txt")
        # While the viewer waits, the cursor shows the output position: after the detail line.
        self.assertEqual(self.term.cursor(), (79, 19))
        self.assertTrue(self.term.cursor_visible())
        self.leave("Enter", self.PROBLEMS, top, row, self.problems_panel())


class Usage(PaneTest):
    def test_usage_follows_earlier_output_in_the_terminals_colours(self):
        cases = [
            # Two lines of shell output, then the usage text right below them.
            ("printf 'earlier output one\\nearlier output two\\n'",
             ["earlier output one", "earlier output two"] + USAGE, (1, 3 + len(USAGE))),
            # A line the shell left open: the usage text's first line break ends it.
            ("printf 'no line end'", ["no line end"] + USAGE[1:], (1, 1 + len(USAGE))),
            # A full screen: every line break of the usage text scrolls it by one row.
            ("i=1; while [ $i -le 30 ]; do echo \"line $i\"; i=$((i + 1)); done",
             [f"line {i}" for i in range(7 + len(USAGE), 31)] + USAGE, (1, 25)),
        ]
        for before, rows, cursor in cases:
            with self.subTest(before=before):
                self.start(before=before, prompt=False)
                self.assertEqual(self.wait_for_end(), 0)
                screen = self.term.screen()
                expected = {}
                for row in range(1, 26):
                    text = rows[row - 1] if row <= len(rows) else ""
                    for column in range(1, 81):
                        char = text[column - 1] if column <= len(text) else " "
                        expected[(column, row)] = Want(char, None, False)
                assert_cells(self, screen, expected)
                self.assertEqual(self.term.cursor(), cursor)
                self.assertEqual(self.term.title(), TITLE)


class Names(PaneTest):
    CJK = "漢字"

    def test_names_show_literally_and_end_their_lines_at_column_79(self):
        runs = {
            "[a-d]*": [
                b"a|12red\nnewline.txt",  # no colour change, no line break
                b"b-esc\x1b[31m-tab\t-bell\a-del\x7f.txt",  # no sequence, no tab, no beep
                b"c-csi\xc2\x9b31m-overlong\xc0\x80-bad\xe9.txt",  # bytes, not characters
                b"d-last.txt",
            ],
            "[e-h]*": [
                ("e-" + "Ünïcödé-" * 9 + ".txt").encode(),  # 78 characters: cut to 67
                ("f-" + self.CJK * 15 + "x.txt").encode(),  # 67 columns exactly
                ("g-" + self.CJK * 20 + ".txt").encode(),  # 86 columns: cut before a character
                "h-cafe\u0301.txt".encode(),  # a combining accent shares its letter's cell
            ],
        }
        shown = {
            0: "√ ZIPPED :  a|12red◙newline.txt ",
            1: "√ ZIPPED :  b-esc←[31m-tab○-bell•-del⌂.txt ",
            2: "√ ZIPPED :  c-csi┬¢31m-overlong└Ç-badΘ.txt ",
        }
        for mask, names in runs.items():
            with self.subTest(mask=mask):
                for number, name in enumerate(names, 1):
                    write_file(os.path.join(os.fsencode(self.work), name),
                               prose(100 * number, number))
                self.start(mask, prompt=False)
                self.assertEqual(self.wait_for_end(), 0)
                screen = self.term.screen()
                expected = status_rows([zipped_line(name) for name in names])
                assert_cells(self, screen, expected)
                self.assertEqual(self.term.cursor(), (1, 19 + len(names)))
                self.assertFalse(self.term.bell_rang())
                for name in names:
                    base = name[:name.rindex(b".")]
                    self.assertTrue(
                        os.path.exists(os.path.join(os.fsencode(self.work), base + b".zip")))
                if mask.startswith("[a"):
                    for index, text in shown.items():
                        self.assertTrue(screen.text(19 + index).startswith(text))

    def test_the_viewer_shows_a_name_literally(self):
        name = b"z|12\nskip|07.zip"
        write_file(os.path.join(os.fsencode(self.work), name), b"skipped")
        self.start("z*", prompt=False)
        base = panel(mask="z*", files=1, bar=0, total=1)
        screen = self.wait_for_screen(viewer_screen([(1, 0, name)], 1, 1, base, 0x04), 120,
                                      "the viewer")
        self.assertTrue(screen.text(19).startswith("! SKIPPED: z|12◙skip|07.zip "))
        self.term.send_keys("Enter")
        self.assertEqual(self.wait_for_end(), 0)


if __name__ == "__main__":
    vordex_pane.main()
