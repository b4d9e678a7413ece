#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ui/error_log.h"
#include "ui/plain_text.h"
#include "ui/run_view.h"

namespace {

double nowSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void writeLine(int fd, const std::string& text) {
  // A job in the background of the terminal this goes to leaves it alone: writing there would
  // stop it (tostop) or scribble over the foreground program.
  if (isatty(fd) && tcgetpgrp(fd) != getpgrp()) return;
  const std::string line = text + "\n";
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // a closed pipe or a full disk: the run goes on regardless
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::string message(std::uint8_t code) {
  const std::string_view text = logMessage(code);
  return std::string(text.substr(0, text.find_last_not_of(' ') + 1));
}

std::string_view detailText(ReportDetail detail) {
  switch (detail) {
    case ReportDetail::ZipSource:
      return "a ZIP archive itself";
    case ReportDetail::ArchiveExists:
      return "ZIP already exists";
    case ReportDetail::MadeThisRun:
      return "its archive name is one this run made";
    case ReportDetail::SameFile:
      return "the archive name names the file itself";
    case ReportDetail::NotRegular:
      return "not a regular file";
    case ReportDetail::Changed:
      return "the file changed while it was read";
    case ReportDetail::NameMoved:
      return "its name now names another file";
    case ReportDetail::OwnOutput:
      return "the run's own output";
    case ReportDetail::None:
      break;
  }
  return {};
}

// The system's reason, or what the program knows instead.
std::string reason(const FileReport& report) {
  if (report.detail != ReportDetail::None) return std::string(detailText(report.detail));
  return report.error != 0 ? std::strerror(report.error) : std::string();
}

// "message: reason", or the message alone when there is no reason.
std::string problem(const FileReport& report) {
  const std::string why = reason(report);
  return why.empty() ? message(report.code) : message(report.code) + ": " + why;
}

const FileReport* firstFailure(const FileOutcome& outcome) {
  for (int i = 0; i < outcome.reportCount; ++i) {
    if (outcome.reports[i].code != LOG_SKIPPED) return &outcome.reports[i];
  }
  return nullptr;
}

constexpr std::string_view kFolderMessage = "Error reading folder";

class ReportView final : public RunView {
 public:
  explicit ReportView(int fd) : fd_(fd) {}

  void runStarted(const RunOptions& options) override {
    mask_ = options.fileMask;
    started_ = nowSeconds();
  }

  void fileFinished(int, std::string_view name, const FileOutcome& outcome) override {
    const std::string shown = escapedName(name);
    const std::string archive = escapedName(outcome.archiveName);
    if (const FileReport* failure = firstFailure(outcome)) {
      if (failure->code == LOG_CHANGED_WHILE_READ && outcome.committed) {
        writeLine(fd_, "changed " + shown + " -> " + archive + " (kept: " + reason(*failure) + ")");
      } else {
        writeLine(fd_, "failed " + shown + ": " + problem(*failure));
      }
    } else if (outcome.reportCount > 0) {
      writeLine(fd_, "skipped " + shown + " (" + reason(outcome.reports[0]) + ")");
    } else if (outcome.committed) {
      writeLine(fd_, "zipped " + shown + " -> " + archive);
    }
    if (outcome.deleted) writeLine(fd_, "deleted " + shown);
  }

  void folderFailed(std::string_view folder, int error) override {
    folderFailed_ = true;
    writeLine(fd_, "failed " + escapedName(folder) + ": " + std::string(kFolderMessage) + ": " +
                       std::strerror(error));
  }

  void runStopped() override { writeLine(fd_, "stopped with ESC"); }

  void runEnded(const RunTally& tally) override {
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", nowSeconds() - started_);
    std::string summary =
        "summary: " + std::to_string(tally.files) + " files, " + std::to_string(tally.zipped) +
        " zipped, " + std::to_string(tally.skipped) + " skipped, " + std::to_string(tally.failed) +
        " failed, " + std::to_string(tally.deleted) + " deleted, " + std::to_string(tally.bytesIn) +
        " bytes in, " + std::to_string(tally.bytesOut) + " bytes out, " + time;
    if (tally.files == 0 && !folderFailed_) summary += "; no file matches " + escapedName(mask_);
    writeLine(fd_, summary);
  }

 private:
  int fd_;
  std::string mask_;
  double started_ = 0;
  bool folderFailed_ = false;
};

class ProblemView final : public RunView {
 public:
  explicit ProblemView(int fd) : fd_(fd) {}

  void runStarted(const RunOptions& options) override { mask_ = options.fileMask; }

  void fileFinished(int, std::string_view name, const FileOutcome& outcome) override {
    if (const FileReport* failure = firstFailure(outcome)) {
      writeLine(fd_, "vordex: " + escapedName(name) + ": " + problem(*failure));
    }
  }

  void folderFailed(std::string_view folder, int error) override {
    folderFailed_ = true;
    writeLine(fd_, "vordex: " + escapedName(folder) + ": " + std::string(kFolderMessage) + ": " +
                       std::strerror(error));
  }

  void runEnded(const RunTally& tally) override {
    if (tally.files == 0 && !folderFailed_) {
      writeLine(fd_, "vordex: no file matches " + escapedName(mask_));
    }
  }

 private:
  int fd_;
  std::string mask_;
  bool folderFailed_ = false;
};

}  // namespace

std::unique_ptr<RunView> makeReportView(int fd) {
  return std::make_unique<ReportView>(fd);
}

std::unique_ptr<RunView> makeProblemView(int fd) {
  return std::make_unique<ProblemView>(fd);
}
