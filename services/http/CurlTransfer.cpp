#include "http/CurlTransfer.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "Platform.h"
#include "http/BodyText.h"

namespace kestrune::http {
namespace {

using Kind = HttpError::Kind;

// The system's root certificates where libcurl's TLS cannot read them itself (empty elsewhere),
// read once for the process.
const std::string& SystemRoots() {
  static const std::string pem = platform::SystemRootCertificatesPem();
  return pem;
}

}  // namespace

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  // Here, so that a store that cannot be read fails the client's making, not a transfer.
  SystemRoots();
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

CURL* NewEasyHandle() {
  GlobalInit();
  CURL* easy = curl_easy_init();
  if (easy == nullptr) throw std::bad_alloc();
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
  return easy;
}

Transfer::Transfer(CURL* easy, Hooks hooks, std::int64_t maxBodySize)
    : easy_(easy), hooks_(std::move(hooks)), maxBodySize_(maxBodySize), started_(Clock::now()) {
  errorBuffer_[0] = '\0';
  received_.reserve(2 * kReceiveBlock);
}

Transfer::~Transfer() {
  // The handle outlives this transfer; it keeps no pointer into it.
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, nullptr);
}

void Transfer::Prepare(const std::string& url, const HeaderList& headers,
                       const TransferLimits& limits, const std::string& caFile) {
  idleRead_ = limits.idleRead;
  deadline_ = limits.deadline;
  curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect.count()));
  // libcurl averages the rate over its last few seconds and fails the transfer once that
  // stayed below the minimum for the whole window.
  curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(limits.minimumRate));
  curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(limits.minimumRateWindow.count()));
  if (!caFile.empty()) {
    // A blob would take the file's place.
    curl_easy_setopt(easy_, CURLOPT_CAINFO_BLOB, nullptr);
    curl_easy_setopt(easy_, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(easy_, CURLOPT_CAPATH, nullptr);
  } else if (const std::string& roots = SystemRoots(); !roots.empty()) {
    // The text lives as long as the process, so libcurl need not copy it for every transfer.
    curl_blob blob{const_cast<char*>(roots.data()), roots.size(), CURL_BLOB_NOCOPY};
    curl_easy_setopt(easy_, CURLOPT_CAINFO_BLOB, &blob);
  }
}

HttpError Transfer::ProtocolFailure() const {
  return HttpError(Kind::Protocol, head_.statusLine, head_.status,
                   BodyToText(head_.contentType, failedBody_));
}

// Keeps body bytes up to the bound; past it the transfer ends: a successful body as a failure
// of its own, a failed response's body with that response's failure.
void Transfer::Deliver(std::string_view piece) {
  std::size_t keep = limit_.Take(piece.size());
  (toDestination_ ? received_ : failedBody_).append(piece.substr(0, keep));
  if (keep < piece.size() && !pending_)
    pending_ = toDestination_ ? BodyTooLarge() : ProtocolFailure();
}

// libcurl passes on its reads in pieces of at most 16 KiB; this puts them together again into
// blocks.
void Transfer::Flush() {
  if (handlerError_) return;
  try {
    if (headDone_ && !workBegun_ && !endedByHead_ && head_.HasBody()) {
      workBegun_ = true;
      if (hooks_.begin) hooks_.begin(head_.chunked ? 0 : head_.contentLength.value_or(0));
    }
    if (!received_.empty()) {
      bool written = hooks_.sink(received_);
      received_.clear();
      if (!written) {
        pending_ = HttpError(Kind::StreamWrite, "Stream write failed.");
        return;
      }
    }
    if (unreported_ > 0) {
      std::int64_t bytes = unreported_;
      unreported_ = 0;
      if (hooks_.work) hooks_.work(bytes);
    }
  } catch (...) {
    handlerError_ = std::current_exception();
  }
}

bool Transfer::CheckTime(Clock::time_point now, std::chrono::milliseconds& waitFor) {
  if (deadline_.count() > 0) {
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(now - started_);
    if (spent >= deadline_) {
      timedOut_ = true;
      return false;
    }
    waitFor = std::min(waitFor, deadline_ - spent);
  }
  // The idle clock starts once the request is on its way; connecting has its own limit.
  if (!reading_) {
    curl_off_t pretransfer = 0;
    curl_easy_getinfo(easy_, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
    if (pretransfer > 0) {
      reading_ = true;
      lastActivity_ = now;
    }
  }
  if (reading_) {
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastActivity_);
    if (idle >= idleRead_) {
      timedOut_ = true;
      return false;
    }
    waitFor = std::min(waitFor, idleRead_ - idle);
  }
  return true;
}

