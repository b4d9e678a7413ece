#!/usr/bin/env python3
"""The terminal as the run shares it with the shell and with other programs, in tmux and in GNU
screen (screen runs in the tmux pane, which then shows what screen draws): Ctrl+Z, bg and fg in
the middle of a run and in the viewer, standard output into a pipe whose reader writes to the same
terminal, the usage text on 20 to 24 rows, Ctrl+Z in plain lines within a large file, NO_COLOR,
a window shrunk below the panel in the viewer, a name holding ESC after a switch to plain lines,
and an 8-bit screen window.

    test_shared_terminal.py PATH_TO_VORDEX [unittest arguments]

The bytes the program sends are checked in tmux only: under screen the pane gets what screen
draws.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import test_terminals as terminals  # noqa: E402
import vordex_pane  # noqa: E402
from test_terminal import process_state  # noqa: E402
from vordex_pane import (  # noqa: E402
    PROMPT, USAGE, check_archive, files_shown, find_row, panel, prose, viewer_screen, write_file)

GOLDEN = Path(__file__).resolve().parent / "golden"
HINT = terminals.HINT
# What the program sends when it leaves the panel for plain lines: colours off, the cursor shown,
# and the cursor's row and those below it erased.
SWITCH_TO_LINES = b"\x1b[0m\x1b[?25h\r\x1b[J"


def cpu_ticks(pid):
    """The time the process has run, in clock ticks."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def terminal_modes(pid):
    """stty -a of the terminal the process reads from."""
    tty = os.readlink(f"/proc/{pid}/fd/0")
    return subprocess.run(["stty", "-a", "-F", tty], capture_output=True, text=True).stdout


def raw_mode(modes):
    return re.search(r"(^|\s)-icanon(\s|$)", modes) and re.search(r"(^|\s)-echo(\s|$)", modes)


def gate(path):
    return f"while [ ! -e {shlex.quote(str(path))} ]; do sleep 0.02; done"


class InTmux:
    in_tmux = True


class InScreen:
    """The shell runs under GNU screen; encoding, the window's (None: the locale's)."""

    in_tmux = False
    encoding = None

    def setUp(self):
        super().setUp()
        rc = self.root / "screenrc"
        # Without autodetach screen would outlive the tmux server that the test kills.
        lines = ["startup_message off", "vbell off", "autodetach off"]
        if self.encoding:
            lines.append(f"defencoding {self.encoding}")
        rc.write_text("\n".join(lines) + "\n")
        self.wrapper = ("screen", "-c", str(rc))


# ---------------------------------------------------------------------------------------------
# Job control

