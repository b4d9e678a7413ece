"""A program under a real terminal: a private tmux server with one pane of a fixed size.

Start a command in it, press keys, wait for text to appear or for the command to end, and read
the screen back as cells (glyph, PC attribute, terminal default colours or not). Screens compare
against golden files; run with VORDEX_UPDATE_GOLDEN=1 (or --update-golden on the test's command
line) to write the golden files anew instead.

    with TmuxScreen() as term:
        term.start("./vordex '*.txt'", cwd=folder)
        term.wait_for_text("ZIPPED")
        term.send_keys("Escape")
        term.wait_for_exit()
        assert_golden(term.screen(), golden_path)
"""

import difflib
import itertools
import os
import shlex
import subprocess
import sys
import time
import unicodedata
from pathlib import Path

# ANSI colour order back to PC order: ANSI 1 is red, PC 4 is red.
_PC_FROM_ANSI = [0, 4, 2, 6, 1, 5, 3, 7]
_counter = itertools.count()


def update_golden_requested():
    return os.environ.get("VORDEX_UPDATE_GOLDEN") == "1" or "--update-golden" in sys.argv


class Cell:
    __slots__ = ("glyph", "foreground", "background")

    def __init__(self, glyph=" ", foreground=None, background=None):
        self.glyph = glyph  # what the cell shows, combining marks included; "" for a right half
        self.foreground = foreground  # PC colour 0-15, or None for the terminal's default
        self.background = background  # PC colour 0-7, or None for the terminal's default

    @property
    def default_colours(self):
        return self.foreground is None and self.background is None

    @property
    def attribute(self):
        """The PC attribute byte; the terminal's defaults count as light grey on black."""
        foreground = 7 if self.foreground is None else self.foreground
        background = 0 if self.background is None else self.background
        return background << 4 | foreground

    def __repr__(self):
        return f"Cell({self.glyph!r}, {self.foreground}, {self.background})"


class Screen:
    def __init__(self, rows):
        self.rows = rows  # lists of Cell, one per column

    @property
    def height(self):
        return len(self.rows)

    def text(self, row):
        """Row 1-based, as the program counts: the glyphs, right halves left out."""
        return "".join(cell.glyph for cell in self.rows[row - 1])

    def cell(self, column, row):
        return self.rows[row - 1][column - 1]

    def all_text(self):
        return "\n".join(self.text(row) for row in range(1, self.height + 1))

    def find(self, text):
        """(column, row) of the first place the text shows, or None."""
        for row in range(1, self.height + 1):
            cells = self.rows[row - 1]
            line = self.text(row)
            at = line.find(text)
            if at >= 0:
                # Map the string index back to a column: right halves are empty strings.
                index = 0
                for column, cell in enumerate(cells, 1):
                    if index >= at:
                        return column, row
                    index += len(cell.glyph)
        return None

    def golden(self):
        """The screen as a person reads it: the text rows (trailing blanks cut), then one row of
        attributes per screen row, two hex digits a cell, ".." where the terminal's own colours
        show."""
        lines = [self.text(row).rstrip() for row in range(1, self.height + 1)]
        lines.append("-" * 20 + " attributes")
        for cells in self.rows:
            lines.append("".join(".." if c.default_colours else f"{c.attribute:02X}" for c in cells))
        return "\n".join(lines) + "\n"


def _glyph_width(char):
    if unicodedata.combining(char) or unicodedata.category(char) in ("Mn", "Me", "Cf"):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def parse_capture(text, width):
    """Cells from `capture-pane -p -e -N` output."""
    rows = []
    # tmux names colours only where they change, across line ends too.
    foreground = background = None
    for line in text.split("\n"):
        cells = []
        i = 0
        while i < len(line):
            char = line[i]
            if char == "\x1b" and i + 1 < len(line) and line[i + 1] == "[":
                end = i + 2
                while end < len(line) and not ("@" <= line[end] <= "~"):
                    end += 1
                if end < len(line) and line[end] == "m":
                    foreground, background = _apply_sgr(line[i + 2:end], foreground, background)
                i = end + 1
                continue
            i += 1
            char_width = _glyph_width(char)
            if char_width == 0:
                if cells:
                    # A mark belongs to the last cell that shows something.
                    last = len(cells) - 1
                    while last > 0 and cells[last].glyph == "":
                        last -= 1
                    cells[last].glyph += char
                continue
            cells.append(Cell(char, foreground, background))
            if char_width == 2:
                cells.append(Cell("", foreground, background))
        while len(cells) < width:
            cells.append(Cell())
        rows.append(cells[:width])
    return rows


def _apply_sgr(parameters, foreground, background):
    codes = [int(p) if p.isdigit() else 0 for p in parameters.split(";")] if parameters else [0]
    i = 0
    while i < len(codes):
        code = codes[i]
        if code == 0:
            foreground = background = None
        elif 30 <= code <= 37:
            foreground = _PC_FROM_ANSI[code - 30]
        elif 90 <= code <= 97:
            foreground = _PC_FROM_ANSI[code - 90] + 8
        elif code == 39:
            foreground = None
        elif 40 <= code <= 47:
            background = _PC_FROM_ANSI[code - 40]
        elif code == 49:
            background = None
        elif code in (38, 48) and i + 2 < len(codes) and codes[i + 1] == 5:
            index = codes[i + 2]
            colour = _PC_FROM_ANSI[index & 7] + (8 if index >= 8 else 0) if index < 16 else None
            if code == 38:
                foreground = colour
            else:
                background = colour if colour is None else colour & 7
            i += 2
        i += 1
    return foreground, background


