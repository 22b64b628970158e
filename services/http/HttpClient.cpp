#include "http/HttpClient.h"

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <ostream>
#include <string_view>
#include <thread>

#include "Limits.h"
#include "http/BodyText.h"
#include "http/HttpWire.h"

namespace kestrune {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = HttpError::Kind;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool TlsAvailable() {
  return (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_SSL) != 0;
}

HttpError ConnectionClosed() {
  return HttpError(Kind::ConnectionClosed, "Connection Closed Gracefully.");
}

HttpError BodyTooLarge() {
  return HttpError(Kind::MaxBodySize, "Max body size exceeded.");
}

HttpError TransportError(int number, const std::string& description) {
  return HttpError(Kind::Transport,
                   "Socket Error # " + std::to_string(number) + "\r\n" + description, 0, {},
                   number);
}

// Header values go out as ASCII: every character above U+007F becomes "?", and so does any
// control character, which could otherwise end the header early.
std::string AsciiHeaderValue(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    auto b = static_cast<unsigned char>(value[i]);
    if (b >= 0x80) {
      out += '?';
      while (i + 1 < value.size() && (static_cast<unsigned char>(value[i + 1]) & 0xC0) == 0x80) ++i;
    } else if (b < 0x20 || b == 0x7F) {
      out += '?';
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  void Add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
};

}  // namespace

struct HttpClient::Impl {
  using Sink = std::function<bool(std::string_view)>;

  // Everything one GET receives and decides. Made fresh for each GET, so that nothing of one
  // reaches the next; libcurl's callbacks get it as their user pointer.
  struct Transfer {
    Transfer(HttpClient& owner, Sink sink) : owner(owner), sink(std::move(sink)) {
      errorBuffer[0] = '\0';
      received.reserve(2 * kReceiveBlock);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user);
    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user);

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

    // The failure that a response outside 200..299 raises, with the part of its body kept.
    HttpError ProtocolFailure() const {
      return HttpError(Kind::Protocol, head.statusLine, head.status,
                       http::BodyToText(head.contentType, failedBody));
    }

    // Keeps body bytes up to the bound; past it the transfer ends: a successful body as a
    // failure of its own, a failed response's body with that response's failure.
    void Deliver(std::string_view piece) {
      std::size_t keep = limit.Take(piece.size());
      (toDestination ? received : failedBody).append(piece.substr(0, keep));
      if (keep < piece.size() && !pending)
        pending = toDestination ? BodyTooLarge() : ProtocolFailure();
    }

    // Hands the bytes received so far to the destination and the handlers. libcurl passes on
    // its reads in pieces of at most 16 KiB; this puts them together again into blocks.
    void Flush() {
      if (headDone && !workBegun && !endedByHead && head.HasBody()) {
        workBegun = true;
        BeginWork(head.chunked ? 0 : head.contentLength.value_or(0));
      }
      if (!received.empty()) {
        bool written = sink(received);
        received.clear();
        if (!written) {
          pending = HttpError(Kind::StreamWrite, "Stream write failed.");
          return;
        }
      }
      if (unreported > 0) {
        std::int64_t bytes = unreported;
        unreported = 0;
        DoWork(bytes);
      }
    }

    HttpClient& owner;
    Sink sink;
    char errorBuffer[CURL_ERROR_SIZE];
    http::ResponseHead head;
    bool headDone = false;
    bool endedByHead = false;  // the head alone failed the GET: no body is read
    bool toDestination = false;
    http::ChunkedDecoder chunks;
    http::BodyLimit limit;
    std::string failedBody;
    std::string received;  // body bytes of the last read, not yet handed on
    std::int64_t unreported = 0;
    bool workBegun = false;
    bool progressed = false;
    std::optional<HttpError> pending;
    std::exception_ptr handlerError;
    Clock::time_point lastActivity;
    int workLevel = 0;
    std::int64_t workCount = 0;
  };

