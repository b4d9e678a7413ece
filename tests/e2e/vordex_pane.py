"""Vordex run from a shell in a tmux pane of 80x25, and what its screen must show, cell by cell.

The shell around the program records what a user would notice: the terminal's modes before and
after the program (stty -a), its exit code, its process id (for signals), and then prints a
prompt of its own and waits, so the screen stays as the program and the prompt left it.

    class MyTest(PaneTest):
        def test_something(self):
            self.start("*.txt", "-9")
            self.assertEqual(self.wait_for_end(), 0)
            assert_cells(self, self.term.screen(), panel(mask="*.txt", files=8, bar=10))
"""

import os
import random
import shlex
import sys
import tempfile
import unicodedata
import unittest
import zipfile
from collections import namedtuple
from pathlib import Path

from tmux_screen import TmuxScreen

BINARY = None  # set by main()
PROMPT = "shell-prompt$ "
TITLE = "Vordex v1.1"

ZIPPED = "|08√ |07ZIPPED |08: |07 "
SKIPPED_TAG = "|12! SKIPPED|04: "
ERROR_TAG = "|12! ERROR  |04: "
MESSAGES = [
    "Skipped: ZIP already exists", "Unable to open/create file ", "Error adding file to ZIP   ",
    "Error reading file         ", "Error writing to file      ", "Error closing file         ",
]
VIEWER_PROMPT = ("|08...|07Errors have occured.  Use |08[|15ARROWS|08] |07to View, or "
                 "|08[|15ENTER|08] |07to Quit|08...")
USAGE = [
    "",
    "Usage: VORDEX [file mask] [options]",
    "",
    "[file mask] contains the file mask which will be processed",
    "[options]   any number of the following optional commands:",
    "",
    "-O  Overwrite existing .ZIP files",
    "-D  Delete original file after zipping",
    "-X  Sets compression level (where X is 0 through 9)",
    "-T  Packs with every core (-Tn: with n threads, 1 through 64)",
    "-R  Also packs matching files in every subfolder, beside each file",
    "-n  Shows what would be done and does nothing",
    "-q  Writes no report to standard output",
    "",
    "Long forms: --overwrite --delete --level=X --fast --best --threads[=n]",
    "  --recursive --dry-run --quiet --help --version; -- ends the options",
    "--files-from=FILE  Packs the names FILE lists, one a line (- reads input)",
    "--files0-from=FILE The same with names ended by NUL, as find -print0 gives",
    "--output-dir=DIR   Writes every archive into DIR (with -R, a tree below it)",
    "--exclude=PATTERN  Passes over names (with a /, paths) that match PATTERN",
    "--older-than=AGE   Packs only files last changed AGE ago or more: 30m 12h 7d",
    "--json             Writes the report as JSON Lines",
]

# The progress bar's ten cells as they are drawn, and the empty bar.
BAR = [("░", 0x04), ("▒", 0x04), ("▓", 0x04), ("█", 0x04), ("░", 0x4C), ("▒", 0x4C),
       ("▓", 0x4C), ("█", 0x0C), ("█", 0x0E), ("█", 0x0F)]
EMPTY_BAR_CELL = ("░", 0x08)

# The glyphs of the code page 437 control bytes 0-31, then 127.
_CONTROL_GLYPHS = " ☺☻♥♦♣♠•◘○◙♂♀♪♫☼►◄↕‼¶§▬↨↑↓→←∟↔▲▼"
_DELETE_GLYPH = "⌂"


# ---------------------------------------------------------------------------------------------
# Expected cells

# glyph None: any glyph. attribute None: any colour. explicit True: the program named the colour
# (the terminal's defaults would be wrong); False: the terminal's own colours; None: either, the
# attribute then reading the defaults as light grey on black.
Want = namedtuple("Want", "glyph attribute explicit")
DEFAULT_BLANK = Want(" ", None, False)
GREY_BLANK = Want(" ", 0x07, None)
# The panel paints its own background, black, in all 80 columns of its 18 rows.
PANEL_BLANK = Want(" ", 0x07, True)


# Shell output after the program: more lines than the screen has rows.
LINES_AFTER = "i=1; while [ $i -le 30 ]; do echo \"after $i\"; i=$((i + 1)); done"


