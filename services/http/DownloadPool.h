#pragma once
// Up to N GETs at once over connections kept to the server, each body streamed into a file
// of its own. A transfer that fails part-way keeps what it received, with what the server
// said about it, and the next attempt (in this run or a later one) asks only for the rest; a
// transport failure or a 5xx answer is retried a bounded number of times with growing pauses.
// Every event runs on the thread of Run; Disconnect and Wakeup may come from any thread.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "http/HttpError.h"

namespace kestrune {

struct DownloadJob {
  std::size_t id = 0;  // the caller's own, handed back with every event of this job
  std::string url;
  // Native path of the complete body once the job succeeds. While it runs, and after a
  // failure part-way, the body is kept as PartialPath(path), never written through a link;
  // a failure part-way leaves its resume record at ResumeRecordPath(path) (a body of 1 MiB or
  // more has it from its head on). A success removes the record and renames the partial to
  // `path`.
  std::string path;
  // The most bytes the file may hold in all, those kept from an earlier attempt included
  // (0: no bound); past it the job fails as HttpClient::MaxBodySize makes a GET fail.
  std::int64_t maxBodySize = 0;
};

std::string PartialPath(const std::string& path);       // path + ".part"
std::string ResumeRecordPath(const std::string& path);  // path + ".part-info"

struct DownloadResult {
  std::size_t id = 0;
  // Null when the whole body is at the job's path; else the last attempt's failure (an
  // HttpError for the transfer, or a platform::SystemError for the files; a Disconnect's is
  // an HttpError of Kind::ConnectionClosed).
  std::exception_ptr error;
  std::int64_t bytesReceived = 0;  // body bytes received by this run over all its attempts
  std::int64_t resumedFrom = 0;    // bytes of an earlier partial that a 206 answer kept
  // Requests sent for the job: retries, and a start-over after a refused range, included.
  int attempts = 0;
};

class DownloadPool {
 public:
  static constexpr int kDefaultConnections = 4;
  static constexpr int kMaxConnections = 16;
  // Attempts after the first for a transport failure (Kind::Transport, or ConnectionClosed not
  // caused by Disconnect) or a 5xx, after pauses of 1 s, 2 s and 4 s, each resuming where the
  // last one stopped. A 4xx, a body past maxBodySize and a failed write are never retried.
  static constexpr int kRetries = 3;

  // Hands out no job until the next call of `next`, or until Wakeup.
  struct Later {};
  // No job is left to hand out.
  struct NoMore {};
  using Next = std::variant<DownloadJob, Later, NoMore>;

  // For each job: started, then progress (among other jobs' events), then finished once.
  struct Events {
    // Asked for the next job whenever a connection is free, after every event and Wakeup.
    std::function<Next()> next;
    // A job's first request goes out.
    std::function<void(const DownloadJob&)> started;
    // The body bytes received of the transfers in flight (resumed bytes included) against
    // their announced totals (0 when no transfer in flight announced one).
    std::function<void(std::int64_t received, std::int64_t expected)> progress;
    // A job ended, after its last attempt.
    std::function<void(const DownloadJob&, const DownloadResult&)> finished;
    // Called on every turn of the loop, after Wakeup among others: to take in what other
    // threads posted.
    std::function<void()> service;
  };

  // `connections` is clamped to 1..kMaxConnections.
  explicit DownloadPool(int connections = kDefaultConnections);
  ~DownloadPool();
  DownloadPool(const DownloadPool&) = delete;
  DownloadPool& operator=(const DownloadPool&) = delete;

  // Runs until `next` says NoMore and no job is left, or until Disconnect. After a
  // Disconnect every job in flight ends with a ConnectionClosed failure (its partial kept),
  // no further job is asked for, and Run returns. An exception thrown by an event ends every
  // transfer the same way and propagates. Call from one thread at a time.
  void Run(const Events& events);

  // Any thread: every transfer and pause ends at once and Run returns soon. A Disconnect that
  // comes while Run is not running makes the next Run end at once.
  void Disconnect();
  // Any thread: makes Run turn its loop soon (calls `service` and asks `next`).
  void Wakeup();

  // As HttpClient's, with the same defaults (CaFile from $KESTRUNE_CA_FILE).
  std::string UserAgent;
  std::string CaFile;
  std::chrono::milliseconds Deadline{0};  // per attempt; 0: no bound

  // Tests only: shorter pauses between attempts (default 1 s, 2 s, 4 s), and the limits of
  // HttpClient's test setters.
  void SetRetryPausesForTest(std::vector<std::chrono::milliseconds> pauses);
  void SetTimeoutsForTest(std::chrono::milliseconds connect, std::chrono::milliseconds idleRead);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune
