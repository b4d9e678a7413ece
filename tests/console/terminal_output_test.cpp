// The exact bytes the terminal back end sends for each operation, and its key input, read back
// through a packet socket: every write(2) arrives as one packet, so the number of writes shows.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "console/terminal_guard.h"
#include "support/memory_console.h"

namespace {

using Writes = std::vector<std::string>;

class TerminalOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_), 0);
    openConsoleOnDescriptor(fds_[0], 80, 25, 1, 1);
  }
  void TearDown() override {
    testConsole().close();
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }

  // Every write sent since the last call, one string each.
  Writes writes() {
    Writes result;
    char buffer[65536];
    for (;;) {
      const ssize_t size = recv(fds_[1], buffer, sizeof buffer, MSG_DONTWAIT);
      if (size <= 0) return result;
      result.emplace_back(buffer, static_cast<std::size_t>(size));
    }
  }

  void press(const std::string& bytes) {
    ASSERT_EQ(send(fds_[1], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }

  int fds_[2] = {-1, -1};
};

TEST_F(TerminalOutputTest, StreamTextInTheTerminalsOwnColours) {
  testConsole().writeText("ab");
  EXPECT_EQ(writes(), Writes{"\x1b[1;1Hab\x1b[1;3H"});
  testConsole().setForeground(7);
  testConsole().setBackground(0);
  EXPECT_EQ(writes(), Writes{}) << "a colour change alone draws nothing";
  testConsole().writeText("c");
  EXPECT_EQ(writes(), Writes{"\x1b[1;3H\x1b[37;40mc\x1b[0m\x1b[1;4H"})
      << "once the program has chosen a colour, 7 is light grey on black";
}

TEST_F(TerminalOutputTest, ColoursInPcOrderBecomeAnsiColours) {
  testConsole().setBackground(4);
  testConsole().setForeground(12);
  testConsole().writeText("x");
  EXPECT_EQ(writes(), Writes{"\x1b[1;1H\x1b[91;41mx\x1b[0m\x1b[1;2H"});
  {
    ScreenUpdate update(testConsole());
    testConsole().writeCells(1, 2, "a", 0x1E);
    testConsole().writeCells(2, 2, "b", 0x1C);
    testConsole().writeCells(3, 2, "c", 0x3C);
    testConsole().writeCells(4, 2, "d", 0x3C);
    testConsole().writeCells(5, 2, "e", 0x08);
  }
  EXPECT_EQ(writes(),
            Writes{"\x1b[2;1H\x1b[93;44ma\x1b[91mb\x1b[46mcd\x1b[90;40me\x1b[0m\x1b[1;2H"})
      << "one write for the whole update, colours named only where they change";
}

TEST_F(TerminalOutputTest, OnlyChangedCellsAreDrawn) {
  testConsole().writeCells(1, 1, "abcdef", 0x07);
  writes();
  testConsole().writeCells(1, 1, "abXdeY", 0x07);
  EXPECT_EQ(writes(), Writes{"\x1b[1;3H\x1b[37;40mX\x1b[1;6HY\x1b[0m\x1b[1;1H"});
  testConsole().writeCells(1, 1, "abXdeY", 0x07);
  EXPECT_EQ(writes(), Writes{});
}

TEST_F(TerminalOutputTest, NoByteOfATextReachesTheTerminalAsAControl) {
  testConsole().writeCells(1, 1, "\x1b[2J\x07\x9b", 0x07);
  EXPECT_EQ(writes(), Writes{"\x1b[1;1H\x1b[37;40m←[2J•¢\x1b[0m\x1b[1;1H"});
  testConsole().writeText("\x1b]0;x\x07");
  EXPECT_EQ(writes(), Writes{"\a\x1b[1;1H←]0;x\x1b[1;6H"}) << "the bell rings; the rest shows";
}

TEST_F(TerminalOutputTest, WideAndCombiningGlyphsGoOutAsUtf8) {
  testConsole().writeText("漢e\u0301|");
  EXPECT_EQ(writes(), Writes{"\x1b[1;1H漢e\u0301|\x1b[1;5H"});
  testConsole().writeCells(2, 1, "z", 0x07);
  EXPECT_EQ(writes(), Writes{"\x1b[1;1H \x1b[37;40mz\x1b[0m\x1b[1;5H"})
      << "the left half of the cut glyph is blanked along";
}

TEST_F(TerminalOutputTest, FullWidthWindowsScrollWithTheTerminal) {
  testConsole().moveCursor(1, 25);
  writes();
  testConsole().writeText("last\r\n");
  const std::string blanks(80, ' ');
  EXPECT_EQ(writes(), Writes{"\x1b[25;1Hlast\x1b[1;25r\x1b[25;1H\x1b"
                             "D\x1b[r\x1b[25;1H" +
                             blanks + "\x1b[25;1H"})
      << "what was pending is drawn before the scroll; the freed row after it";

  testConsole().setWindow(1, 19, 80, 25);
  testConsole().setAttribute(0x1F);
  testConsole().moveCursor(1, 7);
  writes();
  testConsole().writeText("\n");
  EXPECT_EQ(writes(), Writes{"\x1b[19;25r\x1b[25;1H\x1b"
                             "D\x1b[r\x1b[25;1H\x1b[97;44m" +
                             blanks + "\x1b[0m\x1b[25;1H"});
}

TEST_F(TerminalOutputTest, NarrowWindowsAreRepaintedFromTheModel) {
  testConsole().setWindow(1, 24, 3, 25);
  testConsole().clearScreen();
  writes();
  testConsole().writeText("abcdef");
  // Row 25 is blank already on the terminal: only row 24 is drawn again.
  EXPECT_EQ(writes(), Writes{"\x1b[24;1Hdef\x1b[25;1H"});
}

TEST_F(TerminalOutputTest, CellsChangedAndChangedBackAreNotDrawn) {
  testConsole().writeCells(1, 3, "abc", 0x0E);
  writes();
  {
    ScreenUpdate update(testConsole());
    testConsole().writeCells(1, 3, "xyz", 0x0C);
    testConsole().writeCells(1, 3, "ab", 0x0E);
  }
  // Only the third cell differs from what the terminal shows.
  EXPECT_EQ(writes(), Writes{"\x1b[3;3H\x1b[91;40mz\x1b[0m\x1b[1;1H"});
}

TEST_F(TerminalOutputTest, TitleMouseAndClose) {
  testConsole().setTitle("Vordex\x1b v1.1\x07é");
  EXPECT_EQ(writes(), Writes{"\x1b]0;Vordex v1.1é\a\x1b[1;1H"});
  testConsole().disableMouseInput();
  EXPECT_EQ(writes(),
            Writes{"\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1005l\x1b[?1006l\x1b[?1015l\x1b[1;1H"});
  {
    ScreenUpdate update(testConsole());
    testConsole().writeText("x");
    testConsole().close();
  }
  EXPECT_EQ(writes(), Writes{"\x1b[1;1Hx\x1b[1;2H"}) << "closing sends what is pending";
  testConsole().writeText("y");
  EXPECT_EQ(writes(), Writes{}) << "after closing nothing reaches the terminal";
}

TEST_F(TerminalOutputTest, KeysFromTheTerminal) {
  press("\x1b[A");
  EXPECT_TRUE(testConsole().keyAvailable());
  EXPECT_EQ(testConsole().readKey(), 0);
  EXPECT_TRUE(testConsole().keyAvailable());
  EXPECT_EQ(testConsole().readKey(), 72);
  EXPECT_FALSE(testConsole().keyAvailable());

  press("\x1b");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(testConsole().keyAvailable()) << "a lone ESC is waited out, not missed";
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  EXPECT_EQ(testConsole().readKey(), 27);
}

TEST_F(TerminalOutputTest, ReadKeyWaitsWithoutSpinningAndShowsTheCursorFirst) {
  testConsole().writeText("ab");
  writes();
  {
    ScreenUpdate update(testConsole());
    testConsole().writeText("c");
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    std::thread presser([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      press("q");
    });
    EXPECT_EQ(testConsole().readKey(), 'q');
    presser.join();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const long usedMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000 +
                        (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000;
    EXPECT_LT(usedMs, 100);
  }
  EXPECT_EQ(writes(), Writes{"\x1b[1;3Hc\x1b[1;4H"});
}

TEST_F(TerminalOutputTest, AKeyboardThatIsGoneAnswersEsc) {
  press("x");
  close(fds_[1]);
  fds_[1] = -1;
  EXPECT_EQ(testConsole().readKey(), 'x');
  EXPECT_EQ(testConsole().readKey(), 27);
  EXPECT_FALSE(testConsole().keyAvailable());
}

// The same back end playing other terminals: a short window, one without colours.
class OtherTerminalTest : public TerminalOutputTest {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_), 0); }
  void open(const TerminalStart& terminal) {
    openConsoleOnDescriptor(fds_[0], 80, 25, 1, 1, terminal);
  }
};

