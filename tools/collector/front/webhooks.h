#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace collector {

// What happened to a group, as the receivers of the webhooks learn it.
struct Alert {
  std::string event;  // "new_group", "regression" or "spike"
  int64_t groupId = 0;
  std::string program;
  std::string code;
  std::vector<std::string> topFrames;
  std::string version;
  uint64_t count = 0;  // reports in the group, or this hour's for a spike
  int64_t hour = -1;   // Unix hour (seconds / 3600), spikes only
};

// The JSON document POSTed for an alert: event, group, program, code, top_frames, version,
// count, url (publicUrl without trailing slashes + "/groups/ID", null without a public URL)
// and, for spikes, hour. The texts come from uploads: the result is valid UTF-8 JSON whatever
// bytes they hold.
std::string AlertDocument(const Alert& alert, const std::string& publicUrl);

// "sha256=" and the lowercase hex HMAC-SHA256 of the body under the secret: the value of
// X-Vexo-Signature.
std::string WebhookSignature(const std::string& secret, const std::string& body);

// An http:// or https:// URL taken apart. The host keeps no brackets (an IPv6 address).
struct HttpUrl {
  bool https = false;
  std::string host;
  int port = 0;
  std::string target;      // path and query, "/" at least
  std::string hostHeader;  // the Host header's value
};

// False with error set for anything but scheme://host[:port][/path][?query] (no user info, no
// fragment, no white space or control characters, a port from 1 to 65535).
bool ParseHttpUrl(const std::string& text, HttpUrl& url, std::string& error);

struct WebhookOptions {
  std::vector<std::string> urls;      // http:// only: no TLS library is linked
  std::string secret;                 // empty: no X-Vexo-Signature
  std::string publicUrl;              // the dashboard's address, for the document's url
  size_t queueLimit = 1000;           // alerts waiting per URL; more are dropped
  int retrySeconds = 600;             // an alert not delivered this long after Enqueue is dropped
  int timeoutSeconds = 10;            // one attempt: connecting, sending and the answer's head
  int firstRetryMilliseconds = 1000;  // the wait after a failure, doubled after each one...
  int longestRetrySeconds = 60;       // ...up to this
  // Stop goes on delivering what is queued to the URLs that answer, for this long at most.
  int stopGraceMilliseconds = 1000;
};

// Delivers alerts to every URL by POST, on threads of its own, one per URL, so a receiver
// that never answers holds up only its own alerts. Each URL has its own queue of at most
// queueLimit alerts, sent in order; a failed attempt (no connection, timeout, an answer other
// than 2xx) is tried again after a wait that doubles, until retrySeconds after the alert was
// enqueued. The counters count per URL: an alert sent to two URLs is delivered twice.
class WebhookSender {
 public:
  explicit WebhookSender(WebhookOptions options);
  ~WebhookSender();  // Stop
  WebhookSender(const WebhookSender&) = delete;
  WebhookSender& operator=(const WebhookSender&) = delete;

  // Checks the URLs and starts the delivery threads. False with error set for a URL that is
  // malformed or https; nothing is started then.
  bool Start(std::string& error);

  // Queues the alert for every URL and returns at once: no I/O, no waiting on a receiver.
  // Where a queue is full the alert is dropped there (logged by that URL's thread).
  void Enqueue(const Alert& alert);

  // Delivers what is queued to the URLs that answer, for stopGraceMilliseconds at most, then
  // abandons the rest (logged and counted as dropped). Returns within that grace and a
  // fraction of a second, whatever the receivers do. Safe to call twice.
  void Stop();

  uint64_t delivered() const { return delivered_.load(); }
  uint64_t dropped() const { return dropped_.load(); }

 private:
  class Sink;
  void CountDelivery();
  void CountDrop();

  WebhookOptions options_;
  std::vector<std::unique_ptr<Sink>> sinks_;
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace collector
