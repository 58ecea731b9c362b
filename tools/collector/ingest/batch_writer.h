#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "readmodel/read_model.h"
#include "store/report_store.h"

namespace collector {

// The only code that writes reports. Each writer thread takes every report waiting when it
// starts, stores them in one transaction (one commit, one fsync), and tells each how it went;
// the store says how many writers run at once.
class BatchWriter {
 public:
  struct Job {
    StoredReport report;
    CrashEntry crash;  // what the read side keeps of it, stored in the same transaction
    // Set by the writer before done runs.
    bool stored = false;
    int64_t id = 0;
    std::string error;
    std::function<void()> done;  // runs on the writer's thread once the outcome is set
  };

  explicit BatchWriter(ReportStore& store) : store_(store) {}
  ~BatchWriter() { Close(); }
  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;

  // Before Start: the new groups, regressions and spikes of each committed batch go to onEvents
  // on the writer's thread, after the batch's answers (it must not block).
  void WatchGroups(const AlertRules& rules,
                   std::function<void(const std::vector<GroupEvent>&)> onEvents) {
    rules_ = rules;
    onEvents_ = std::move(onEvents);
  }

  void Start();

  // Queues the job; accepted runs first, under the queue's lock, so that whatever done undoes
  // (a suspended connection) is in place before a writer can take the job. False, without
  // running accepted, once Close has begun.
  bool Submit(Job* job, const std::function<void()>& accepted);

  // Takes no more jobs, waits until every job taken is stored and done, and ends the writers.
  void Close();

 private:
  void WriterLoop();

  ReportStore& store_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job*> queue_;
  size_t writing_ = 0;
  bool closing_ = false;
  bool done_ = false;
  std::vector<std::thread> writers_;
  AlertRules rules_;
  std::function<void(const std::vector<GroupEvent>&)> onEvents_;
};

}  // namespace collector