class JobControl:
    """The program as a job of bash with job control. bash's fg sends no SIGCONT to a job that
    runs in the background: the run must find out by itself that the terminal is its own again.
    """

    # Two skips first, which have scrolled out of the status window by the first large file.
    NAMES = (["a0.zip", "a05.zip"] + [f"a{n}.txt" for n in range(1, 7)] +
             [f"b{n}.dna" for n in range(1, 4)])
    ENTRIES = [(1, 0, "a0.zip"), (2, 0, "a05.zip")]

    def start_job(self, *args):
        """Once the job stops, bash records the modes, and at each gate (go_bg, go_fg) runs bg,
        then fg."""
        self.go_bg, self.go_fg = self.root / "go-bg", self.root / "go-fg"
        self.stopped_modes = self.root / "stty-stopped.txt"
        part = shlex.quote(str(self.root / "stty-stopped.part"))
        self.start(*args, shell="bash", before="set -m", then="; ".join([
            "echo stopped=$?", f"stty -a > {part}",
            f"mv {part} {shlex.quote(str(self.stopped_modes))}", gate(self.go_bg), "bg",
            gate(self.go_fg), "fg"]))

    def stop_and_send_to_background(self):
        pid = self.pid()
        self.term.send_keys("C-z")
        self.term.wait_for_text("stopped=148", 30)
        self.assertEqual(process_state(pid), "T")
        self.term.wait_until(self.stopped_modes.exists, 10, "the modes while stopped")
        self.assertEqual(terminals.modes(self.stopped_modes.read_text()),
                         terminals.modes(self.record("stty-before.txt")),
                         "the terminal handed back for the stop")
        self.assertTrue(self.term.cursor_visible())
        self.go_bg.touch()
        self.term.wait_until(lambda: process_state(pid) not in ("T", None), 10, "bg")
        return pid

    def bring_forward(self, pid):
        self.go_fg.touch()
        self.term.wait_until(lambda: raw_mode(terminal_modes(pid)), 10, "raw mode after fg")

    def test_ctrl_z_bg_and_fg_in_the_middle_of_a_run(self):
        self.make_skips()
        self.start_job("*", "-9")
        self.wait_mid_file("b1.dna")
        pid = self.stop_and_send_to_background()
        # In the background the run packs on, and leaves the shell's lines alone.
        ticks = cpu_ticks(pid)
        self.term.wait_until(lambda: cpu_ticks(pid) > ticks + 10, 60, "packing in the background")
        self.assertIn("stopped=148", self.term.screen().all_text())
        self.bring_forward(pid)
        self.wait_for_fresh_run_picture(25, "the run after fg")
        self.assertFalse(self.term.cursor_visible())
        # ESC stops the run after the file in hand; the viewer's arrows work.
        self.term.send_keys("Escape")
        screen = self.term.wait_for_text(HINT, 120)
        base = panel(mask="*", files=files_shown(screen), bar=10, percent=100, total=2)
        self.wait_for_screen(viewer_screen(self.ENTRIES, 1, 1, base, 0x07), 30, "the viewer")
        self.term.send_keys("Down")
        self.wait_for_screen(viewer_screen(self.ENTRIES, 1, 2, base, 0x07), 30, "Down")
        self.term.send_keys("Enter")
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        # What is left of the run still says it was cut short, and the rest is the shell's.
        self.assertEqual(screen.text(19).rstrip(), "Operations aborted")
        self.assertEqual(find_row(screen, PROMPT.rstrip()), 20)
        for row in range(19, 26):
            self.assertTrue(all(cell.default_colours for cell in screen.rows[row - 1]), row)
        self.assertFalse((self.work / "b3.zip").exists(), "the run went on after ESC")
        self.check_archives([f"a{n}.txt" for n in range(1, 7)] + ["b1.dna"])
        self.assert_terminal_as_before(screen)

    def test_ctrl_z_bg_and_fg_in_the_viewer(self):
        for path in self.work.glob("b*.dna"):
            path.unlink()
        self.make_skips()
        self.start_job("*")
        base = panel(mask="*", files=8, bar=10, percent=100, total=2)
        fresh = self.wait_for_screen(viewer_screen(self.ENTRIES, 1, 1, base, 0x07), 60,
                                     "the viewer")
        pid = self.stop_and_send_to_background()
        self.assertIn("stopped=148", self.term.screen().all_text())
        self.bring_forward(pid)
        again = self.wait_for_screen(viewer_screen(self.ENTRIES, 1, 1, base, 0x07), 30,
                                     "the viewer after fg")
        self.assertEqual(again.golden(), fresh.golden(), "the viewer drawn anew, cell for cell")
        self.assertTrue(self.term.cursor_visible())
        self.term.send_keys("End")
        self.wait_for_screen(viewer_screen(self.ENTRIES, 1, 2, base, 0x07), 30, "End")
        self.term.send_keys("Escape")
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        self.assertEqual(find_row(screen, PROMPT.rstrip()), 19)
        self.assert_terminal_as_before(screen)


    def test_a_viewer_brought_back_to_a_window_too_small_for_the_panel_goes_on_in_lines(self):
        # A job in the background hears of no resize: it learns the size on its way back.
        for path in self.work.glob("b*.dna"):
            path.unlink()
        self.make_skips()
        self.start_job("*")
        self.term.wait_for_text(HINT, 60)
        self.stop_and_send_to_background()
        self.term.resize(70, 15)
        self.go_fg.touch()
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        last = find_row(screen, " 2      Skipped: ZIP already exists  a05.zip")
        self.assertIsNotNone(last, screen.all_text())
        self.assertNotIn("Errors have occured", screen.all_text())
        self.assert_modes_as_before()


class JobControlInTmux(InTmux, JobControl, terminals.CorpusRun):
    pass


class JobControlInScreen(InScreen, JobControl, terminals.CorpusRun):
    pass


# ---------------------------------------------------------------------------------------------
# Plain lines: Ctrl+Z within a file, a name after a switch, the viewer left for lines