  explicit Impl(HttpClient& owner) : owner(owner) {
    GlobalInit();
    easy = curl_easy_init();
    multi = curl_multi_init();
    if (easy == nullptr || multi == nullptr) throw std::bad_alloc();
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // An empty proxy also overrides the proxy environment variables.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kReceiveBlock));
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    // Chunked bodies arrive raw: the size lines count as received bytes for the progress.
    curl_easy_setopt(easy, CURLOPT_HTTP_TRANSFER_DECODING, 0L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");  // in-memory cookie store
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  }

  ~Impl() {
    curl_multi_cleanup(multi);
    curl_easy_cleanup(easy);
  }

  // Runs one GET; returns the head of the successful response or throws.
  http::ResponseHead Run(const std::string& url, Sink sink);

  HttpError MapFailure(CURLcode code, bool https, const Transfer& transfer);

  HttpClient& owner;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  std::chrono::milliseconds connectTimeout = kConnectTimeout;
  std::chrono::milliseconds idleTimeout = kIdleReadTimeout;
  std::int64_t minimumRate = limits::kMinimumRate;
  std::chrono::seconds minimumRateWindow = limits::kMinimumRateWindow;

  // Guards busy, user and the swap of the multi handle; Disconnect may run on another thread.
  std::mutex mutex;
  bool busy = false;
  // The thread of the last GET (the creator's before the first): the client's user.
  std::thread::id user = std::this_thread::get_id();
  // Set by a Disconnect meant for the running GET or, from another thread, for the next one.
  std::atomic<bool> abort{false};
};

std::size_t HttpClient::Impl::Transfer::OnHeader(char* data, std::size_t size, std::size_t count,
                                                 void* user) {
  auto* self = static_cast<Transfer*>(user);
  std::size_t length = size * count;
  std::string_view line(data, length);
  self->lastActivity = Clock::now();
  // Trailer lines of a chunked body may come here too; the head is complete by then.
  if (self->headDone) return length;
  if (http::LineLengthWithoutEnd(line) > kMaxLineLength) {
    self->pending = HttpError(Kind::MaxLineLength, "Max line length exceeded.");
    return 0;
  }
  if (self->head.AddLine(line) && !self->head.Informational()) {
    const http::ResponseHead& head = self->head;
    self->headDone = true;
    self->toDestination = head.status >= 200 && head.status <= 299;
    // Nothing was asked to switch to; what follows would be another protocol, read as a body
    // that never ends.
    if (head.status == 101) {
      self->endedByHead = true;
      self->pending = self->ProtocolFailure();
      return 0;
    }
    self->limit =
        http::BodyLimit(self->toDestination ? self->owner.MaxBodySize : limits::kErrorBody);
    // A failed response's body is kept up to its bound and cut there, not refused.
    if (self->toDestination && self->limit.RefusesAnnounced(head)) {
      self->endedByHead = true;
      self->pending = BodyTooLarge();
      return 0;
    }
  }
  return length;
}

std::size_t HttpClient::Impl::Transfer::OnBody(char* data, std::size_t size, std::size_t count,
                                               void* user) {
  auto* self = static_cast<Transfer*>(user);
  std::size_t length = size * count;
  std::string_view raw(data, length);
  self->lastActivity = Clock::now();
  self->progressed = true;
  // One block goes on at most kReceiveBlock bytes at a time, however libcurl slices its reads.
  if (self->unreported + static_cast<std::int64_t>(length) >
      static_cast<std::int64_t>(kReceiveBlock)) {
    try {
      self->Flush();
    } catch (...) {
      self->handlerError = std::current_exception();
      return 0;
    }
    if (self->pending) return 0;
  }
  if (self->head.chunked) {
    self->chunks.Feed(raw, [self](std::string_view piece) { self->Deliver(piece); });
    if (self->chunks.Failed()) {
      self->pending = ConnectionClosed();
      return 0;
    }
  } else {
    self->Deliver(raw);
  }
  self->unreported += static_cast<std::int64_t>(length);
  return self->pending ? 0 : length;
}

HttpError HttpClient::Impl::MapFailure(CURLcode code, bool https, const Transfer& transfer) {
  long osErrno = 0;
  curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
  std::string detail =
      transfer.errorBuffer[0] != '\0' ? transfer.errorBuffer : curl_easy_strerror(code);
  auto transport = [&] {
    int number = static_cast<int>(osErrno);
    return TransportError(number, number != 0 ? std::strerror(number) : detail);
  };
  switch (code) {
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return ConnectionClosed();
    case CURLE_OPERATION_TIMEDOUT:
      return TransportError(ETIMEDOUT, std::strerror(ETIMEDOUT));
    case CURLE_URL_MALFORMAT:
      return HttpError(Kind::UnknownProtocol, "Unknown Protocol");
    case CURLE_UNSUPPORTED_PROTOCOL:
      if (https && !TlsAvailable()) return HttpError(Kind::Tls, "Could not load SSL library.");
      // Reached only when a server answered with something that is not HTTP/1.x.
      return HttpError(Kind::Protocol, detail, -1);
    case CURLE_WEIRD_SERVER_REPLY:
      return HttpError(Kind::Protocol, detail, -1);
    case CURLE_OUT_OF_MEMORY:
      // libcurl's own limit on a header, far beyond ours.
      return HttpError(Kind::MaxLineLength, "Max line length exceeded.");
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_NOT_BUILT_IN:
      return HttpError(Kind::Tls, "Could not load SSL library.");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_USE_SSL_FAILED:
      return HttpError(Kind::Tls, detail);
    case CURLE_WRITE_ERROR:
      return HttpError(Kind::StreamWrite, "Stream write failed.");
    default:
      return transport();
  }
}

http::ResponseHead HttpClient::Impl::Run(const std::string& url, Sink destination) {
  const auto started = Clock::now();
  const std::chrono::milliseconds deadline = owner.Deadline;
  {
    std::lock_guard lock(mutex);
    user = std::this_thread::get_id();
    // A Cancel that came after the caller's last look at its termination flag.
    if (abort.exchange(false)) throw ConnectionClosed();
  }
  std::string effective = http::NormalizeUrl(url);
  bool https = effective.compare(0, 8, "https://") == 0;
  if (https && !TlsAvailable()) throw HttpError(Kind::Tls, "Could not load SSL library.");

  {
    // A Disconnect from here on is this GET's: the loop below sees it before it connects.
    std::lock_guard lock(mutex);
    busy = true;
  }
  Transfer transfer(owner, std::move(destination));

  HeaderList headers;
  headers.Add(std::string("Accept: ") + kAccept);
  std::string agent = AsciiHeaderValue(owner.UserAgent);
  if (!agent.empty()) headers.Add("User-Agent: " + agent);
  curl_easy_setopt(easy, CURLOPT_URL, effective.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout.count()));
  // libcurl averages the rate over its last few seconds and fails the transfer once that
  // stayed below the minimum for the whole window.
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(minimumRate));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(minimumRateWindow.count()));
  if (!owner.CaFile.empty()) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, owner.CaFile.c_str());
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
  }

  curl_multi_add_handle(multi, easy);
  CURLcode result = CURLE_OK;
  bool aborted = false;
  bool timedOut = false;
  bool reading = false;
  for (;;) {
    if (abort) {
      aborted = true;
      break;
    }
    int running = 0;
    transfer.progressed = false;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_OUT_OF_MEMORY;
      break;
    }
    try {
      transfer.Flush();
    } catch (...) {
      transfer.handlerError = std::current_exception();
      break;
    }
    if (transfer.pending) break;
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
    if (deadline.count() > 0) {
      auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
      if (spent >= deadline) {
        timedOut = true;
        break;
      }
      waitFor = std::min(waitFor, deadline - spent);
    }
    // The idle clock starts once the request is on its way; connecting has its own limit.
    if (!reading) {
      curl_off_t pretransfer = 0;
      curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
      if (pretransfer > 0) {
        reading = true;
        transfer.lastActivity = Clock::now();
      }
    }
    if (reading) {
      auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                        transfer.lastActivity);
      if (idle >= idleTimeout) {
        timedOut = true;
        break;
      }
      waitFor = std::min(waitFor, idleTimeout - idle);
    }
    // After a read there is usually more waiting; polling first would only cost a call.
    if (!transfer.progressed)
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(waitFor.count()), nullptr);
  }
  // Removing a transfer that has not finished also closes its connection.
  curl_multi_remove_handle(multi, easy);
  // The handle outlives this GET; it keeps no pointer into it.
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
  transfer.sink = nullptr;

  std::exception_ptr endError;
  if (transfer.workLevel > 0) {
    try {
      transfer.EndWork();
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

  if (transfer.handlerError) std::rethrow_exception(transfer.handlerError);
  if (transfer.pending) throw *transfer.pending;
  if (aborted) throw ConnectionClosed();
  if (timedOut) throw TransportError(ETIMEDOUT, std::strerror(ETIMEDOUT));
  if (result != CURLE_OK) throw MapFailure(result, https, transfer);
  if (endError) std::rethrow_exception(endError);
  // libcurl accepts a head cut off by the peer's close; the head was never complete.
  if (!transfer.headDone) throw ConnectionClosed();
  if (!transfer.toDestination) throw transfer.ProtocolFailure();
  return transfer.head;
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
  impl_->connectTimeout = connect;
  impl_->idleTimeout = idleRead;
}

void HttpClient::SetMinimumRateForTest(std::int64_t bytesPerSecond, std::chrono::seconds window) {
  impl_->minimumRate = bytesPerSecond;
  impl_->minimumRateWindow = window;
}

}  // namespace kestrune
