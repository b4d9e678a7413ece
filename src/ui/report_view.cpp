#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/io.h"
#include "core/run_view.h"
#include "core/text.h"
#include "ui/views.h"

namespace {

double nowSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Lines for a descriptor, gathered and sent a few times a second rather than one write each.
// They wait in a buffer allocated once, so that the path of a fatal signal can send what waits
// with write(2) alone; the batch thread sends with every signal held off, so the two never send
// the same bytes. The first failed write ends the output: the rest is dropped.
class LineWriter {
 public:
  explicit LineWriter(int fd)
      : fd_(fd), terminal_(isatty(fd) != 0), buffer_(std::make_unique<char[]>(kSize)) {}
  ~LineWriter() { flush(); }
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // With now, the line (and those before it) is sent at once.
  void line(const std::string& text, bool now = false) {
    if (error_ != 0) return;
    const std::size_t size = text.size() + 1;
    if (filled_.load() + size > kSize) flush();
    if (size > kSize) {
      // A line longer than the buffer (a path deeper than PATH_MAX) goes out on its own.
      sendHeld((text + '\n').data(), size);
      return;
    }
    char* end = buffer_.get() + filled_.load();
    std::memcpy(end, text.data(), text.size());
    end[text.size()] = '\n';
    filled_.store(filled_.load() + size);
    if (now || filled_.load() >= kBatch || nowSeconds() - sent_ >= kSecondsBetween) flush();
  }

  void flush() {
    sent_ = nowSeconds();
    sendHeld(buffer_.get(), filled_.load());
  }

  // From a signal handler: what waits, at once.
  void flushFromSignal() {
    if (error_ == 0 && !inBackground())
      writeAll(fd_, std::string_view(buffer_.get(), filled_.exchange(0)));
  }

  int error() const { return error_; }

 private:
  static constexpr std::size_t kSize = 64 << 10;
  static constexpr std::size_t kBatch = 8192;
  static constexpr double kSecondsBetween = 0.1;

  // A job in the background of the terminal this goes to leaves it alone: writing there would
  // stop it (tostop) or scribble over the foreground program.
  bool inBackground() const { return terminal_ && tcgetpgrp(fd_) != getpgrp(); }

  // Sends and empties the buffer with every signal held off, so that a signal's flush never
  // sends the same bytes again.
  void sendHeld(const char* data, std::size_t size) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    if (size > 0 && error_ == 0 && !inBackground())
      error_ = writeAll(fd_, std::string_view(data, size));
    filled_.store(0);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  int fd_;
  bool terminal_;
  std::unique_ptr<char[]> buffer_;
  std::atomic<std::size_t> filled_{0};
  double sent_ = 0;
  int error_ = 0;
};

// The report's writer, for the path of a fatal signal.
std::atomic<LineWriter*> signalWriter{nullptr};

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

constexpr std::string_view kFolderMessage = "Error reading folder";
constexpr std::string_view kListMessage = "Error reading the list of names";
constexpr std::string_view kLeftover = "left over by an interrupted run";

// A folder or a list that failed: its message and the system's reason.
std::string failureText(std::string_view message, int error) {
  return std::string(message) + ": " + std::strerror(error);
}

// The run matched nothing by its mask: a list that names nothing, or a folder that could not be
// read, is no such news.
bool matchedNothing(const RunTally& tally, const RunOptions& options, bool folderFailed) {
  return tally.files == 0 && !folderFailed && options.fileList.empty();
}

// What became of one file, as both reports tell it.
struct Told {
  enum Outcome { Zipped, Skipped, Failed, Changed, Kept } outcome = Zipped;
  std::string reason;                  // empty for a file zipped (and deleted) as asked
  const FileReport* report = nullptr;  // the report the reason comes from
};

Told tell(const FileOutcome& outcome) {
  if (const FileReport* failure = outcome.firstFailure()) {
    if (failure->code == LOG_CHANGED_WHILE_READ && outcome.committed) {
      return {Told::Changed, reason(*failure), failure};
    }
    if (outcome.committed) {
      // The archive stands; only the delete did not happen.
      return {Told::Kept, failure->code == LOG_DELETE_FAILED ? reason(*failure) : problem(*failure),
              failure};
    }
    return {Told::Failed, problem(*failure), failure};
  }
  if (!outcome.reports.empty()) {
    return {Told::Skipped, reason(outcome.reports[0]), &outcome.reports[0]};
  }
  if (outcome.committed && outcome.keptBecause != ReportDetail::None) {
    return {Told::Kept, std::string(detailText(outcome.keptBecause)), nullptr};
  }
  return {};
}

// What both reports share: the writer, its loss told once, the run's settings and its time.
class Report : public RunView {
 public:
  Report(int fd, const RunOptions& options, RunView* problems)
      : options_(options), out_(fd), problems_(problems) {
    signalWriter.store(&out_);
  }
  ~Report() override {
    LineWriter* self = &out_;
    signalWriter.compare_exchange_strong(self, nullptr);
  }

