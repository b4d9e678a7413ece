#include "driver/worker_pool.h"

#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

namespace {

// Asynchronous signals are for the thread that owns the terminal: its handlers then run there.
// A crash in a worker still reaches that worker's own handler.
void leaveSignalsToTheMainThread() {
  sigset_t signals;
  sigfillset(&signals);
  // SIGIO tells of a broken lease; whichever thread takes it lets the lease go.
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGIO}) {
    sigdelset(&signals, sig);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

}  // namespace

WorkerPool::WorkerPool(BatchRun& run, int workers, bool chunking)
    : run_(run), lowWater_(static_cast<std::size_t>(workers)) {
  for (int i = 0; i < workers; ++i) {
    // Slot 0 is the batch thread's own.
    packers_.push_back(std::make_unique<Packer>(i + 1));
    if (chunking) packers_.back()->chunks = this;
  }
  for (auto& packer : packers_) {
    try {
      threads_.emplace_back([this, &packer] { work(*packer); });
    } catch (const std::system_error& failure) {
      // At a thread or process limit: the run goes on with the workers there are.
      startError_ = failure.code().value() != 0 ? failure.code().value() : EAGAIN;
      break;
    }
  }
  packers_.resize(threads_.size());
  lowWater_ = threads_.size();
  // Without a worker the batch thread packs each file itself, in its own slot.
  if (threads_.empty()) here_ = std::make_unique<Packer>(0);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::submit(const std::vector<FileJob*>& jobs) {
  if (jobs.empty()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    files_.insert(files_.end(), jobs.begin(), jobs.end());
    starving_ = false;
  }
  changed_.notify_all();
}

std::vector<FileJob*> WorkerPool::takeBack() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<FileJob*> untouched(files_.begin(), files_.end());
  files_.clear();
  return untouched;
}

bool WorkerPool::waitFor(FileJob& job, int milliseconds) {
  if (here_) return packHere(job);
  std::unique_lock<std::mutex> guard(lock_);
  // The batch thread is woken when the workers need more files, else once a frame: not for
  // every file, as ten thousand wake-ups cost more than the files they would report.
  awake_.wait_for(guard, std::chrono::milliseconds(milliseconds),
                  [&] { return job.finished.load() || starving_; });
  starving_ = false;
  return job.finished.load();
}

void WorkerPool::submit(ChunkTask* task) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    chunks_.push_back(task);
  }
  changed_.notify_all();
}

void WorkerPool::finishChunk(ChunkTask& task, Packer& packer) {
  deflateChunk(task, packer.engines());
  {
    std::lock_guard<std::mutex> guard(lock_);
    task.done = true;
  }
  changed_.notify_all();
}

bool WorkerPool::runWaitingChunk(std::unique_lock<std::mutex>& guard, Packer& packer) {
  if (chunks_.empty()) return false;
  ChunkTask* task = chunks_.front();
  chunks_.pop_front();
  guard.unlock();
  finishChunk(*task, packer);
  guard.lock();
  return true;
}

void WorkerPool::helpUntil(Packer& packer, const std::function<bool()>& done) {
  std::unique_lock<std::mutex> guard(lock_);
  while (!done()) {
    if (!runWaitingChunk(guard, packer)) {
      changed_.wait(guard, [&] { return done() || !chunks_.empty(); });
    }
  }
}

void WorkerPool::work(Packer& packer) {
  leaveSignalsToTheMainThread();
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, [&] { return stopping_ || !chunks_.empty() || !files_.empty(); });
    // Chunks first: a thread packing a big file waits for them.
    if (runWaitingChunk(guard, packer)) continue;
    if (!files_.empty()) {
      FileJob* job = files_.front();
      files_.pop_front();
      const std::uint64_t ticket = nextTicket_++;
      guard.unlock();
      pack(*job, packer, ticket);
      guard.lock();
      job->finished = true;
      if (files_.size() < lowWater_ && !starving_) {
        starving_ = true;
        awake_.notify_one();
      }
    } else if (stopping_) {
      return;
    }
  }
}

bool WorkerPool::packHere(FileJob& job) {
  // Decided without being opened (a skip), it is announced after the fact, and waited for again.
  if (job.finished) return true;
  {
    // Files are packed here in the order they were handed out: the job is the first waiting.
    std::lock_guard<std::mutex> guard(lock_);
    if (!files_.empty() && files_.front() == &job) files_.pop_front();
  }
  // Opening the file is the look at it: it is announced then, with the size it has.
  here_->opened = [this, &job](std::uint64_t size) {
    job.size = size;
    job.looked = true;
    if (openedHere_) openedHere_(job);
  };
  here_->progress = [this, &job](std::uint64_t position, std::uint64_t size) {
    job.size.store(size, std::memory_order_relaxed);
    job.position.store(position, std::memory_order_relaxed);
    if (progressHere_) progressHere_(job);
  };
  job.outcome = archiveOneFile(run_, *here_, job.entry);
  job.notAFile = job.outcome.notAFile;
  job.looked = true;
  job.finished = true;
  return true;
}

void WorkerPool::pack(FileJob& job, Packer& packer, std::uint64_t ticket) {
  job.notAFile = !job.entry.looked && !lookAtEntry(job.entry);
  const FileKey key{job.entry.device, job.entry.inode};
  const bool claimed = !job.notAFile && job.entry.lookError == 0;
  const bool waited = claimFile(claimed ? &key : nullptr, ticket);
  // Another name of this file was packed meanwhile (and perhaps deleted): looked at again, as a
  // run in turn would look at it only now.
  if (waited) {
    job.entry.looked = false;
    job.entry.lookError = 0;
    job.notAFile = !lookAtEntry(job.entry);
  }
  job.size = job.entry.size;
  job.looked = true;
  packer.progress = [&job](std::uint64_t position, std::uint64_t size) {
    job.size.store(size, std::memory_order_relaxed);
    job.position.store(position, std::memory_order_relaxed);
  };
  if (!job.notAFile) job.outcome = archiveOneFile(run_, packer, job.entry);
  if (claimed) releaseFile(key);
}

bool WorkerPool::claimFile(const FileKey* file, std::uint64_t ticket) {
  std::unique_lock<std::mutex> guard(lock_);
  claims_.wait(guard, [&] { return nextClaim_ == ticket; });
  ++nextClaim_;
  claims_.notify_all();
  if (file == nullptr) return false;
  std::deque<std::uint64_t>& holders = inHand_[*file];
  holders.push_back(ticket);
  const bool waited = holders.front() != ticket;
  claims_.wait(guard, [&] { return holders.front() == ticket; });
  return waited;
}

void WorkerPool::releaseFile(const FileKey& file) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto held = inHand_.find(file);
  held->second.pop_front();
  if (held->second.empty()) inHand_.erase(held);
  claims_.notify_all();
}

int onlineCores() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  return std::clamp(CPU_COUNT(&cpus), 1, kMaxWorkers);
}