std::size_t Transfer::OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* self = static_cast<Transfer*>(user);
  std::size_t length = size * count;
  std::string_view line(data, length);
  self->lastActivity_ = Clock::now();
  // Trailer lines of a chunked body may come here too; the head is complete by then.
  if (self->headDone_) return length;
  if (LineLengthWithoutEnd(line) > kMaxLineLength) {
    self->pending_ = HttpError(Kind::MaxLineLength, "Max line length exceeded.");
    return 0;
  }
  if (self->head_.AddLine(line) && !self->head_.Informational()) {
    const ResponseHead& head = self->head_;
    self->headDone_ = true;
    self->toDestination_ = head.status >= 200 && head.status <= 299;
    // Nothing was asked to switch to; what follows would be another protocol, read as a body
    // that never ends.
    if (head.status == 101) {
      self->endedByHead_ = true;
      self->pending_ = self->ProtocolFailure();
      return 0;
    }
    std::int64_t bound = self->toDestination_ ? self->maxBodySize_ : limits::kErrorBody;
    if (self->toDestination_ && self->hooks_.head) {
      try {
        self->hooks_.head(head, bound);
      } catch (...) {
        self->endedByHead_ = true;
        self->handlerError_ = std::current_exception();
        return 0;
      }
    }
    self->limit_ = BodyLimit(bound);
    // A failed response's body is kept up to its bound and cut there, not refused.
    if (self->toDestination_ && self->limit_.RefusesAnnounced(head)) {
      self->endedByHead_ = true;
      self->pending_ = BodyTooLarge();
      return 0;
    }
  }
  return length;
}

std::size_t Transfer::OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* self = static_cast<Transfer*>(user);
  std::size_t length = size * count;
  std::string_view raw(data, length);
  self->lastActivity_ = Clock::now();
  self->progressed_ = true;
  // One block goes on at most kReceiveBlock bytes at a time, however libcurl slices its reads.
  if (self->unreported_ + static_cast<std::int64_t>(length) >
      static_cast<std::int64_t>(kReceiveBlock)) {
    self->Flush();
    if (self->Stopped()) return 0;
  }
  if (self->head_.chunked) {
    self->chunks_.Feed(raw, [self](std::string_view piece) { self->Deliver(piece); });
    if (self->chunks_.Failed()) {
      self->pending_ = ConnectionClosed();
      return 0;
    }
  } else {
    self->Deliver(raw);
  }
  self->unreported_ += static_cast<std::int64_t>(length);
  return self->pending_ ? 0 : length;
}

HttpError Transfer::MapFailure(CURLcode code, bool https) const {
  long osErrno = 0;
  curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
  std::string detail = errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(code);
  auto transport = [&] {
    int number = static_cast<int>(osErrno);
    return TransportError(number, number != 0 ? platform::SocketErrorText(number) : detail);
  };
  switch (code) {
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return ConnectionClosed();
    case CURLE_OPERATION_TIMEDOUT:
      return TransportError(platform::SocketTimedOut(),
                            platform::SocketErrorText(platform::SocketTimedOut()));
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

std::exception_ptr Transfer::TransportFailure(CURLcode result, bool aborted, bool https) const {
  if (handlerError_) return handlerError_;
  if (pending_) return std::make_exception_ptr(*pending_);
  if (aborted) return std::make_exception_ptr(ConnectionClosed());
  if (timedOut_)
    return std::make_exception_ptr(TransportError(
        platform::SocketTimedOut(), platform::SocketErrorText(platform::SocketTimedOut())));
  if (result != CURLE_OK) return std::make_exception_ptr(MapFailure(result, https));
  return nullptr;
}

std::exception_ptr Transfer::ResponseFailure() const {
  // libcurl accepts a head cut off by the peer's close; the head was never complete.
  if (!headDone_) return std::make_exception_ptr(ConnectionClosed());
  if (!toDestination_) return std::make_exception_ptr(ProtocolFailure());
  return nullptr;
}

}  // namespace kestrune::http