TEST_F(OtherTerminalTest, AShortWindowShowsTheStatusRowsWithTextAndOtherwiseTheNewest) {
  TerminalStart terminal;
  terminal.rows = 22;  // room for four of the status window's seven rows
  open(terminal);
  testConsole().setWindow(1, 19, 80, 25);
  testConsole().clearScreen();
  writes();
  testConsole().writeText("a\r\nb");
  EXPECT_EQ(writes(), Writes{"\x1b[19;1Ha\x1b[20;1Hb\x1b[20;2H"}) << "from the top down";

  // A hint far below: shown on the last row, the rows with text kept, an empty one left out.
  {
    ScreenUpdate update(testConsole());
    testConsole().moveCursor(7, 6);
    testConsole().writeText("hint");
    testConsole().moveCursor(2, 2);
  }
  EXPECT_EQ(writes(), Writes{"\x1b[22;1H      hint" + std::string(70, ' ') + "\x1b[20;2H"});

  // More rows with text than room: the newest, up to the output position's row.
  {
    ScreenUpdate update(testConsole());
    testConsole().moveCursor(1, 7);
    testConsole().writeText("last");
    testConsole().moveCursor(1, 3);
    testConsole().writeText("c\r\nd");
  }
  const Writes drawn = writes();
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_NE(drawn[0].find("\x1b[19;1Hd"), std::string::npos) << drawn[0];
  EXPECT_NE(drawn[0].find("\x1b[20;1H"), std::string::npos) << drawn[0];
  EXPECT_NE(drawn[0].find("\x1b[22;1Hlast"), std::string::npos) << drawn[0];
  EXPECT_EQ(drawn[0].find("\x1b[23;"), std::string::npos) << "no row past the window";
}