def pipe_cells(text, attribute=0x07):
    """What writePipe shows for pipe-coded text: a list of (glyph, attribute), one per cell, and
    the attribute it leaves. The text holds one-column characters only."""
    cells = []
    i = 0
    while i < len(text):
        if text[i] == "|" and i + 2 < len(text):
            pair = text[i + 1:i + 3]
            if pair.isascii() and pair.isdigit() and int(pair) <= 23:
                code = int(pair)
                if code < 16:
                    attribute = (attribute & 0x70) | code
                else:
                    attribute = (attribute & 0x0F) | (code - 16) << 4
            else:
                cells.extend((char, attribute) for char in text[i:i + 3])
            i += 3
            continue
        cells.append((text[i], attribute))
        i += 1
    return cells, attribute


def shown_glyphs(name):
    """The characters a file name (bytes) shows as, each with its width: valid UTF-8 as itself,
    control bytes and bytes that are not UTF-8 as their code page 437 glyphs, marks joined to the
    character before them. C1 controls, though valid UTF-8, count as bytes that are not: a
    terminal may act on them (U+009B begins a control sequence)."""
    glyphs = []
    pos = 0
    while pos < len(name):
        char = None
        for length in (1, 2, 3, 4):
            try:
                char = name[pos:pos + length].decode("utf-8")
                break
            except UnicodeDecodeError:
                continue
        if char is None or 0x80 <= ord(char) < 0xA0:
            glyphs.append([bytes([name[pos]]).decode("cp437"), 1])
            pos += 1
            continue
        pos += len(char.encode("utf-8"))
        if ord(char) < 32:
            glyphs.append([_CONTROL_GLYPHS[ord(char)], 1])
        elif ord(char) == 127:
            glyphs.append([_DELETE_GLYPH, 1])
        elif unicodedata.combining(char) and glyphs:
            glyphs[-1][0] += char
        else:
            glyphs.append([char, 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1])
    return glyphs


def name_cells(name, width, attribute):
    """A file name as the status lines show it: cut or filled with blanks to width columns,
    never splitting a character."""
    if isinstance(name, str):
        name = name.encode("utf-8")
    cells = []
    for glyph, glyph_width in shown_glyphs(name):
        if len(cells) + glyph_width > width:
            break
        cells.append((glyph, attribute))
        if glyph_width == 2:
            cells.append(("", attribute))
    cells.extend((" ", attribute) for _ in range(width - len(cells)))
    return cells


def status_line(prefix, name, width=67):
    """The cells of a status line: the pipe-coded prefix, then the name in the colour the
    prefix left."""
    cells, attribute = pipe_cells(prefix)
    return cells + name_cells(name, width, attribute)


def zipped_line(name):
    return status_line(ZIPPED, name)


def log_line(code, name):
    return status_line(SKIPPED_TAG if code == 0 else ERROR_TAG, name)


def place(expected, column, row, cells, explicit=True):
    """Puts (glyph, attribute) cells into the expected picture from (column, row) on."""
    for offset, (glyph, attribute) in enumerate(cells):
        expected[(column + offset, row)] = Want(glyph, attribute, explicit)


def place_text(expected, column, row, text, attribute):
    place(expected, column, row, [(char, attribute) for char in text])


