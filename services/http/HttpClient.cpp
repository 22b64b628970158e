#include "http/HttpClient.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <ostream>
#include <string_view>
#include <thread>

#include "http/BodyText.h"
#include "http/CurlTransfer.h"
#include "http/HttpWire.h"

namespace kestrune {

struct HttpClient::Impl {
  using Sink = std::function<bool(std::string_view)>;

  explicit Impl(HttpClient& owner) : owner(owner) {
    easy = http::NewEasyHandle();
    multi = curl_multi_init();
    if (multi == nullptr) {
      curl_easy_cleanup(easy);
      throw std::bad_alloc();
    }
  }

  ~Impl() {
    curl_multi_cleanup(multi);
    curl_easy_cleanup(easy);
  }

  // Runs one GET; returns the head of the successful response or throws.
  http::ResponseHead Run(const std::string& url, Sink sink);

  void BeginWork(std::int64_t expected) {
    if (++workLevel == 1) {
      workCount = 0;
      if (owner.WorkBegin) owner.WorkBegin(owner, WorkMode::Read, expected);
    }
  }
  void DoWork(std::int64_t bytes) {
    if (workLevel < 1) return;
    workCount += bytes;
    if (owner.Work) owner.Work(owner, WorkMode::Read, workCount);
  }
  void EndWork() {
    if (workLevel == 1 && owner.WorkEnd) owner.WorkEnd(owner, WorkMode::Read);
    --workLevel;
  }

  HttpClient& owner;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  http::TransferLimits limits;
  int workLevel = 0;
  std::int64_t workCount = 0;

  // Guards busy, user and the swap of the multi handle; Disconnect may run on another thread.
  std::mutex mutex;
  bool busy = false;
  // The thread of the last GET (the creator's before the first): the client's user.
  std::thread::id user = std::this_thread::get_id();
  // Set by a Disconnect meant for the running GET or, from another thread, for the next one.
  std::atomic<bool> abort{false};
};

http::ResponseHead HttpClient::Impl::Run(const std::string& url, Sink destination) {
  {
    std::lock_guard lock(mutex);
    user = std::this_thread::get_id();
    // A Cancel that came after the caller's last look at its termination flag.
    if (abort.exchange(false)) throw http::ConnectionClosed();
  }
  std::string effective = http::NormalizeUrl(url);
  bool https = effective.compare(0, 8, "https://") == 0;
  if (https && !http::TlsAvailable())
    throw HttpError(HttpError::Kind::Tls, "Could not load SSL library.");

  {
    // A Disconnect from here on is this GET's: the loop below sees it before it connects.
    std::lock_guard lock(mutex);
    busy = true;
  }
  workLevel = 0;
  http::Transfer::Hooks hooks;
  hooks.sink = std::move(destination);
  hooks.begin = [this](std::int64_t expected) { BeginWork(expected); };
  hooks.work = [this](std::int64_t bytes) { DoWork(bytes); };
  http::HeaderList headers;
  headers.Add(std::string("Accept: ") + kAccept);
  std::string agent = http::AsciiHeaderValue(owner.UserAgent);
  if (!agent.empty()) headers.Add("User-Agent: " + agent);
  limits.deadline = owner.Deadline;
  http::Transfer transfer(easy, std::move(hooks), owner.MaxBodySize);
  transfer.Prepare(effective, headers, limits, owner.CaFile);

  curl_multi_add_handle(multi, easy);
  CURLcode result = CURLE_OK;
  bool aborted = false;
  for (;;) {
    if (abort) {
      aborted = true;
      break;
    }
    int running = 0;
    transfer.TakeProgressed();
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_OUT_OF_MEMORY;
      break;
    }
    transfer.Flush();
    if (transfer.Stopped()) break;
    if (running == 0) {
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) result = msg->data.result;
      break;
    }
    if (abort) {
      aborted = true;
      break;
    }
    auto waitFor = std::chrono::milliseconds(1000);
    if (!transfer.CheckTime(http::Clock::now(), waitFor)) break;
    // After a read there is usually more waiting; polling first would only cost a call.
    if (!transfer.TakeProgressed())
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(waitFor.count()), nullptr);
  }
  // Removing a transfer that has not finished also closes its connection.
  curl_multi_remove_handle(multi, easy);

  std::exception_ptr endError;
  if (workLevel > 0) {
    try {
      EndWork();
    } catch (...) {
      endError = std::current_exception();
    }
  }
  {
    std::lock_guard lock(mutex);
    busy = false;
    if (abort && !aborted) {
      // A Disconnect that came after the transfer ended still closes the connection.
      curl_multi_cleanup(multi);
      multi = curl_multi_init();
    }
    abort = false;
  }

  if (auto failure = transfer.TransportFailure(result, aborted, https))
    std::rethrow_exception(failure);
  if (endError) std::rethrow_exception(endError);
  if (auto failure = transfer.ResponseFailure()) std::rethrow_exception(failure);
  return transfer.head();
}

HttpClient::HttpClient() : impl_(std::make_unique<Impl>(*this)) {
  if (const char* ca = std::getenv("KESTRUNE_CA_FILE")) CaFile = ca;
}

HttpClient::~HttpClient() = default;

std::string HttpClient::GetText(const std::string& url) {
  std::string body;
  http::ResponseHead head = impl_->Run(url, [&body](std::string_view piece) {
    body.append(piece);
    return true;
  });
  return http::BodyToText(head.contentType, body);
}

void HttpClient::GetToStream(const std::string& url, std::ostream& out) {
  impl_->Run(url, [&out](std::string_view piece) {
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    return static_cast<bool>(out);
  });
}

void HttpClient::Disconnect() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->busy) {
    // The GET's own thread notices the flag and tears the transfer down.
    impl_->abort = true;
    curl_multi_wakeup(impl_->multi);
  } else {
    // Idle: the only open connection sits in the multi handle's cache.
    curl_multi_cleanup(impl_->multi);
    impl_->multi = curl_multi_init();
    // From another thread this is a Cancel racing the user's next GET, which it must stop.
    if (std::this_thread::get_id() != impl_->user) impl_->abort = true;
  }
}

void HttpClient::SetTimeoutsForTest(std::chrono::milliseconds connect,
                                    std::chrono::milliseconds idleRead) {
  impl_->limits.connect = connect;
  impl_->limits.idleRead = idleRead;
}

void HttpClient::SetMinimumRateForTest(std::int64_t bytesPerSecond, std::chrono::seconds window) {
  impl_->limits.minimumRate = bytesPerSecond;
  impl_->limits.minimumRateWindow = window;
}

}  // namespace kestrune
