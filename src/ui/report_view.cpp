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

// Lines for a descriptor, gathered and sent a few times a second rather than one write each.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd), terminal_(isatty(fd) != 0) {}
  ~LineWriter() { flush(); }
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // With now, the line (and those before it) is sent at once.
  void line(const std::string& text, bool now = false) {
    (pending_ += text) += '\n';
    if (now || pending_.size() >= kBatch || nowSeconds() - sent_ >= kSecondsBetween) flush();
  }

  void flush() {
    sent_ = nowSeconds();
    std::string_view rest = pending_;
    // A job in the background of the terminal this goes to leaves it alone: writing there
    // would stop it (tostop) or scribble over the foreground program.
    if (terminal_ && tcgetpgrp(fd_) != getpgrp()) rest = {};
    while (!rest.empty()) {
      const ssize_t written = ::write(fd_, rest.data(), rest.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;  // a closed pipe or a full disk: the run goes on regardless
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
    pending_.clear();
  }

 private:
  static constexpr std::size_t kBatch = 8192;
  static constexpr double kSecondsBetween = 0.1;

  int fd_;
  bool terminal_;
  std::string pending_;
  double sent_ = 0;
};

std::string message(std::uint8_t code) {
  return std::string(logMessageText(code));
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
    case ReportDetail::InUse:
      return "another program has the file open";
    case ReportDetail::NotAZip:
      return "what stands at the archive name is no ZIP archive";
    case ReportDetail::OtherEntries:
      return "the archive there holds another file";
    case ReportDetail::LinkOwner:
      return "the link's owner is neither its target's nor root";
    case ReportDetail::BadArchive:
      return "the archive did not read back as the file's data";
    case ReportDetail::ReadOnly:
      return "the file is read-only";
    case ReportDetail::FolderNotSynced:
      return "the archive's folder could not be synced";
    case ReportDetail::WrittenBack:
      return "the file changed while it was deleted; its data was written back";
    case ReportDetail::None:
      break;
  }
  return {};
}

// What the program knows and the system's reason, either or both.
std::string reason(const FileReport& report) {
  std::string why(detailText(report.detail));
  if (report.error != 0) {
    if (!why.empty()) why += ": ";
    why += std::strerror(report.error);
  }
  return why;
}

// "message: reason", or the message alone when there is no reason.
std::string problem(const FileReport& report) {
  const std::string why = reason(report);
  return why.empty() ? message(report.code) : message(report.code) + ": " + why;
}

const FileReport* firstFailure(const FileOutcome& outcome) {
  for (int i = 0; i < outcome.reportCount; ++i) {
    if (!isSkip(outcome.reports[i].code)) return &outcome.reports[i];
  }
  return nullptr;
}

constexpr std::string_view kFolderMessage = "Error reading folder";

class ReportView final : public RunView {
 public:
  explicit ReportView(int fd) : out_(fd) {}

  void runStarted(const RunOptions& options) override {
    mask_ = options.fileMask;
    started_ = nowSeconds();
  }

  void fileFinished(int, std::string_view name, const FileOutcome& outcome) override {
    const std::string shown = escapedName(name);
    const std::string archive = escapedName(outcome.archiveName);
    if (const FileReport* failure = firstFailure(outcome)) {
      // Sent at once: standard error, perhaps the same file, tells of it right after.
      if (failure->code == LOG_CHANGED_WHILE_READ && outcome.committed) {
        out_.line("changed " + shown + " -> " + archive + " (kept: " + reason(*failure) + ")",
                  true);
      } else if (outcome.committed) {
        // The archive stands; only the delete did not happen.
        const std::string why =
            failure->code == LOG_DELETE_FAILED ? reason(*failure) : problem(*failure);
        out_.line("zipped " + shown + " -> " + archive);
        out_.line("kept " + shown + " (not deleted: " + why + ")", true);
      } else {
        out_.line("failed " + shown + ": " + problem(*failure), true);
      }
    } else if (outcome.reportCount > 0) {
      out_.line("skipped " + shown + " (" + reason(outcome.reports[0]) + ")");
    } else if (outcome.committed) {
      out_.line("zipped " + shown + " -> " + archive);
      if (outcome.keptBecause != ReportDetail::None) {
        out_.line("kept " + shown +
                  " (not deleted: " + std::string(detailText(outcome.keptBecause)) + ")");
      }
    }
    if (outcome.deleted) out_.line("deleted " + shown);
  }

  void folderFailed(std::string_view folder, int error) override {
    folderFailed_ = true;
    out_.line("failed " + escapedName(folder) + ": " + std::string(kFolderMessage) + ": " +
                  std::strerror(error),
              true);
  }

  void leftoverRemoved(std::string_view name) override {
    out_.line("removed " + escapedName(name) + " (left over by an interrupted run)");
  }

  void runStopped() override { out_.line("stopped with ESC"); }

  void runEnded(const RunTally& tally) override {
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", nowSeconds() - started_);
    std::string summary =
        "summary: " + std::to_string(tally.files) + " files, " + std::to_string(tally.zipped) +
        " zipped, " + std::to_string(tally.skipped) + " skipped, " + std::to_string(tally.failed) +
        " failed, " + std::to_string(tally.deleted) + " deleted, " + std::to_string(tally.bytesIn) +
        " bytes in, " + std::to_string(tally.bytesOut) + " bytes out, " + time;
    if (tally.files == 0 && !folderFailed_) summary += "; no file matches " + escapedName(mask_);
    out_.line(summary);
    out_.flush();
  }

 private:
  LineWriter out_;
  std::string mask_;
  double started_ = 0;
  bool folderFailed_ = false;
};

class ProblemView final : public RunView {
 public:
  explicit ProblemView(int fd) : out_(fd) {}

  void runStarted(const RunOptions& options) override { mask_ = options.fileMask; }

  void fileFinished(int, std::string_view name, const FileOutcome& outcome) override {
    if (const FileReport* failure = firstFailure(outcome)) {
      out_.line("vordex: " + escapedName(name) + ": " + problem(*failure), true);
    }
  }

  void folderFailed(std::string_view folder, int error) override {
    folderFailed_ = true;
    out_.line("vordex: " + escapedName(folder) + ": " + std::string(kFolderMessage) + ": " +
                  std::strerror(error),
              true);
  }

  void notice(std::string_view text) override { out_.line("vordex: " + std::string(text), true); }

  void runEnded(const RunTally& tally) override {
    if (tally.files == 0 && !folderFailed_) {
      out_.line("vordex: no file matches " + escapedName(mask_));
    }
    out_.flush();
  }

 private:
  LineWriter out_;
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
