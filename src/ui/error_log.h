#pragma once
// The error log: one entry per skipped or failed file, shown as a status line, in the panel's log
// window (the first seven) and in the running total, and browsed at the end of the run.

#include <cstdint>
#include <string>
#include <string_view>

#include "driver/run_state.h"  // the log codes

inline constexpr int kErrorLogSlots = 1000;

struct LogEntry {
  uint16_t fileNumber;   // low 16 bits of the file's number in the run
  std::string fileName;  // baseName + extension of the file in hand
  uint8_t code;          // LOG_SKIPPED ... LOG_DELETE_FAILED
  int error = 0;         // errno of the call that failed, 0 when none did
};

// Reports file number fileNumber of the run, named fileName: rewrites its status line, stores
// the entry (the first 1000 of a run), updates the log window and the total.
void addLogEntry(uint8_t code, int fileNumber, std::string_view fileName, int error = 0);
// The same report stored and counted, with nothing drawn: for a run shown in lines.
void recordLogEntry(uint8_t code, int fileNumber, std::string_view fileName, int error = 0);
// Reports in this run, stored or not.
int errorCount();
// Reports with a failure code (not a skip) in this run, stored or not.
int failureCount();
// The stored entry at 1-based index, or nullptr.
const LogEntry* logEntry(int index);

// Browses the log with the arrow keys (PgUp, PgDn, Home and End too) until ENTER or ESC. False
// when the window shrank below the panel meanwhile: the log was left unread.
bool viewErrorLog();
// The message of a log code, 27 columns (filled with blanks), and the pipe-coded tag of its
// status line.
std::string_view logMessage(uint8_t code);
// The message without the blanks that fill it: for plain text.
std::string_view logMessageText(uint8_t code);
std::string_view logTag(uint8_t code);
// Frees every entry; the log is empty again.
void releaseErrorLog();