TEST_F(OtherTerminalTest, WithoutColoursOnlyMarksShowAsBoldOrReverseVideo) {
  TerminalStart terminal;
  terminal.noColour = true;
  open(terminal);
  {
    ScreenUpdate update(testConsole());
    testConsole().writeCells(1, 1, "ab", 0x4C);
    testConsole().writeCells(3, 1, "c", 0x78 | kAttributeMarks);
    testConsole().writeCells(4, 1, "d", 0x0C | kAttributeMarks);
    testConsole().writeCells(5, 1, "e", 0x0F);
  }
  EXPECT_EQ(writes(), Writes{"\x1b[1;1Hab\x1b[7mc\x1b[0m\x1b[1md\x1b[0me\x1b[1;1H"});
}

TEST_F(TerminalOutputTest, AfterTheSwitchToLinesOnlyThePlainTextGoesOut) {
  testConsole().writeText("ab");
  testConsole().setCursorVisible(false);
  writes();
  testConsole().enterLineMode();
  // Colours off and the cursor shown; the lines start on the cursor's row, erased from there
  // down, without a move that could leave a shrunken window.
  EXPECT_EQ(writes(), Writes{"\x1b[0m\x1b[?25h\r\x1b[J"});
  testConsole().writeText("not drawn");
  testConsole().setTitle("no title either");
  testConsole().writePlain("a line\n");
  EXPECT_EQ(writes(), Writes{"a line\n"});
}

}  // namespace

namespace {

TEST(TerminalGuardTest, RestoresOnceWhateverCallsIt) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  termios modes{};  // a socket has none: only the bytes sent can be checked here
  const auto sent = [&] {
    char buffer[256];
    const ssize_t size = recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT);
    return size < 0 ? std::string("(nothing)")
                    : std::string(buffer, static_cast<std::size_t>(size));
  };
  armTerminalGuard(fds[0], modes, modes, true);
  setGuardCursor(7, 13);
  restoreTerminalNow();
  restoreTerminalNow();
  // Cut short in the middle of a line, the shell's next output starts on a line of its own.
  EXPECT_EQ(sent(), "\x1b[0m\x1b[r\x1b[?25h\x1b[13;7H\r\n");
  EXPECT_EQ(sent(), "(nothing)") << "restored once only";

  // At the start of a line, the cursor stays where the output stood.
  armTerminalGuard(fds[0], modes, modes, true);
  setGuardCursor(1, 20);
  restoreTerminalNow();
  EXPECT_EQ(sent(), "\x1b[0m\x1b[r\x1b[?25h\x1b[20;1H");

  // Cut short while a hint waits for keys: the hint goes, the prompt comes below the window.
  armTerminalGuard(fds[0], modes, modes, true);
  setGuardAbortErase(24, 25);
  restoreTerminalNow();
  EXPECT_EQ(sent(), "\x1b[0m\x1b[r\x1b[?25h\x1b[24;1H\x1b[2K\x1b[25;1H\r\n");

  // A dumb terminal gets its modes back and not one byte.
  armTerminalGuard(fds[0], modes, modes, false);
  restoreTerminalNow();
  EXPECT_EQ(sent(), "(nothing)");
  close(fds[0]);
  close(fds[1]);
}

void announceCleanup() {
  static const char kText[] = "cleaned up\n";
  (void)!write(STDERR_FILENO, kText, sizeof kText - 1);
}

TEST(TerminalGuardDeathTest, AFatalSignalRunsTheCleanupHookAndStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setFatalSignalCleanup(announceCleanup);
        testConsole().open();
        raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "cleaned up");
}

}  // namespace
