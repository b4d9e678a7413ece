#include "driver/batch.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "console/console.h"
#include "driver/archive.h"
#include "driver/command_line.h"
#include "driver/dir_search.h"
#include "driver/naming.h"
#include "driver/run_state.h"
#include "driver/temp_archive.h"
#include "driver/worker_pool.h"
#include "ui/error_log.h"
#include "ui/run_view.h"
#include "ui/usage.h"

namespace {

constexpr std::uint8_t kEscape = 27;

// Who hears of the run: the terminal (panel or lines), a plain report on standard output when
// that is not the terminal, and every failure on standard error whenever the panel is not what
// the user looks at, unless standard error is the very terminal the panel is drawn on.
void addViews(RunViews& views) {
  const bool panel = consoleKind() == ConsoleKind::Screen;
  const bool outputIsTerminal = isatty(STDOUT_FILENO) != 0;
  if (!outputIsTerminal) views.add(makeReportView(STDOUT_FILENO));
  if ((!panel || !outputIsTerminal) && !(panel && isatty(STDERR_FILENO))) {
    views.add(makeProblemView(STDERR_FILENO));
  }
  views.add(makeTerminalView());
}

// The mask's folder could not be searched: missing (or no folder) means nothing matches; any
// other reason is a failure of the run.
bool folderFailed(const DirectorySearch& search) {
  return search.error != 0 && search.error != ENOENT && search.error != ENOTDIR;
}

std::string maskFolder(std::string_view mask) {
  const std::size_t slash = mask.rfind('/');
  return slash == std::string_view::npos ? "." : std::string(mask.substr(0, slash + 1));
}

// zlib and minizip take and free about 330 KiB per file. With glibc's defaults a free at the top
// of the heap can hand that memory back, and the next file asks for it and faults it in again:
// on 10,000 files of 1 KiB that was 12,000 brk calls and an eighth of the run's time. Kept
// instead, the same few hundred KiB serve every file.
void keepFreedMemoryForReuse() {
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  mallopt(M_TOP_PAD, 512 << 10);
}

// A name that a temporary archive has is never packed. One whose writer is gone (a run that was
// killed) is removed, and the report says so.
void meetTempArchive(const SearchEntry& entry, RunView& view) {
  if (removeLeftover(entry.folder->get(), entry.name.c_str())) {
    view.leftoverRemoved(entry.prefix + entry.name);
  }
}

// How often the progress of a file packed by the workers is looked at.
constexpr int kFrameMs = 33;

// ESC between two files; other keys are dropped, one per file.
bool escapePressed() {
  return keyAvailable() && readKey() == kEscape;
}

// The same, for workers' files, which finish many a frame: the terminal is looked at once a
// frame, as a look costs system calls and a file of 1 KiB a tenth of a frame or less.
bool escapePressedThisFrame(std::chrono::steady_clock::time_point& next) {
  const auto now = std::chrono::steady_clock::now();
  if (now < next) return false;
  next = now + std::chrono::milliseconds(kFrameMs);
  return escapePressed();
}
constexpr std::size_t kFilesAhead = 1024;

// One thread: each match packed in turn, ESC looked at between two files.
void packInTurn(BatchRun& run, DirectorySearch& search, RunView& view, RunTally& tally) {
  Packer packer;
  packer.progress = [&view](std::uint64_t position, std::uint64_t size) {
    view.fileProgress(position, size);
  };
  // Each file is packed the moment it is found: opening it is the look.
  search.openToLook = true;
  SearchEntry entry;
  int folderError = 0;
  int number = 0;
  std::string shown;
  // A file is announced once it is open, with the size it has then; one decided on without
  // opening it, at its end.
  bool announced = false;
  packer.opened = [&](std::uint64_t size) {
    view.fileStarted(number, shown, size);
    announced = true;
  };
  for (SearchStep step; (step = nextSearchStep(search, entry, &folderError)) != SearchStep::End;) {
    if (step == SearchStep::FolderFailed) {
      ++tally.failed;
      view.folderFailed(entry.prefix, folderError);
      continue;
    }
    if (step == SearchStep::TempArchive) {
      meetTempArchive(entry, view);
      continue;
    }
    number = tally.files + 1;
    shown = entry.prefix + entry.name;
    announced = false;
    FileOutcome outcome = archiveOneFile(run, packer, entry);
    if (outcome.notAFile) continue;
    if (!announced) view.fileStarted(number, shown, entry.size);
    outcome.archiveName.insert(0, entry.prefix);
    tally.add(outcome);
    view.fileFinished(number, shown, outcome);
    if (escapePressed()) {
      view.runStopped();
      return;
    }
  }
}

// Two entries whose archives may be one file: same folder, same archive name but for case.
std::string namesakeOf(const SearchEntry& entry) {
  return entry.prefix + namesakeKey(archiveNameOf(entry.name));
}

// Workers: files are handed out in search order, many ahead, and reported in the same order,
// the oldest file in hand shown as the one being packed. So the screen, the log and the exit
// code are those of a run in turn, only sooner.
bool packSideBySide(BatchRun& run, DirectorySearch& search, RunView& view, RunTally& tally,
                    int workers) {
  const int level = run.options.compressionLevel;
  WorkerPool pool(run, workers, workers > 1 && level != 0);
  if (pool.started() < workers) {
    view.notice("could not start " + std::to_string(workers - pool.started()) + " of " +
                std::to_string(workers) + " worker threads (" + std::strerror(pool.startError()) +
                "); packing with " + std::to_string(pool.started() == 0 ? 1 : pool.started()));
  }
  if (pool.started() == 0) return false;
  // Many files handed out ahead, so that the workers never wait for this thread, which reports
  // them a frame at a time; ESC takes back those no worker has begun.
  std::vector<FileJob*> batch;
  std::deque<std::unique_ptr<FileJob>> inHand;
  std::unique_ptr<FileJob> next;  // found, not yet handed out
  bool searching = true;
  bool stopped = false;
  // The workers look at each name themselves: the search's look at every file would be this
  // thread's largest cost, and it is theirs to share.
  search.lookLater = true;
  // Two files of one base name share an archive name: the second is decided only once the
  // first is done, as a run in turn would decide it.
  const auto waitsForNamesake = [&](const FileJob& job) {
    if (!job.entry.sharesArchive) return false;
    const std::string name = namesakeOf(job.entry);
    return std::any_of(inHand.begin(), inHand.end(), [&](const auto& held) {
      return held->entry.sharesArchive && namesakeOf(held->entry) == name;
    });
  };
  bool announced = false;
  std::uint64_t shownPosition = 0;
  std::chrono::steady_clock::time_point nextKeyLook;
  while (true) {
    batch.clear();
    while (!stopped && inHand.size() < kFilesAhead) {
      if (!next && searching) {
        next = std::make_unique<FileJob>();
        const SearchStep step = nextSearchStep(search, next->entry, &next->folderError);
        if (step == SearchStep::End) {
          next.reset();
          searching = false;
        } else if (step == SearchStep::FolderFailed || step == SearchStep::TempArchive) {
          // Dealt with in its place among the files, as a run in turn deals with it.
          next->tempArchive = step == SearchStep::TempArchive;
          next->finished = true;
          inHand.push_back(std::move(next));
          continue;
        }
      }
      if (!next || waitsForNamesake(*next)) break;
      batch.push_back(next.get());
      inHand.push_back(std::move(next));
    }
    pool.submit(batch);
    if (inHand.empty()) break;
    FileJob& oldest = *inHand.front();
    if (oldest.folderError != 0 || oldest.tempArchive) {
      if (oldest.tempArchive) {
        meetTempArchive(oldest.entry, view);
      } else {
        ++tally.failed;
        view.folderFailed(oldest.entry.prefix, oldest.folderError);
      }
      inHand.pop_front();
      continue;
    }
    const std::string shown = oldest.entry.prefix + oldest.entry.name;
    // Numbered and shown once a worker has found it to be a file.
    if (!announced && oldest.looked && !oldest.notAFile) {
      oldest.number = tally.files + 1;
      view.fileStarted(oldest.number, shown, oldest.size.load());
      announced = true;
      shownPosition = 0;
    }
    const bool finished = pool.waitFor(oldest, kFrameMs);
    if (finished && oldest.notAFile) {
      inHand.pop_front();
      continue;
    }
    if (finished && !announced) continue;  // announced on the next pass, then reported
    const std::uint64_t position = oldest.position.load(std::memory_order_relaxed);
    if (announced && position != shownPosition) {
      view.fileProgress(position, oldest.size.load(std::memory_order_relaxed));
      shownPosition = position;
    }
    if (!finished) {
      followTerminal();
      continue;
    }
    oldest.outcome.archiveName.insert(0, oldest.entry.prefix);
    tally.add(oldest.outcome);
    view.fileFinished(oldest.number, shown, oldest.outcome);
    inHand.pop_front();
    announced = false;
    // ESC stops handing out files; those a worker has begun are finished and reported.
    if (!stopped && escapePressedThisFrame(nextKeyLook)) {
      stopped = true;
      const std::vector<FileJob*> untouched = pool.takeBack();
      std::erase_if(inHand, [&](const auto& job) {
        return std::find(untouched.begin(), untouched.end(), job.get()) != untouched.end();
      });
    }
  }
  if (stopped) view.runStopped();
  return true;
}

// The mask's folder, then its matches packed by one thread or several.
void walkFiles(BatchRun& run, RunView& view, RunTally& tally) {
  DirectorySearch search;
  startSearch(search, run.workDir.get(), run.options.fileMask, run.options.recursive);
  if (folderFailed(search)) {
    ++tally.failed;
    view.folderFailed(maskFolder(run.options.fileMask), search.error);
  }
  // Without a worker thread to be had, the batch thread packs on its own.
  if (run.options.workers == 0 || !packSideBySide(run, search, view, tally, run.options.workers)) {
    packInTurn(run, search, view, tally);
  }
}

}  // namespace

int runBatch(const std::vector<std::string>& parameters) {
  disableMouseInput();
  setTitle("Vordex v1.1");
  releaseErrorLog();
  if (parameters.empty()) {
    showUsage();
    return 0;
  }

  BatchRun run;
  run.options = parseCommandLine(parameters);
  if (run.options.workers == kAllCores) run.options.workers = onlineCores();
  // A walk holds a descriptor for every folder from the start down to the one in hand: a deep
  // tree takes as many as the process may have.
  if (run.options.recursive) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
    }
  }
  RunViews views;
  addViews(views);
  views.runStarted(run.options);

  keepFreedMemoryForReuse();
  // A working folder that cannot be opened at all fails every file as it comes.
  openWorkDir(run);
  RunTally tally;
  walkFiles(run, views, tally);
  views.runEnded(tally);
  return tally.failed > 0 ? kExitFailed : kExitSuccess;
}