  void runStarted(const RunOptions&) override { started_ = nowSeconds(); }

  bool outputLost() const override { return out_.error() != 0; }

 protected:
  void send(const std::string& line, bool now = false) {
    out_.line(line, now);
    noticeLoss();
  }
  void finish() {
    out_.flush();
    noticeLoss();
  }
  double seconds() const { return nowSeconds() - started_; }
  // The run matched nothing by its mask (a list that names nothing is no news).
  bool noMatch(const RunTally& tally) const {
    return matchedNothing(tally, options_, folderFailed_);
  }

  RunOptions options_;
  bool folderFailed_ = false;

 private:
  void noticeLoss() {
    if (out_.error() == 0 || told_) return;
    told_ = true;
    if (problems_ != nullptr) {
      problems_->notice("standard output: " + std::string(std::strerror(out_.error())) +
                        "; the rest of the report is lost");
    }
  }

  LineWriter out_;
  RunView* problems_;
  double started_ = 0;
  bool told_ = false;
};

class PlainReport final : public Report {
 public:
  using Report::Report;

  void fileFinished(int, std::string_view name, const FileOutcome& outcome) override {
    const std::string shown = reportName(name);
    const std::string archive = reportName(outcome.archiveName);
    const Told told = tell(outcome);
    switch (told.outcome) {
      case Told::Changed:
        // Sent at once: standard error, perhaps the same file, tells of it right after.
        send(verb("changed", "would change") + shown + " -> " + archive + " (kept: " + told.reason +
                 ")",
             true);
        break;
      case Told::Kept:
        send(verb("zipped", "would zip") + shown + " -> " + archive);
        send(verb("kept", "would keep") + shown + " (not deleted: " + told.reason + ")",
             told.report != nullptr);
        break;
      case Told::Failed:
        send(verb("failed", "would fail") + shown + ": " + told.reason, true);
        break;
      case Told::Skipped:
        send(verb("skipped", "would skip") + shown + " (" + told.reason + ")");
        break;
      case Told::Zipped:
        if (outcome.committed) send(verb("zipped", "would zip") + shown + " -> " + archive);
        break;
    }
    if (outcome.deleted) send(verb("deleted", "would delete") + shown);
  }

  void folderFailed(std::string_view folder, int error) override {
    folderFailed_ = true;
    send(verb("failed", "would fail") + reportName(folder) + ": " +
             failureText(kFolderMessage, error),
         true);
  }

  void listFailed(std::string_view list, int error) override {
    send(verb("failed", "would fail") + reportName(list) + ": " + failureText(kListMessage, error),
         true);
  }

  void leftoverRemoved(std::string_view name) override {
    send(verb("removed", "would remove") + reportName(name) + " (" + std::string(kLeftover) + ")");
  }

  void runStopped() override { send("stopped with ESC"); }

  void runEnded(const RunTally& tally) override {
    if (noMatch(tally)) send("no file matches " + reportName(options_.fileMask));
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", seconds());
    const auto count = [](int number, std::string_view one, std::string_view many) {
      return std::to_string(number) + " " + std::string(number == 1 ? one : many);
    };
    std::string summary = "summary: " + count(tally.files, "file", "files") + ", ";
    if (options_.dryRun) {
      summary += std::to_string(tally.zipped) + " would be zipped, " +
                 std::to_string(tally.skipped) + " would be skipped, " +
                 std::to_string(tally.failed) + " would fail, " + std::to_string(tally.deleted) +
                 " would be deleted, " + std::to_string(tally.bytesIn) + " bytes in, " + time;
    } else {
      summary += std::to_string(tally.zipped) + " zipped, " + std::to_string(tally.skipped) +
                 " skipped, " + std::to_string(tally.failed) + " failed, " +
                 std::to_string(tally.deleted) + " deleted, " + std::to_string(tally.bytesIn) +
                 " bytes in, " + std::to_string(tally.bytesOut) + " bytes out, " + time;
    }
    send(summary);
    finish();
  }

 private:
  // A dry run says what would be done.
  std::string verb(std::string_view done, std::string_view would) const {
    return std::string(options_.dryRun ? would : done) + " ";
  }
};

// One JSON object a line: one per file, one per failed folder or list, one per leftover
// removed, and the summary last.
class JsonReport final : public Report {
 public:
  using Report::Report;

