#include "http/DownloadPool.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>

#include "Platform.h"
#include "http/CurlTransfer.h"
#include "http/HttpClient.h"
#include "http/HttpWire.h"
#include "http/ResumeRecord.h"

namespace kestrune {
namespace {

using http::Clock;
using Kind = HttpError::Kind;

// A 206 that does not continue the partial, or a 416: the partial is of no use, and the job
// asks again for the whole body at once.
struct StartOver {};

// Of a resume record nothing past this is read: FormatResumeRecord writes far less.
constexpr std::size_t kMaxRecordSize = 4096;
// A body at least this long has its record written as soon as its head is in, so that a run
// that dies part-way still leaves it resumable; a shorter one gets it only when its transfer
// fails part-way, which spares the files of a many-small-files pass.
constexpr std::int64_t kRecordAtHeadFrom = std::int64_t{1} << 20;

std::optional<http::ResumeRecord> ReadResumeRecord(const std::string& path) {
  try {
    platform::File file = platform::File::OpenRead(path, platform::File::Share::ReadWrite);
    std::string bytes(kMaxRecordSize + 1, '\0');
    std::size_t size = 0;
    while (size < bytes.size()) {
      std::size_t n = file.Read(bytes.data() + size, bytes.size() - size);
      if (n == 0) break;
      size += n;
    }
    if (size > kMaxRecordSize) return std::nullopt;
    bytes.resize(size);
    return http::ParseResumeRecord(bytes);
  } catch (const platform::SystemError&) {
    return std::nullopt;
  }
}

// Into a temporary name beside it, then renamed: a reader sees the old record or the new one.
void WriteResumeRecord(const std::string& path, const http::ResumeRecord& record) {
  const std::string temporary = path + ".tmp";
  platform::RemoveFile(temporary);
  std::string bytes = http::FormatResumeRecord(record);
  try {
    platform::File file = platform::File::CreateNew(temporary);
    file.Write(bytes.data(), bytes.size());
    file.Close();
    platform::ReplaceFile(temporary, path);
  } catch (...) {
    platform::RemoveFile(temporary);
    throw;
  }
}

bool Retryable(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const HttpError& e) {
    switch (e.kind()) {
      case Kind::Transport:
      case Kind::ConnectionClosed:
        return true;
      case Kind::Protocol:
        return e.status() >= 500 && e.status() <= 599;
      default:
        return false;
    }
  } catch (...) {
    return false;
  }
}

bool IsRangeNotSatisfiable(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const HttpError& e) {
    return e.kind() == Kind::Protocol && e.status() == 416;
  } catch (...) {
    return false;
  }
}

