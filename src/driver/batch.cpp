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

#include "core/naming.h"
#include "core/run_data.h"
#include "driver/archive.h"
#include "driver/dir_search.h"
#include "driver/selection.h"
#include "driver/temp_archive.h"
#include "driver/worker_pool.h"

namespace {

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
void meetTempArchive(const SearchEntry& entry, RunView& view, bool dryRun) {
  if (removeLeftover(entry.folder->get(), entry.name.c_str(), dryRun)) {
    view.leftoverRemoved(entry.prefix + entry.name);
  }
}

// Where the report says an entry's archive stands.
const std::string& archiveFolderShown(const SearchEntry& entry) {
  return entry.archiveFolder ? entry.archiveFolder->shown : entry.prefix;
}

// How often the progress of a file packed by the workers, and the keys, are looked at.
constexpr int kFrameMs = 33;
constexpr std::size_t kFilesAhead = 1024;

// Workers' files finish many a frame: the keys are looked at once a frame, as a look costs
// system calls and a file of 1 KiB a tenth of a frame or less.
bool keysDue(std::chrono::steady_clock::time_point& next) {
  const auto now = std::chrono::steady_clock::now();
  if (now < next) return false;
  next = now + std::chrono::milliseconds(kFrameMs);
  return true;
}

// Files are handed out in search order, many ahead, and reported in the same order, the oldest
// file in hand shown as the one being packed. With workers that is a run in turn, only sooner;
// without (no -T, or no thread to be had) the batch thread packs each file itself when it waits
// for it, and shows it as it goes.
void packFiles(BatchRun& run, Selection& selection, RunView& view, RunControl& control,
               RunTally& tally) {
  const int workers = run.options.workers;
  const int level = run.options.compressionLevel;
  WorkerPool pool(run, workers, workers > 1 && level != 0);
  if (pool.started() < workers) {
    view.notice("could not start " + std::to_string(workers - pool.started()) + " of " +
                std::to_string(workers) + " worker threads (" + std::strerror(pool.startError()) +
                "); packing with " + std::to_string(pool.started() == 0 ? 1 : pool.started()));
  }
  // Many files handed out ahead, so that the workers never wait for this thread, which reports
  // them a frame at a time; ESC takes back those no worker has begun.
  std::vector<FileJob*> batch;
  std::deque<std::unique_ptr<FileJob>> inHand;
  std::unique_ptr<FileJob> next;  // found, not yet handed out
  bool searching = true;
  bool stopped = false;
  // The workers look at each name themselves: the search's look at every file would be this
  // thread's largest cost, and it is theirs to share. Without workers, opening a file is the look.
  selection.lookLater(pool.started() == 0);
  // Two files of one base name share an archive name: the second is decided only once the
  // first is done, as a run in turn would decide it. Of a list, only the later is marked.
  const bool listed = !run.options.fileList.empty();
  const auto waitsForNamesake = [&](const FileJob& job) {
    if (!job.entry.sharesArchive) return false;
    const std::string name = namesakeOf(job.entry);
    return std::any_of(inHand.begin(), inHand.end(), [&](const auto& held) {
      return (held->entry.sharesArchive || listed) && namesakeOf(held->entry) == name;
    });
  };
  bool announced = false;
  std::uint64_t shownPosition = 0;
  // Numbered and shown once it is found to be a file: by a worker's look, or on this thread
  // once it is open.
  const auto announce = [&](FileJob& job) {
    job.number = tally.files + 1;
    view.fileStarted(job.number, job.entry.prefix + job.entry.name, job.size.load());
    announced = true;
    shownPosition = 0;
  };
  // The file in hand's progress, shown a frame at a time.
  const auto showProgress = [&](const FileJob& job) {
    const std::uint64_t position = job.position.load(std::memory_order_relaxed);
    if (position == shownPosition) return;
    view.fileProgress(position, job.size.load(std::memory_order_relaxed));
    shownPosition = position;
  };
  // Packed on this thread, a file is shown from within: once open, and after every block read.
  pool.onOpenedHere(announce);
  pool.onProgressHere([&](const FileJob& job) {
    showProgress(job);
    control.frameDue();
  });
  // Without workers ESC is looked for after every file, one key a file, as it always was.
  const bool everyFile = pool.started() == 0;
  std::chrono::steady_clock::time_point nextKeyLook;
  while (true) {
    batch.clear();
    while (!stopped && inHand.size() < kFilesAhead) {
      if (!next && searching) {
        next = std::make_unique<FileJob>();
        const SearchStep step = selection.next(next->entry, &next->folderError);
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
        meetTempArchive(oldest.entry, view, run.options.dryRun);
      } else {
        ++tally.failed;
        view.folderFailed(oldest.entry.prefix, oldest.folderError);
      }
      inHand.pop_front();
      continue;
    }
    const std::string shown = oldest.entry.prefix + oldest.entry.name;
    if (!announced && oldest.looked && !oldest.notAFile) announce(oldest);
    const bool finished = pool.waitFor(oldest, kFrameMs);
    if (finished && oldest.notAFile) {
      inHand.pop_front();
      continue;
    }
    if (finished && !announced) continue;  // announced on the next pass, then reported
    if (announced) showProgress(oldest);
    if (!finished) {
      control.frameDue();
      continue;
    }
    oldest.outcome.archiveName.insert(0, archiveFolderShown(oldest.entry));
    tally.add(oldest.outcome);
    view.fileFinished(oldest.number, shown, oldest.outcome);
    inHand.pop_front();
    announced = false;
    // ESC stops handing out files; those a worker has begun are finished and reported.
    if (!stopped && (everyFile || keysDue(nextKeyLook)) && control.stopAsked()) {
      stopped = true;
      const std::vector<FileJob*> untouched = pool.takeBack();
      std::erase_if(inHand, [&](const auto& job) {
        return std::find(untouched.begin(), untouched.end(), job.get()) != untouched.end();
      });
    }
  }
  if (stopped) view.runStopped();
}

}  // namespace

int runBatch(const RunOptions& options, RunView& view, RunControl& control) {
  BatchRun run;
  run.options = options;
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
  view.runStarted(run.options);

  keepFreedMemoryForReuse();
  // A working folder that cannot be opened at all fails every file as it comes.
  openWorkDir(run);
  RunTally tally;
  Selection selection(run);
  if (const int error = selection.folderError()) {
    ++tally.failed;
    view.folderFailed(splitMask(run.options.fileMask).folder, error);
  }
  packFiles(run, selection, view, control, tally);
  if (const int error = selection.listError()) {
    ++tally.failed;
    view.listFailed(selection.listName(), error);
  }
  view.runEnded(tally);
  return tally.failed > 0 || view.outputLost() ? kExitFailed : kExitSuccess;
}