class Lines:
    def assert_nothing_but_text_after_the_switch(self):
        """The switch erases from the cursor's row down and moves nowhere else; not one escape
        byte follows it (checked in tmux, which gets the program's own bytes)."""
        if not self.in_tmux:
            return
        raw = self.raw_output()
        self.assertIn(SWITCH_TO_LINES, raw)
        terminals.no_escape(self, raw[raw.index(SWITCH_TO_LINES) + len(SWITCH_TO_LINES):],
                            "after the switch to lines")

    def test_ctrl_z_in_plain_lines_stops_within_half_a_second_in_a_large_file(self):
        for path in self.work.iterdir():
            if path.name != "b1.dna":
                path.unlink()
        self.size = (79, 25)
        go = self.root / "go"
        self.start("*", "-9", shell="bash", before="set -m",
                   then=f"echo stopped=$?; {gate(go)}; fg")
        pid = self.pid()
        self.term.wait_until(lambda: list(self.work.glob(".b1.zip.*")), 60, "b1.dna in hand")
        pressed = time.monotonic()
        self.term.send_keys("C-z")
        self.term.wait_until(lambda: process_state(pid) == "T", 10, "the stop")
        self.assertLess(time.monotonic() - pressed, 0.5)
        self.term.wait_for_text("stopped=148")
        self.assertTrue(list(self.work.glob(".b1.zip.*")), "stopped before the file was done")
        go.touch()
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        self.assertIsNotNone(find_row(screen, "√ ZIPPED :  b1.dna"), screen.all_text())
        self.check_archives(["b1.dna"])
        self.assert_modes_as_before()

    def test_a_name_holding_esc_after_a_switch_to_lines(self):
        for path in self.work.iterdir():
            if path.name != "b1.dna":
                path.unlink()
        write_file(os.path.join(os.fsencode(self.work), b"c-\x1b[31mred.txt"), prose(999, 1))
        self.start_captured("*", "-9")
        self.wait_mid_file("b1.dna")
        self.term.resize(70, 18)
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        self.assertIsNotNone(find_row(screen, "√ ZIPPED :  c-←[31mred.txt"), screen.all_text())
        self.assert_nothing_but_text_after_the_switch()
        self.assert_modes_as_before()

    def test_a_viewer_shrunk_below_the_panel_erases_its_hint(self):
        for path in self.work.iterdir():
            path.unlink()
        write_file(self.work / "v1.txt", prose(3000, 1))
        write_file(self.work / "v2.zip", b"skipped")
        self.start_captured("*")
        self.term.wait_for_text(HINT, 60)
        self.term.resize(70, 15)
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        self.assertNotIn("Errors have occured", screen.all_text())
        last = find_row(screen, " 2      Skipped: ZIP already exists  v2.zip")
        self.assertIsNotNone(last, screen.all_text())
        self.assertEqual(screen.text(last - 1).rstrip(), "TOTAL ERRORS / WARNINGS: 1")
        self.assertEqual(self.term.cursor(), (len(PROMPT) + 1, last + 1))
        self.assert_nothing_but_text_after_the_switch()
        self.assert_modes_as_before()


class LinesInTmux(InTmux, Lines, terminals.LongRuns):
    pass


class LinesInScreen(InScreen, Lines, terminals.LongRuns):
    pass


# ---------------------------------------------------------------------------------------------
# Pipes

class Pipes:
    REPORT = [
        "zipped doc1.txt -> doc1.zip",
        "failed doc2.txt: Unable to open/create file: Is a directory",
        "zipped doc3.txt -> doc3.zip",
        "skipped old.zip (a ZIP archive itself)",
    ]

    def make_files(self):
        shutil.rmtree(self.work)
        self.work.mkdir()
        for number in range(1, 4):
            write_file(self.work / f"doc{number}.txt", prose(20000 * number, number))
        write_file(self.work / "old.zip", b"an archive already")
        (self.work / "doc2.zip").mkdir()

    def test_a_pipe_gets_the_report_and_the_terminal_is_left_alone(self):
        log = self.root / "log.txt"
        for reader in (f"tee {shlex.quote(str(log))}", "cat", "grep failed"):
            with self.subTest(reader=reader):
                self.make_files()
                self.start_captured("*", redirect=f"| {reader}")
                self.wait_for_end()
                screen = self.wait_for_prompt()
                shown = [screen.text(row).rstrip() for row in range(1, screen.height + 1)]
                report = [line for line in self.REPORT if reader != "grep failed" or
                          "failed" in line]
                for line in report:
                    self.assertIn(line, shown)
                # Failures go to standard error, the terminal, as with any redirection.
                self.assertIn("vordex: doc2.txt: Unable to open/create file: Is a directory",
                              shown)
                self.assertNotIn("MASK:", screen.all_text())
                if reader.startswith("tee"):
                    lines = log.read_text().splitlines()
                    self.assertEqual(lines[:4], self.REPORT)
                    self.assertTrue(lines[4].startswith("summary: 4 files, 2 zipped"), lines)
                if self.in_tmux:
                    terminals.no_escape(self, self.raw_output(), f"| {reader}")
                self.assert_terminal_as_before(screen)
                self.assertTrue(self.term.cursor_visible())
                check_archive(self, self.work / "doc3.zip", "doc3.txt", prose(60000, 3))


class PipesInTmux(InTmux, Pipes, terminals.TerminalTest):
    pass


class PipesInScreen(InScreen, Pipes, terminals.TerminalTest):
    pass