bool IsStartOver(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const StartOver&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

std::string PartialPath(const std::string& path) {
  return path + ".part";
}

std::string ResumeRecordPath(const std::string& path) {
  return path + ".part-info";
}

struct DownloadPool::Impl {
  // One request of a job: the transfer, the partial file it appends to and what it knows of
  // the bytes already there.
  struct Attempt {
    std::string url;  // normalized
    bool https = false;
    platform::File partial;
    std::int64_t kept = 0;  // bytes of the partial that the request asked to continue
    std::optional<http::ResumeRecord> record;
    bool recordWritten = false;  // `record` is on disk
    std::int64_t written = 0;    // body bytes of this answer in the partial
    std::int64_t expected = 0;   // the whole body, as announced; 0 when unknown
    bool askedForRest = false;   // the request carries Range and If-Range
    bool resumed = false;        // a 206 continues the partial
    http::HeaderList headers;
    std::optional<http::Transfer> transfer;
    bool inMulti = false;
  };

  struct Slot {
    CURL* easy = nullptr;
    std::optional<DownloadJob> job;
    DownloadResult result;
    int retries = 0;
    std::unique_ptr<Attempt> attempt;
    std::optional<Clock::time_point> pauseUntil;
    bool done = false;  // libcurl finished the attempt
    CURLcode code = CURLE_OK;
  };

  explicit Impl(int connections) : slots(static_cast<std::size_t>(connections)) {
    http::GlobalInit();
    multi = NewMulti(connections);
    for (Slot& slot : slots) slot.easy = http::NewEasyHandle();
  }

  ~Impl() {
    for (Slot& slot : slots) Drop(slot);
    curl_multi_cleanup(multi);
    for (Slot& slot : slots) curl_easy_cleanup(slot.easy);
  }

  static CURLM* NewMulti(int connections) {
    CURLM* m = curl_multi_init();
    if (m == nullptr) throw std::bad_alloc();
    // One connection per slot, kept between jobs.
    curl_multi_setopt(m, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(connections));
    curl_multi_setopt(m, CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(connections));
    curl_multi_setopt(m, CURLMOPT_MAXCONNECTS, static_cast<long>(connections));
    return m;
  }

  void Run(const Events& events);
  void Turn(const Events& events, bool& noMore);
  void Begin(Slot& slot, const Events& events);
  void StartAttempt(Slot& slot);
  // StartAttempt; a failure to start ends the job with it.
  void StartAttemptOrFinish(Slot& slot, const Events& events);
  void EndAttempt(Slot& slot, bool aborted, const Events& events);
  void Finish(Slot& slot, std::exception_ptr error, const Events& events);
  void ReportProgress(const Events& events);
  // Ends the slot's attempt, if any, without a word: its connection goes with it.
  void Drop(Slot& slot) {
    if (slot.attempt && slot.attempt->inMulti) curl_multi_remove_handle(multi, slot.easy);
    slot.attempt.reset();
  }

  DownloadPool* owner = nullptr;
  std::vector<Slot> slots;
  CURLM* multi = nullptr;
  http::TransferLimits limits;
  std::vector<std::chrono::milliseconds> pauses{std::chrono::seconds(1), std::chrono::seconds(2),
                                                std::chrono::seconds(4)};
  std::optional<std::pair<std::int64_t, std::int64_t>> lastProgress;

  // Guards the swap of the multi handle against a Disconnect's wakeup from another thread.
  std::mutex mutex;
  std::atomic<bool> abort{false};
};

void DownloadPool::Impl::StartAttempt(Slot& slot) {
  const DownloadJob& job = *slot.job;
  auto attempt = std::make_unique<Attempt>();
  Attempt& a = *attempt;
  a.url = http::NormalizeUrl(job.url);
  a.https = a.url.compare(0, 8, "https://") == 0;
  if (a.https && !http::TlsAvailable()) throw HttpError(Kind::Tls, "Could not load SSL library.");

  const std::string partialPath = PartialPath(job.path);
  const std::string recordPath = ResumeRecordPath(job.path);
  // What an earlier attempt left continues only when the record vouches for all of it and the
  // partial is a plain file of its own: a link would have the bytes appended elsewhere.
  a.record = ReadResumeRecord(recordPath);
  if (a.record && a.record->url == a.url) {
    a.recordWritten = true;
    try {
      platform::File file = platform::File::OpenPlainForWrite(partialPath);
      auto size = static_cast<std::int64_t>(file.Size());
      if (size > 0 && size < a.record->length) {
        file.Seek(static_cast<std::uint64_t>(size));
        a.partial = std::move(file);
        a.kept = size;
      }
    } catch (const platform::SystemError&) {
    }
  }
  if (!a.partial.isOpen()) {
    a.record.reset();
    platform::RemoveFile(recordPath);
    platform::RemoveFile(partialPath);
    a.partial = platform::File::CreateNew(partialPath);
  }

  a.headers.Add(std::string("Accept: ") + HttpClient::kAccept);
  std::string agent = http::AsciiHeaderValue(owner->UserAgent);
  if (!agent.empty()) a.headers.Add("User-Agent: " + agent);
  if (a.kept > 0) {
    a.askedForRest = true;
    a.headers.Add("Range: bytes=" + std::to_string(a.kept) + "-");
    a.headers.Add("If-Range: " + a.record->validator);
  }

  http::Transfer::Hooks hooks;
  hooks.sink = [&a](std::string_view piece) {
    a.partial.Write(piece.data(), piece.size());
    a.written += static_cast<std::int64_t>(piece.size());
    return true;
  };
  const std::int64_t maxBodySize = job.maxBodySize;
  hooks.head = [&a, maxBodySize, partialPath, recordPath](const http::ResponseHead& head,
                                                          std::int64_t& bound) {
    if (head.status == 206) {
      auto range = http::ParseContentRange(head.contentRange);
      const bool continues =
          a.kept > 0 && range && range->first == a.kept && range->last == a.record->length - 1 &&
          range->complete == a.record->length &&
          (!head.contentLength || *head.contentLength == a.record->length - a.kept);
      if (!continues) throw StartOver{};
      a.expected = a.record->length;
      a.resumed = true;
      if (maxBodySize > 0) {
        if (a.kept >= maxBodySize) throw http::BodyTooLarge();
        bound = maxBodySize - a.kept;
      }
      return;
    }
    // Any other success carries the whole body: what the partial and its record held goes.
    if (a.recordWritten) {
      platform::RemoveFile(recordPath);
      a.recordWritten = false;
    }
    if (a.kept > 0) {
      a.partial = platform::File();
      platform::RemoveFile(partialPath);
      a.partial = platform::File::CreateNew(partialPath);
      a.kept = 0;
    }
    a.expected = head.chunked ? 0 : head.contentLength.value_or(0);
    a.record.reset();
    auto validator = http::ResumeValidator(head);
    if (validator && !head.chunked && head.contentLength && *head.contentLength > 0) {
      a.record = http::ResumeRecord{a.url, *validator, *head.contentLength};
      if (*head.contentLength >= kRecordAtHeadFrom) {
        WriteResumeRecord(recordPath, *a.record);
        a.recordWritten = true;
      }
    }
  };

  limits.deadline = owner->Deadline;
  a.transfer.emplace(slot.easy, std::move(hooks), maxBodySize);
  a.transfer->Prepare(a.url, a.headers, limits, owner->CaFile);
  slot.attempt = std::move(attempt);
  slot.done = false;
  slot.code = CURLE_OK;
  ++slot.result.attempts;
  if (curl_multi_add_handle(multi, slot.easy) != CURLM_OK) throw std::bad_alloc();
  slot.attempt->inMulti = true;
}

void DownloadPool::Impl::Begin(Slot& slot, const Events& events) {
  slot.result = DownloadResult{};
  slot.result.id = slot.job->id;
  slot.retries = 0;
  slot.pauseUntil.reset();
  if (events.started) events.started(*slot.job);
  StartAttemptOrFinish(slot, events);
}

void DownloadPool::Impl::StartAttemptOrFinish(Slot& slot, const Events& events) {
  try {
    StartAttempt(slot);
  } catch (const HttpError&) {
    Finish(slot, std::current_exception(), events);
  } catch (const platform::SystemError&) {
    Finish(slot, std::current_exception(), events);
  }
}

void DownloadPool::Impl::Finish(Slot& slot, std::exception_ptr error, const Events& events) {
  Drop(slot);
  slot.pauseUntil.reset();
  slot.result.error = std::move(error);
  DownloadJob job = std::move(*slot.job);
  slot.job.reset();
  DownloadResult result = slot.result;
  if (events.finished) events.finished(job, result);
}

void DownloadPool::Impl::EndAttempt(Slot& slot, bool aborted, const Events& events) {
  Attempt& a = *slot.attempt;
  curl_multi_remove_handle(multi, slot.easy);
  a.inMulti = false;
  http::Transfer& transfer = *a.transfer;
  std::exception_ptr error = transfer.TransportFailure(slot.code, aborted, a.https);
  if (!error) error = transfer.ResponseFailure();
  slot.result.bytesReceived += a.written;
  if (a.resumed) slot.result.resumedFrom = a.kept;
  const bool askedForRest = a.askedForRest;
  const DownloadJob& job = *slot.job;

  if (!error) {
    try {
      a.partial.Close();
      if (a.recordWritten) platform::RemoveFile(ResumeRecordPath(job.path));
      platform::ReplaceFile(PartialPath(job.path), job.path);
    } catch (const platform::SystemError&) {
      error = std::current_exception();
    }
    Finish(slot, error, events);
    return;
  }
  if (a.record && !a.recordWritten && a.written > 0) {
    // A failure part-way: the next attempt asks only for the rest.
    try {
      WriteResumeRecord(ResumeRecordPath(job.path), *a.record);
    } catch (const platform::SystemError&) {
      // Without it the next attempt starts over; that is all.
    }
  }
  slot.attempt.reset();
  if (!aborted && askedForRest && (IsStartOver(error) || IsRangeNotSatisfiable(error))) {
    // Not a retry: the partial goes and the whole body is asked for at once.
    platform::RemoveFile(ResumeRecordPath(job.path));
    platform::RemoveFile(PartialPath(job.path));
    StartAttemptOrFinish(slot, events);
    return;
  }
  if (IsStartOver(error)) {
    // A 206 to a request that asked for no range.
    error = std::make_exception_ptr(HttpError(Kind::Protocol, transfer.head().statusLine, 206));
  }
  if (!aborted && !abort && slot.retries < kRetries && Retryable(error)) {
    std::chrono::milliseconds pause{0};
    if (!pauses.empty())
      pause = pauses[std::min(static_cast<std::size_t>(slot.retries), pauses.size() - 1)];
    ++slot.retries;
    slot.result.error = error;
    slot.pauseUntil = Clock::now() + pause;
    return;
  }
  Finish(slot, error, events);
}

void DownloadPool::Impl::ReportProgress(const Events& events) {
  std::int64_t received = 0;
  std::int64_t expected = 0;
  bool any = false;
  for (const Slot& slot : slots) {
    if (!slot.attempt) continue;
    any = true;
    received += slot.attempt->kept + slot.attempt->written;
    expected += slot.attempt->expected;
  }
  if (!any) return;
  std::pair<std::int64_t, std::int64_t> now{received, expected};
  if (lastProgress == now) return;
  lastProgress = now;
  if (events.progress) events.progress(received, expected);
}

void DownloadPool::Impl::Turn(const Events& events, bool& noMore) {
  if (events.service) events.service();
  while (!noMore && !abort) {
    auto free = std::find_if(slots.begin(), slots.end(), [](const Slot& s) { return !s.job; });
    if (free == slots.end()) break;
    Next next = events.next ? events.next() : Next{NoMore{}};
    if (auto* job = std::get_if<DownloadJob>(&next)) {
      free->job = std::move(*job);
      Begin(*free, events);
    } else if (std::holds_alternative<NoMore>(next)) {
      noMore = true;
    } else {
      break;
    }
  }
}

void DownloadPool::Impl::Run(const Events& events) {
  bool noMore = false;
  for (;;) {
    if (abort) break;
    Turn(events, noMore);
    if (abort) break;
    const bool busy = std::any_of(slots.begin(), slots.end(), [](const Slot& s) { return s.job; });
    if (noMore && !busy) return;

    int running = 0;
    for (Slot& slot : slots)
      if (slot.attempt) slot.attempt->transfer->TakeProgressed();
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      for (Slot& slot : slots) {
        if (slot.easy == msg->easy_handle) {
          slot.done = true;
          slot.code = msg->data.result;
        }
      }
    }
    const auto now = Clock::now();
    // Nothing else needs a turn: libcurl's own timers bound the wait, and so do Wakeup,
    // Disconnect, the idle and overall limits and the pauses.
    auto waitFor = std::chrono::milliseconds(10000);
    bool progressed = false;
    bool ended = false;
    for (Slot& slot : slots) {
      if (slot.attempt) {
        http::Transfer& transfer = *slot.attempt->transfer;
        transfer.Flush();
        if (transfer.TakeProgressed()) progressed = true;
        if (slot.done || transfer.Stopped() || !transfer.CheckTime(now, waitFor)) {
          EndAttempt(slot, false, events);
          ended = true;
        }
      } else if (slot.pauseUntil) {
        if (now >= *slot.pauseUntil) {
          slot.pauseUntil.reset();
          StartAttemptOrFinish(slot, events);
          ended = true;
        } else {
          waitFor = std::min(waitFor,
                             std::chrono::ceil<std::chrono::milliseconds>(*slot.pauseUntil - now));
        }
      }
    }
    ReportProgress(events);
    // After a read there is usually more waiting; polling first would only cost a call.
    if (!progressed && !ended && !abort)
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(waitFor.count()), nullptr);
  }
  // Disconnect: every job in flight or pausing ends as a closed connection, its partial kept.
  for (Slot& slot : slots) {
    if (!slot.job) continue;
    if (slot.attempt) {
      EndAttempt(slot, true, events);
    } else {
      Finish(slot, std::make_exception_ptr(http::ConnectionClosed()), events);
    }
  }
}