def panel(mask=None, over=False, delete=False, files=None, bar=0, percent=None, total=None,
          log_window=None):
    """The 17 panel rows and the blank row 18 after a run's start: the frame, the labels and
    the fields; the logo's cells and the credit lines' glyphs are left free. log_window: the
    seven rows as log_window() gives them, or None while nothing was reported."""
    expected = {}
    for row in range(1, 19):
        expected[(80, row)] = PANEL_BLANK
    for column in range(1, 81):
        expected[(column, 18)] = PANEL_BLANK

    # Rows 1-9: the right-hand parts beside the logo.
    place(expected, 36, 1, pipe_cells("|08∙" + "─" * 42 + "┐")[0])
    place(expected, 37, 2, pipe_cells("|14Vordex     - Single File Mass ZIP Utility |08│")[0])
    for column in range(37, 79):
        expected[(column, 3)] = Want(None, 0x0C, True)
    place_text(expected, 79, 3, "│", 0x08)
    for column in range(36, 79):
        expected[(column, 4)] = Want(None, 0x04, True)
    place_text(expected, 79, 4, "│", 0x08)
    place(expected, 36, 5, pipe_cells("|08∙──────┬" + "─" * 35 + "┤")[0])
    place(expected, 37, 6, pipe_cells("|15|16ERROR |08│ |15STATUS" + " " * 28 + "|08│")[0])
    place(expected, 35, 7, pipe_cells("|08 ∙──────┼" + "─" * 35 + "┤")[0])
    place(expected, 36, 8, pipe_cells("|08       │" + " " * 35 + "│")[0])
    place_text(expected, 2, 9, ".", 0x08)
    place(expected, 35, 9, pipe_cells("|08.       │" + " " * 35 + "│")[0])

    # Rows 10-17 go on in the dark grey that row 9 left.
    rows = [
        " : |15MASK|08:            |15FILES|08:        :       │" + " " * 35 + "│",
        " │ |15OVER|08:           |15DELETE|08:        │       │" + " " * 35 + "│",
        " │                                │       │" + " " * 35 + "│",
        " │  ...|07PRESS |08[|15ESC|08] |07TO ABORT|08...    │       │" + " " * 35 + "│",
        " │                                │       │" + " " * 35 + "│",
        " ├" + "─" * 32 + "┼───────┴" + "─" * 35 + "┤",
        " │   |07CURRENT|08:            (   |07%|08)   │            |07TOTAL ERRORS |08/ "
        "|07WARNINGS|08:       │",
        " └" + "─" * 32 + "┴" + "─" * 43 + "┘|07",
    ]
    attribute = 0x08
    for row, text in enumerate(rows, 10):
        cells, attribute = pipe_cells(text, attribute)
        assert len(cells) == 79, (row, len(cells))
        place(expected, 1, row, cells)

    # The fields.
    place_text(expected, 44, 2, "1.1", 0x0E)
    if mask is not None:
        place_text(expected, 10, 10, (mask + " " * 10)[:10], 0x07)
        place_text(expected, 10, 11, "YES" if over else "NO ", 0x07)
        place_text(expected, 28, 11, "YES" if delete else "NO ", 0x07)
    if files is not None:
        place_text(expected, 28, 10, str(files), 0x07)
        place(expected, 15, 16, BAR[:bar] + [EMPTY_BAR_CELL] * (10 - bar))
    if percent is not None:
        place_text(expected, 27, 16, f"{percent:>3}", 0x0F)
    if total is not None:
        place_text(expected, 73, 16, f"{total:>5}", 0x0C)
    if log_window is not None:
        place_log_window(expected, log_window)
    return expected


def log_row(entry=None, highlight=False):
    """One row of the log window: entry is (file number, code) or None for a row without one."""
    if entry is None:
        return [(" ", 0x07)] * 5, [(" ", 0x07)] * 27
    number, code = entry
    number_attribute = 0x78 if highlight else 0x0F
    message_attribute = 0x78 if highlight else 0x0C
    number_text = (" " + f"{number:<4}"[:4])
    return ([(char, number_attribute) for char in number_text],
            [(char, message_attribute) for char in MESSAGES[code]])


def log_window(entries, top=1, selected=None):
    """The seven rows of the log window showing entries[top-1:top+6]; selected is the 1-based
    index of the highlighted entry, or None."""
    rows = []
    for index in range(top, top + 7):
        entry = entries[index - 1][:2] if index <= len(entries) else None
        rows.append(log_row(entry, highlight=index == selected))
    return rows


def status_rows(lines, blank=GREY_BLANK, first_row=19, last_row=25):
    """Rows of the status window: lines holds a list of cells or None (a blank row) for each
    row from first_row on; the rest of each row, column 80 included, must be blank."""
    expected = {}
    for row in range(first_row, last_row + 1):
        for column in range(1, 81):
            expected[(column, row)] = blank
    for row, cells in enumerate(lines, first_row):
        if cells is not None:
            place(expected, 1, row, cells)
    return expected


def place_log_window(expected, rows):
    """The seven rows of the log window (numbers from column 37, messages from 45) on screen
    rows 8 to 14."""
    for (number_cells, message_cells), screen_row in zip(rows, range(8, 15)):
        place(expected, 37, screen_row, number_cells)
        place(expected, 45, screen_row, message_cells)


def viewer_screen(entries, top, row, base, blank):
    """The screen while the viewer waits for a key: the panel `base`, the log window from entry
    top with the entry on window row `row` highlighted, the selected entry's detail line on
    row 19, the prompt on row 24, the rest of rows 19-25 blank in the attribute `blank`."""
    selected = top + row - 1
    _, code, name = entries[selected - 1]
    blank_cell = Want(" ", blank, True)
    expected = {**base, **status_rows([log_line(code, name)], blank_cell)}
    place(expected, 7, 24, pipe_cells(VIEWER_PROMPT)[0])
    place_log_window(expected, log_window(entries, top, selected))
    return expected


