#include "ingest/batch_writer.h"

#include <algorithm>
#include <chrono>

#include "front/metrics.h"
#include "ingest/crash_entry.h"

namespace collector {

void BatchWriter::Start() {
  for (size_t i = 0; i < std::max<size_t>(1, store_.ConcurrentWriters()); ++i) {
    writers_.emplace_back([this] { WriterLoop(); });
  }
}

bool BatchWriter::Submit(Job* job, const std::function<void()>& accepted) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) {
    return false;
  }
  accepted();
  queue_.push_back(job);
  changed_.notify_all();
  return true;
}

void BatchWriter::Close() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.wait(lock, [this] { return queue_.empty() && writing_ == 0; });
    done_ = true;
    changed_.notify_all();
  }
  for (std::thread& writer : writers_) {
    writer.join();
  }
  writers_.clear();
}

void BatchWriter::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return !queue_.empty() || done_; });
    if (queue_.empty()) {
      return;
    }
    std::vector<Job*> batch(queue_.begin(), queue_.end());
    queue_.clear();
    writing_ += batch.size();
    lock.unlock();
    std::vector<const StoredReport*> reports;
    std::vector<const CrashEntry*> entries;
    for (Job* job : batch) {
      reports.push_back(&job->report);
      entries.push_back(&job->crash);
    }
    std::vector<int64_t> ids;
    std::vector<std::string> errors;
    std::string error;
    auto started = std::chrono::steady_clock::now();
    std::vector<GroupEvent> events;
    bool stored = StoreWithEntries(store_, reports, entries, ids, errors, error, rules_,
                                   onEvents_ ? &events : nullptr);
    TheMetrics().ObserveCommit(std::chrono::steady_clock::now() - started);
    for (size_t i = 0; i < batch.size(); ++i) {
      Job* job = batch[i];
      // A report the database refused is answered with an error; the others of its batch
      // are stored and acknowledged all the same.
      job->id = stored ? ids[i] : 0;
      job->stored = job->id != 0;
      job->error = stored ? errors[i] : error;
      // The bytes are on disk; only the texts for the log line are still needed.
      std::string().swap(job->report.payload);
      std::string().swap(job->report.log);
      std::string().swap(job->report.stack);
      job->done();
    }
    // After the answers: the sink only queues them.
    if (stored && !events.empty()) {
      onEvents_(events);
    }
    lock.lock();
    writing_ -= batch.size();
    changed_.notify_all();
  }
}

}  // namespace collector