class CtrlCIntoAPipe(terminals.LongRuns):
    def test_ctrl_c_stops_a_run_into_a_pipe_cleanly(self):
        self.start_captured("*", "-9", redirect="| cat")
        # The report streams through the pipe while the run goes on.
        self.term.wait_for_text("zipped a6.txt -> a6.zip", 60)
        self.term.wait_until(lambda: list(self.work.glob(".*.zip.*")), 60, "a large file in hand")
        self.term.send_keys("C-c")
        self.wait_for_end()
        self.assertEqual([path.name for path in self.work.iterdir() if path.name[0] == "."], [])
        self.check_archives([f"a{n}.txt" for n in range(1, 7)])
        for path in self.work.glob("b*.zip"):
            check_archive(self, path, path.stem + ".dna", self.sources[path.stem + ".dna"])
        terminals.no_escape(self, self.raw_output(), "| cat")
        self.assert_modes_as_before()


# ---------------------------------------------------------------------------------------------
# Usage on 20 to 24 rows, NO_COLOR

class Screens:
    def test_the_usage_ends_with_the_cursor_below_it_on_20_to_24_rows(self):
        for height in (24, 22, 20):
            # A full screen (the cursor on its bottom row), then the cursor on row 10.
            for lines_before in (height + 5, 9):
                with self.subTest(height=height, lines_before=lines_before):
                    self.size = (80, height)
                    self.start("--help", before=f"i=1; while [ $i -le {lines_before} ]; do "
                                                f"echo \"line $i\"; i=$((i + 1)); done")
                    self.assertEqual(self.wait_for_end(), 0)
                    screen = self.wait_for_prompt()
                    prompt_row = find_row(screen, PROMPT.rstrip())
                    first = prompt_row - len(USAGE)
                    # The text is taller than the shortest windows: its end shows, up to the top.
                    expected = [f"line {lines_before}"] + USAGE
                    shown = min(len(expected), prompt_row - 1)
                    self.assertEqual(
                        [screen.text(row).rstrip() for row in range(prompt_row - shown, prompt_row)],
                        expected[-shown:], screen.all_text())
                    if lines_before + len(USAGE) < height:
                        self.assertEqual(first, lines_before + 1)
                    self.assertEqual(self.term.cursor(), (len(PROMPT) + 1, prompt_row))
                    self.assert_terminal_as_before(screen)

    def test_no_color_draws_the_same_characters_without_colours(self):
        for number in range(1, 9):
            write_file(self.work / f"file{number}.txt", prose(3000 * number + 7, number))
        self.start("*.txt", "-9", prompt=False, prefix=("env", "NO_COLOR=1"))
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.term.screen()
        golden = (GOLDEN / "screen_eight_files.txt").read_text(encoding="utf-8").splitlines()
        self.assertEqual([screen.text(row).rstrip() for row in range(1, 26)], golden[:25])
        self.assertNotRegex(self.term.capture_text(), r"\x1b\[[0-9;]*([349][0-7]|[34]8)[;m]")

        # Where a colour marks something, bold or reverse video takes its place.
        for path in self.work.iterdir():
            path.unlink()
        write_file(self.work / "v1.txt", prose(3000, 1))
        write_file(self.work / "v2.zip", b"skipped")
        self.start("*", prefix=("env", "NO_COLOR=1"))
        self.term.wait_for_text(HINT, 60)
        capture = self.term.capture_text().split("\n")
        self.assertNotRegex("\n".join(capture), r"\x1b\[[0-9;]*([349][0-7]|[34]8)[;m]")
        self.assertRegex(capture[7], r"\x1b\[7m 2 ")  # the selected entry
        self.assertRegex(capture[15], r"\x1b\[1m    1")  # the total
        self.term.send_keys("Enter")
        self.assertEqual(self.wait_for_end(), 0)
        self.assert_terminal_as_before(self.wait_for_prompt())


class ScreensInTmux(InTmux, Screens, terminals.TerminalTest):
    pass


class ScreensInScreen(InScreen, Screens, terminals.TerminalTest):
    pass


class EightBitScreenWindow(InScreen, terminals.TerminalTest):
    encoding = "ISO-8859-1"

    def test_a_window_that_does_not_decode_utf8_gets_the_ascii_panel(self):
        for number in range(1, 4):
            write_file(self.work / f"w{number}.txt", prose(5000 * number, number))
        self.start("*.txt", "-9")
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        self.assertEqual(screen.text(17).rstrip(), " +" + "-" * 32 + "+" + "-" * 43 + "+")
        self.assertEqual(screen.text(21).rstrip(), "v ZIPPED :  w3.txt")
        self.assert_terminal_as_before(screen)


if __name__ == "__main__":
    vordex_pane.main()