def differences(screen, expected):
    """Readable lines, one per cell that is not as expected."""
    found = []
    for (column, row), want in sorted(expected.items(), key=lambda item: (item[0][1], item[0][0])):
        cell = screen.cell(column, row)
        wrong = []
        if want.glyph is not None and cell.glyph != want.glyph:
            wrong.append(f"glyph {cell.glyph!r}, want {want.glyph!r}")
        if want.attribute is not None and cell.attribute != want.attribute:
            wrong.append(f"attribute {cell.attribute:02X}, want {want.attribute:02X}")
        if want.explicit is True and cell.default_colours:
            wrong.append("the terminal's own colours, want colours the program names")
        if want.explicit is False and not cell.default_colours:
            wrong.append(f"colours {cell.foreground}/{cell.background}, want the terminal's own")
        if wrong:
            found.append(f"column {column}, row {row}: " + "; ".join(wrong))
    return found


def describe(screen, problems, limit=25):
    shown = "\n".join(problems[:limit])
    more = f"\n... and {len(problems) - limit} more" if len(problems) > limit else ""
    return f"{len(problems)} cells differ:\n{shown}{more}\nscreen:\n{screen.all_text()}"


def assert_cells(test, screen, expected):
    problems = differences(screen, expected)
    if problems:
        test.fail(describe(screen, problems))


# ---------------------------------------------------------------------------------------------
# Reading the screen

def text_at(screen, column, row, count):
    return "".join(screen.cell(column + i, row).glyph for i in range(count))


def panel_shift(screen):
    """Rows the panel has moved up: 0 while the program runs; more once a shell's output after
    the program's end has scrolled the screen."""
    for row in range(10, 0, -1):
        if screen.text(row).startswith(" : MASK: "):
            return 10 - row
    return 0


def files_shown(screen):
    text = text_at(screen, 28, 10 - panel_shift(screen), 7).strip()
    return int(text) if text.isdigit() else 0


def bar_shown(screen):
    """Cells of the progress bar drawn for the current file, or None when the bar is not one the
    program draws (a picture caught halfway through an update)."""
    row = 16 - panel_shift(screen)
    cells = [(screen.cell(column, row).glyph, screen.cell(column, row).attribute)
             for column in range(15, 25)]
    drawn = 0
    while drawn < 10 and cells[drawn] == BAR[drawn]:
        drawn += 1
    if any(cell != EMPTY_BAR_CELL for cell in cells[drawn:]):
        return None
    return drawn


def find_row(screen, text):
    """The first row that holds the text, or None."""
    for row in range(1, screen.height + 1):
        if text in screen.text(row):
            return row
    return None


# ---------------------------------------------------------------------------------------------
# Files

def acgt(size, seed):
    """Data that deflates slowly at level 9 and shrinks to about a quarter: four letters in a
    random order."""
    table = bytes(b"ACGT"[i & 3] for i in range(256))
    return random.Random(seed).randbytes(size).translate(table)


def prose(size, seed):
    words = [b"archive", b"entry", b"deflate", b"folder", b"mask", b"level", b"record", b"zip"]
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + b" "
    return bytes(out[:size])


def write_file(path, data):
    with open(path, "wb") as out:
        out.write(data)


def check_archive(test, archive_path, entry_name, data):
    """The archive is complete and holds exactly the one entry with the source's data."""
    try:
        archive = zipfile.ZipFile(archive_path)
    except zipfile.BadZipFile as error:
        test.fail(f"{archive_path} is not a complete archive: {error}")
    with archive:
        test.assertIsNone(archive.testzip(), archive_path)
        entries = archive.infolist()
        test.assertEqual(len(entries), 1, archive_path)
        test.assertEqual(entries[0].filename, entry_name)
        test.assertEqual(archive.read(entries[0]), data, archive_path)


# ---------------------------------------------------------------------------------------------
# The pane