class TmuxScreen:
    """One private tmux server (its own socket, no configuration file) with one session."""

    def __init__(self, width=80, height=25):
        self.width = width
        self.height = height
        self.socket = f"vordex-test-{os.getpid()}-{next(_counter)}"
        self.target = "main"
        self.started = False
        self.socket_path = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        return False

    def tmux(self, *args, check=True):
        result = subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args],
                                capture_output=True, text=True, timeout=30)
        if check and result.returncode != 0:
            raise RuntimeError(f"tmux {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def start(self, command, cwd=None, env=None):
        """Runs the shell command in the pane. The pane stays after the command ends, so the
        screen it left can still be read."""
        args = ["start-server", ";", "set-option", "-g", "remain-on-exit", "on", ";",
                "new-session", "-d", "-s", self.target, "-x", str(self.width),
                "-y", str(self.height)]
        if cwd is not None:
            args += ["-c", str(cwd)]
        # The program draws its glyphs only for a UTF-8 locale: the pane has one unless the test
        # says otherwise, whatever the machine's own settings.
        for name, value in {"LC_ALL": "C.UTF-8", **(env or {})}.items():
            args += ["-e", f"{name}={value}"]
        args.append(command if isinstance(command, str) else shlex.join(map(str, command)))
        self.tmux(*args)
        self.started = True
        self.socket_path = self.tmux("display-message", "-p", "#{socket_path}").strip()

    def resize(self, width, height):
        """Gives the window a new size, as a user dragging the terminal's edge would; the
        program in the pane learns of it through SIGWINCH."""
        self.tmux("resize-window", "-t", self.target, "-x", str(width), "-y", str(height))
        self.width = width
        self.height = height

    def pipe_output(self, path):
        """From now on, every byte the pane's programs write to the terminal is appended to the
        file, exactly as sent (escape sequences included)."""
        self.tmux("pipe-pane", "-o", "-t", self.target, f"cat >> {shlex.quote(str(path))}")

    def send_keys(self, *keys):
        """Key names as tmux knows them: "Up", "F1", "Home", "KPEnter", "M-x", "C-c", "Escape"."""
        self.tmux("send-keys", "-t", self.target, *keys)

    def send_text(self, text):
        self.tmux("send-keys", "-t", self.target, "-l", text)

    def capture_text(self):
        return self.tmux("capture-pane", "-p", "-e", "-N", "-t", self.target)

    def screen(self):
        text = self.capture_text()
        rows = parse_capture(text.rstrip("\n"), self.width)
        while len(rows) < self.height:
            rows.append([Cell() for _ in range(self.width)])
        return Screen(rows[:self.height])

    def title(self):
        return self.tmux("display-message", "-p", "-t", self.target, "#{pane_title}").rstrip("\n")

    def pane_tty(self):
        return self.tmux("display-message", "-p", "-t", self.target, "#{pane_tty}").strip()

    def bell_rang(self):
        """True once a bell has sounded in the pane (tmux marks the window of a session that
        no client watches)."""
        out = self.tmux("display-message", "-p", "-t", self.target, "#{window_bell_flag}")
        return out.strip() == "1"

    def mouse_reporting(self):
        """True while the pane asks the terminal for mouse reports (any of the modes)."""
        out = self.tmux("display-message", "-p", "-t", self.target, "#{mouse_any_flag}")
        return out.strip() == "1"

    def cursor_visible(self):
        out = self.tmux("display-message", "-p", "-t", self.target, "#{cursor_flag}")
        return out.strip() == "1"

    def cursor(self):
        """(column, row) of the terminal's cursor, 1-based."""
        out = self.tmux("display-message", "-p", "-t", self.target, "#{cursor_x} #{cursor_y}")
        column, row = out.split()
        return int(column) + 1, int(row) + 1

    def exited(self):
        out = self.tmux("display-message", "-p", "-t", self.target, "#{pane_dead}")
        return out.strip() == "1"

    def exit_status(self):
        out = self.tmux("display-message", "-p", "-t", self.target, "#{pane_dead_status}")
        return int(out.strip()) if out.strip() else None

    def wait_until(self, condition, timeout=10.0, what="condition"):
        deadline = time.monotonic() + timeout
        while True:
            value = condition()
            if value:
                return value
            if time.monotonic() > deadline:
                raise TimeoutError(f"timed out waiting for {what}; screen:\n{self.capture_plain()}")
            time.sleep(0.02)

    def wait_for_text(self, text, timeout=10.0):
        """Waits until the screen shows the text; returns the screen."""
        def found():
            screen = self.screen()
            return screen if text in screen.all_text() else None
        return self.wait_until(found, timeout, repr(text))

    def wait_for_exit(self, timeout=10.0):
        self.wait_until(self.exited, timeout, "the command to end")
        return self.exit_status()

    def capture_plain(self):
        try:
            return self.tmux("capture-pane", "-p", "-t", self.target, check=False)
        except Exception as error:  # the server may already be gone
            return f"(no screen: {error})"

    def kill(self):
        if self.started:
            self.tmux("kill-server", check=False)
            self.started = False
            # tmux leaves its socket file behind.
            if self.socket_path:
                Path(self.socket_path).unlink(missing_ok=True)


def assert_golden(screen, path):
    """Compares the screen with the golden file, or writes it when an update was asked for."""
    path = Path(path)
    actual = screen.golden() if isinstance(screen, Screen) else screen
    if update_golden_requested():
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(actual, encoding="utf-8")
        return
    if not path.exists():
        raise AssertionError(f"no golden file {path}; run with VORDEX_UPDATE_GOLDEN=1")
    expected = path.read_text(encoding="utf-8")
    if actual != expected:
        diff = "".join(difflib.unified_diff(expected.splitlines(True), actual.splitlines(True),
                                            str(path), "screen"))
        raise AssertionError(f"screen differs from {path}:\n{diff}")
