#pragma once
// The main screen of a run: the 17-row panel, its fields, the progress bar and the status lines
// that scroll in rows 19-25.

#include <cstdint>
#include <string_view>

#include "ui/colour_text.h"

// The screen row where the status window begins; the panel and a blank row stand above it.
inline constexpr int kStatusTop = 19;

// Screen positions and attributes of the panel's fields.
inline constexpr int kVersionColumn = 44, kVersionRow = 2;
inline constexpr int kMaskColumn = 10, kMaskRow = 10, kMaskWidth = 10;
inline constexpr int kOverColumn = 10, kOverRow = 11;
inline constexpr int kDeleteColumn = 28, kDeleteRow = 11;
// Only with -T and -R: the row below OVER and DELETE, empty otherwise.
inline constexpr int kThreadsLabelColumn = 4, kThreadsColumn = 13, kThreadsRow = 12;
inline constexpr int kRecurseLabelColumn = 19, kRecurseColumn = 28, kRecurseRow = 12;
inline constexpr int kFilesColumn = 28, kFilesRow = 10;
inline constexpr int kBarColumn = 15, kBarRow = 16;
inline constexpr int kPercentColumn = 27;
inline constexpr uint8_t kVersionAttribute = 0x0E;
inline constexpr uint8_t kFieldAttribute = 0x07;
inline constexpr uint8_t kEmptyBarAttribute = 0x08;
inline constexpr std::string_view kEmptyBar = "░░░░░░░░░░";
inline constexpr int kStatusNameWidth = 67;
// The pipe-coded prefixes of a file's status line: while it is packed, and once it is zipped.
inline constexpr std::string_view kZippingPrefix = "|07- |15ZIPPING|07: |15 ";
inline constexpr std::string_view kZippedPrefix = "|08√ |07ZIPPED |08: |07 ";

// The main screen of one console.
class MainScreen {
 public:
  explicit MainScreen(ColourWriter& out) : out_(out) {}

  ColourWriter& out() const { return out_; }

  // Clears the screen, draws the panel and confines stream output to rows 19-25.
  void draw();
  // At the end of a run: the status window from the output position's row down (the output
  // position at the start of a row) goes back to the terminal's own colours, for the shell's
  // prompt and what follows it.
  void releaseStatusWindow();

  // Clears the bar for a new file.
  void clearProgress();
  // Advances the bar to position/size of the file, drawing only new cells and the percent.
  void drawProgress(uint64_t position, uint64_t size);

  // One status line on the output position's row: the pipe-coded prefix, then the file name as
  // plain text padded or cut to 67 columns (a "|12" or a newline in a name is shown as it is).
  // With endLine the line is ended with CR and LF.
  void writeStatusLine(std::string_view pipePrefix, std::string_view fileName, bool endLine);

 private:
  ColourWriter& out_;
  int progressCells_ = 0;  // of the bar, for the file in hand: 0-10
};
