#pragma once
// The error log: one entry per skipped or failed file, shown as a status line, in the panel's log
// window (the first seven) and in the running total, and browsed at the end of the run.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/run_data.h"
#include "ui/main_screen.h"

inline constexpr int kErrorLogSlots = 1000;

class ErrorLog {
 public:
  // Stores (the first 1000 of a run) and counts a report of file fileNumber, named fileName,
  // with nothing drawn: for a run shown in lines.
  void record(std::uint8_t code, int fileNumber, std::string_view fileName);
  // The same on the panel: the file's status line becomes the report's, and the log window and
  // the total show it.
  void add(MainScreen& screen, std::uint8_t code, int fileNumber, std::string_view fileName);
  // Reports in this run, stored or not.
  int count() const { return reports_; }
  // The stored entry at 1-based index, or nullptr.
  const LogEntry* entry(int index) const;

  // Browses the log with the arrow keys (PgUp, PgDn, Home and End too) until ENTER or ESC.
  // False when the window shrank below the panel meanwhile: the log was left unread.
  bool view(MainScreen& screen);

 private:
  // The viewer's place: the entry in the window's first row, and the selected row.
  struct Place {
    int top = 1;
    int row = 1;
    int selected() const { return top + row - 1; }
  };

  void drawRow(ColourWriter& out, bool highlight, int index, int row) const;
  void drawWindow(ColourWriter& out, int top) const;
  void moveUp(ColourWriter& out, Place& place) const;
  void moveDown(ColourWriter& out, Place& place) const;
  void move(ColourWriter& out, Place& place, std::uint8_t key) const;
  int stored() const { return static_cast<int>(entries_.size()); }

  std::vector<LogEntry> entries_;
  int reports_ = 0;
};

// The message of a log code filled with blanks to 27 columns, as the log window shows it.
std::string paddedLogMessage(std::uint8_t code);
// The pipe-coded tag of a report's status line: "! SKIPPED" or "! ERROR".
std::string_view logTag(std::uint8_t code);
