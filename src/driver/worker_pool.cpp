#include "driver/worker_pool.h"

#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <chrono>

namespace {

// Asynchronous signals are for the thread that owns the terminal: its handlers then run there.
// A crash in a worker still reaches that worker's own handler.
void leaveSignalsToTheMainThread() {
  sigset_t signals;
  sigfillset(&signals);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
    sigdelset(&signals, sig);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

}  // namespace

void deflateChunk(ChunkTask& task, z_stream& stream) {
  task.crc = crc32(0, task.input.data(), static_cast<uInt>(task.input.size()));
  if (!task.dictionary.empty() &&
      deflateSetDictionary(&stream, task.dictionary.data(),
                           static_cast<uInt>(task.dictionary.size())) != Z_OK) {
    return;
  }
  // The bound for the whole input in one call, and room for the flush's empty stored block.
  task.output.resize(deflateBound(&stream, task.input.size()) + 16);
  stream.next_in = task.input.data();
  stream.avail_in = static_cast<uInt>(task.input.size());
  stream.next_out = task.output.data();
  stream.avail_out = static_cast<uInt>(task.output.size());
  const int flush = task.last ? Z_FINISH : Z_SYNC_FLUSH;
  for (;;) {
    const int result = deflate(&stream, flush);
    if (result == Z_STREAM_END ||
        (flush == Z_SYNC_FLUSH && result == Z_OK && stream.avail_in == 0 && stream.avail_out > 0)) {
      break;
    }
    if (result != Z_OK && result != Z_BUF_ERROR) return;
    const std::size_t used = task.output.size() - stream.avail_out;
    task.output.resize(task.output.size() * 2);
    stream.next_out = task.output.data() + used;
    stream.avail_out = static_cast<uInt>(task.output.size() - used);
  }
  task.output.resize(task.output.size() - stream.avail_out);
  task.ok = true;
}

WorkerPool::WorkerPool(BatchRun& run, int workers, bool chunking)
    : run_(run), lowWater_(static_cast<std::size_t>(workers)) {
  for (int i = 0; i < workers; ++i) {
    // Slot 0 of the temporary files is the batch thread's own.
    packers_.push_back(std::make_unique<Packer>(i + 1));
    if (chunking) packers_.back()->chunks = this;
  }
  for (auto& packer : packers_) threads_.emplace_back([this, &packer] { work(*packer); });
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

bool WorkerPool::waitFor(const FileJob& job, int milliseconds) {
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
  if (z_stream* stream = packer.deflater(task.level)) deflateChunk(task, *stream);
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
      guard.unlock();
      job->notAFile = !job->entry.looked && !lookAtEntry(job->entry);
      job->size = job->entry.size;
      job->looked = true;
      packer.progress = [job](std::uint64_t position, std::uint64_t size) {
        job->size.store(size, std::memory_order_relaxed);
        job->position.store(position, std::memory_order_relaxed);
      };
      if (!job->notAFile) job->outcome = archiveOneFile(run_, packer, job->entry);
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

int onlineCores() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
  return std::clamp(CPU_COUNT(&cpus), 1, kMaxWorkers);
}