  void fileFinished(int, std::string_view name, const FileOutcome& outcome) override {
    static constexpr std::string_view kOutcomes[] = {"zipped", "skipped", "failed", "changed",
                                                     "kept"};
    const Told told = tell(outcome);
    const bool now = told.outcome == Told::Failed || told.outcome == Told::Changed;
    send(object("file", name, outcome.committed ? jsonString(outcome.archiveName) : "null",
                kOutcomes[told.outcome], outcome.deleted, told.reason,
                told.report != nullptr ? told.report->error : 0,
                outcome.committed ? outcome.bytesRead : 0,
                outcome.committed ? outcome.archiveSize : 0),
         now);
  }

  void folderFailed(std::string_view folder, int error) override {
    folderFailed_ = true;
    failure("folder", folder, kFolderMessage, error);
  }

  void listFailed(std::string_view list, int error) override {
    failure("list", list, kListMessage, error);
  }

  void leftoverRemoved(std::string_view name) override {
    send(object("file", name, "null", "removed", true, std::string(kLeftover), 0, 0, 0));
  }

  void runStopped() override { stopped_ = true; }

  void runEnded(const RunTally& tally) override {
    char time[32];
    std::snprintf(time, sizeof time, "%.2f", seconds());
    send("{\"summary\":{\"files\":" + std::to_string(tally.files) + ",\"zipped\":" +
         std::to_string(tally.zipped) + ",\"skipped\":" + std::to_string(tally.skipped) +
         ",\"failed\":" + std::to_string(tally.failed) + ",\"deleted\":" +
         std::to_string(tally.deleted) + ",\"bytes_in\":" + std::to_string(tally.bytesIn) +
         ",\"bytes_out\":" + std::to_string(tally.bytesOut) + ",\"seconds\":" + time +
         ",\"stopped\":" + flag(stopped_) + ",\"no_match\":" + flag(noMatch(tally)) +
         ",\"dry_run\":" + flag(options_.dryRun) + "}}");
    finish();
  }

 private:
  static std::string flag(bool value) { return value ? "true" : "false"; }
  static std::string orNull(int error) { return error != 0 ? std::to_string(error) : "null"; }

  std::string object(std::string_view key, std::string_view name, const std::string& archive,
                     std::string_view outcome, bool deleted, const std::string& why, int error,
                     std::uint64_t in, std::uint64_t out) const {
    return "{\"" + std::string(key) + "\":" + jsonString(name) + ",\"archive\":" + archive +
           ",\"outcome\":\"" + std::string(outcome) + "\",\"deleted\":" + flag(deleted) +
           ",\"reason\":" + (why.empty() ? "null" : jsonString(why)) +
           ",\"errno\":" + orNull(error) + ",\"bytes_in\":" + std::to_string(in) +
           ",\"bytes_out\":" + std::to_string(out) + dryRun() + "}";
  }

  void failure(std::string_view key, std::string_view name, std::string_view message, int error) {
    send("{\"" + std::string(key) + "\":" + jsonString(name) +
             ",\"outcome\":\"failed\",\"reason\":" + jsonString(failureText(message, error)) +
             ",\"errno\":" + orNull(error) + dryRun() + "}",
         true);
  }

  std::string dryRun() const { return options_.dryRun ? ",\"dry_run\":true" : ""; }

  bool stopped_ = false;
};

class ProblemView final : public RunView {
 public:
  explicit ProblemView(int fd) : out_(fd) {}

  void runStarted(const RunOptions& options) override { options_ = options; }

  void fileFinished(int, std::string_view name, const FileOutcome& outcome) override {
    if (const FileReport* failure = outcome.firstFailure()) {
      out_.line("vordex: " + escapedName(name) + ": " + problem(*failure), true);
    }
  }

  void folderFailed(std::string_view folder, int error) override {
    folderFailed_ = true;
    out_.line("vordex: " + escapedName(folder) + ": " + failureText(kFolderMessage, error), true);
  }

  void listFailed(std::string_view list, int error) override {
    out_.line("vordex: " + escapedName(list) + ": " + failureText(kListMessage, error), true);
  }

  void notice(std::string_view text) override { out_.line("vordex: " + std::string(text), true); }

  void runEnded(const RunTally& tally) override {
    if (matchedNothing(tally, options_, folderFailed_)) {
      out_.line("vordex: no file matches " + escapedName(options_.fileMask));
    }
    out_.flush();
  }

 private:
  LineWriter out_;
  RunOptions options_;
  bool folderFailed_ = false;
};

}  // namespace

std::unique_ptr<RunView> makeReportView(int fd, const RunOptions& options, RunView* problems) {
  if (options.json) return std::make_unique<JsonReport>(fd, options, problems);
  return std::make_unique<PlainReport>(fd, options, problems);
}

std::unique_ptr<RunView> makeProblemView(int fd) {
  return std::make_unique<ProblemView>(fd);
}

void flushReportNow() {
  if (LineWriter* writer = signalWriter.load()) writer->flushFromSignal();
}