DownloadPool::DownloadPool(int connections)
    : impl_(std::make_unique<Impl>(std::clamp(connections, 1, kMaxConnections))) {
  impl_->owner = this;
  UserAgent = HttpClient::kDefaultUserAgent;
  if (const char* ca = std::getenv("KESTRUNE_CA_FILE")) CaFile = ca;
}

DownloadPool::~DownloadPool() = default;

void DownloadPool::Run(const Events& events) {
  Impl& impl = *impl_;
  impl.lastProgress.reset();
  try {
    impl.Run(events);
  } catch (...) {
    for (Impl::Slot& slot : impl.slots) {
      impl.Drop(slot);
      slot.job.reset();
      slot.pauseUntil.reset();
    }
    throw;
  }
  std::lock_guard lock(impl.mutex);
  if (impl.abort.exchange(false)) {
    // The connections kept for the next jobs close too.
    curl_multi_cleanup(impl.multi);
    impl.multi = Impl::NewMulti(static_cast<int>(impl.slots.size()));
  }
}

void DownloadPool::Disconnect() {
  std::lock_guard lock(impl_->mutex);
  impl_->abort = true;
  curl_multi_wakeup(impl_->multi);
}

void DownloadPool::Wakeup() {
  std::lock_guard lock(impl_->mutex);
  curl_multi_wakeup(impl_->multi);
}

void DownloadPool::SetRetryPausesForTest(std::vector<std::chrono::milliseconds> pauses) {
  impl_->pauses = std::move(pauses);
}

void DownloadPool::SetTimeoutsForTest(std::chrono::milliseconds connect,
                                      std::chrono::milliseconds idleRead) {
  impl_->limits.connect = connect;
  impl_->limits.idleRead = idleRead;
}

}  // namespace kestrune