class PaneTest(unittest.TestCase):
    """Each test gets a scratch folder (work: where the program runs and finds its files) and a
    folder for what the shell records (meta), and a tmux server that is killed even when the test
    fails. size is the pane's (columns, rows) for the next start(); wrapper, words before the
    shell in the pane (a terminal of its own the pane then shows, such as GNU screen)."""

    size = (80, 25)
    wrapper = ()

    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="vordex-pane-")
        self.addCleanup(scratch.cleanup)
        self.root = Path(scratch.name)
        self.work = self.root / "work"
        self.work.mkdir()
        self.meta = None
        self.term = None
        self.runs = 0
        # Runs before the folder's removal: the program must be gone first.
        self.addCleanup(lambda: self.term and self.term.kill())

    def start(self, *args, before="", redirect="", prompt=True, prefix=(), scroll_after=False,
              shell="sh", then=""):
        """Starts the program with args in the work folder, in a fresh pane: the shell first runs
        `before` (output that precedes the program), after the program it records the exit code
        and, with prompt, prints PROMPT. redirect is shell text after the command (`> out`);
        prefix, words before the program's path (`setsid`). With scroll_after the shell, once
        release_shell() is called, prints more lines than the screen has rows before its
        prompt (see assert_whole_screen_scrolls). shell runs the script; then, shell text run
        right after the program, whose exit code is the one recorded (`fg` after a stop)."""
        if self.term is not None:
            self.term.kill()
        self.runs += 1
        self.meta = self.root / f"meta{self.runs}"
        self.meta.mkdir()
        quote = shlex.quote

        def record(name):
            return quote(str(self.meta / name))

        command = " ".join(quote(str(part)) for part in (*prefix, BINARY, *args))
        script = "\n".join(line for line in [
            f"stty -a > {record('stty-before.txt')}",
            "trap 'echo interrupted' INT",
            before,
            # The process id is written by the process that then becomes the program.
            f"sh -c 'echo $$ > \"$0\"; exec \"$@\"' {record('pid.txt')} {command} {redirect}",
            then,
            "status=$?",
            f"stty -a > {record('stty-after.txt')}",
            f"echo $status > {record('status.part')}",
            f"mv {record('status.part')} {record('status.txt')}",
            f"while [ ! -e {record('go')} ]; do sleep 0.05; done; {LINES_AFTER}"
            if scroll_after else "",
            f"printf '%s' {quote(PROMPT)}" if prompt else "",
            "exec sleep 86400",
        ] if line)
        self.term = TmuxScreen(*self.size)
        self.term.start([*self.wrapper, shell, "-c", script], cwd=self.work)

    def record(self, name):
        path = self.meta / name
        return path.read_text() if path.exists() else None

    def wait_for_end(self, timeout=120):
        """The program's exit code (128 + n after signal n), once the shell has it."""
        self.term.wait_until(lambda: self.record("status.txt"), timeout, "the program to end")
        return int(self.record("status.txt"))

    def pid(self):
        text = self.term.wait_until(lambda: (self.record("pid.txt") or "").strip(),
                                    what="the program's process id")
        return int(text)

    def wait_for_prompt(self, timeout=30):
        return self.term.wait_for_text(PROMPT.rstrip(), timeout)

    def assert_terminal_as_before(self, screen):
        """The modes the shell sees are those it had before the program, and what it prints
        after the program is in the terminal's own colours."""
        self.assertEqual(self.record("stty-after.txt"), self.record("stty-before.txt"),
                         "stty -a reads differently after the program")
        place = screen.find(PROMPT.rstrip())
        self.assertIsNotNone(place, "the prompt is not on the screen")
        column, row = place
        for offset in range(len(PROMPT.rstrip())):
            cell = screen.cell(column + offset, row)
            self.assertTrue(cell.default_colours,
                            f"the prompt's cell at column {column + offset}, row {row} is drawn "
                            f"in {cell.foreground}/{cell.background}")

    def release_shell(self):
        (self.meta / "go").touch()

    def assert_whole_screen_scrolls(self, screen):
        """Given a run started with scroll_after: the shell's lines scrolled the whole screen,
        the panel included, as they do on a terminal with no scroll region left set."""
        _, prompt_row = screen.find(PROMPT.rstrip())
        for row in range(1, prompt_row):
            self.assertEqual(screen.text(row).rstrip(), f"after {30 - prompt_row + 1 + row}",
                             f"row {row}:\n{screen.all_text()}")

    def wait_for_screen(self, expected, timeout=30, what="the screen"):
        """Waits until the screen shows the expected cells; returns it. Keys and their effects
        are asynchronous, so every picture after a key is waited for, not taken at once."""
        last = []

        def matches():
            screen = self.term.screen()
            last[:] = [screen, differences(screen, expected)]
            return screen if not last[1] else None

        try:
            return self.term.wait_until(matches, timeout, what)
        except TimeoutError:
            self.fail(f"{what}: " + describe(*last))


def main():
    """Runs the tests of the calling script: PATH_TO_VORDEX [--update-golden] [unittest args]."""
    global BINARY
    args = sys.argv[1:]
    if "--update-golden" in args:
        args.remove("--update-golden")
        os.environ["VORDEX_UPDATE_GOLDEN"] = "1"
    if not args:
        sys.exit(f"usage: {sys.argv[0]} PATH_TO_VORDEX [--update-golden] [unittest arguments]")
    BINARY = Path(args[0]).resolve()
    unittest.main(argv=[sys.argv[0], *args[1:]], verbosity=2)
