#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace collector {

// How an upload (a crash report POST, not a symbol upload) ended, as its answer says.
enum class UploadOutcome {
  kStored,             // stored and acknowledged (whatever status --status names)
  kRefusedTooLarge,    // 413: above --max-bytes
  kRefusedBusy,        // 503: the body budget is spent
  kRefusedBadRequest,  // 400: no multipart body with one file part
  kRefusedStopping,    // 503: the collector is stopping
  kStoreFailed,        // 500: the database refused it
  kAborted,            // never answered: the client went away or was cut off
  kCount
};

enum class ReadKind { kPage, kApi, kCount };

// The collector's counters, gauges and histograms for Prometheus. Every one is a fixed member
// updated with relaxed atomics: an upload pays a few uncontended additions, never a lock or a
// lookup, whether or not anyone scrapes.
class Metrics {
 public:
  using Duration = std::chrono::steady_clock::duration;

  // Latency buckets (upper bounds, seconds) of both histograms: from a quick commit or cached
  // page to a read that runs the symbolizer over a large dump.
  static constexpr std::array<double, 14> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                      0.025,  0.05,  0.1,    0.25,  0.5,
                                                      1,      2.5,   5,      10};

  class Histogram {
   public:
    void Observe(Duration elapsed);
    // The exposition lines of this histogram under name, with labels ("" or `kind="api"`).
    void Render(const std::string& name, const std::string& labels, std::string& out) const;

   private:
    std::array<std::atomic<uint64_t>, kBuckets.size() + 1> counts_{};  // the last one: +Inf
    std::atomic<uint64_t> sumNanos_{0};
  };

  void CountUpload(UploadOutcome outcome) { Add(uploads_[static_cast<size_t>(outcome)], 1); }
  void CountReceivedBytes(uint64_t bytes) { Add(receivedBytes_, bytes); }
  // A stored report whose payload was kept raw: undecodable, or its log claimed too much.
  void CountDecodeFailure(bool tooLarge) { Add(decodeFailures_[tooLarge ? 1 : 0], 1); }
  void ObserveCommit(Duration elapsed) { commit_.Observe(elapsed); }
  void ObserveRead(ReadKind kind, Duration elapsed) {
    reads_[static_cast<size_t>(kind)].Observe(elapsed);
  }
  void SetOpenConnections(size_t count) { connections_.store(count, std::memory_order_relaxed); }
  void SetReadQueueLength(size_t count) { readQueue_.store(count, std::memory_order_relaxed); }

  // For the webhook sender: one call per alert delivered to a receiver (answered 2xx), and one
  // per alert given up on (queue full, or out of retries). Safe from any thread.
  void CountWebhookDelivery() { Add(webhookDeliveries_, 1); }
  void CountWebhookDrop() { Add(webhookDrops_, 1); }

  // Everything in the text exposition format, version 0.0.4.
  std::string Render() const;

 private:
  static void Add(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }

  // The upload path's counters on cache lines of their own, away from the readers' and the
  // writer's, so the network threads do not bounce a line between them and the others.
  alignas(64) std::array<std::atomic<uint64_t>, static_cast<size_t>(UploadOutcome::kCount)>
      uploads_{};
  std::atomic<uint64_t> receivedBytes_{0};
  std::atomic<size_t> connections_{0};
  alignas(64) std::array<std::atomic<uint64_t>, 2> decodeFailures_{};
  Histogram commit_;
  alignas(64) std::array<Histogram, static_cast<size_t>(ReadKind::kCount)> reads_{};
  std::atomic<size_t> readQueue_{0};
  alignas(64) std::atomic<uint64_t> webhookDeliveries_{0};
  std::atomic<uint64_t> webhookDrops_{0};
};

// The process's one registry: what every part of the collector counts into and /metrics shows.
Metrics& TheMetrics();

// GET /metrics on an address of its own (meant to be a private one: it asks for no token),
// served by a thread of its own; every other request there is answered 404.
class MetricsServer {
 public:
  MetricsServer();
  ~MetricsServer();  // stops serving
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds host:port (port 0: any free one) and starts serving. Returns the bound port, or -1
  // with error set.
  int Start(const std::string& host, int port, std::string& error);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace collector
