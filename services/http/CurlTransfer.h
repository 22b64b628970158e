#pragma once
// What every GET of ours does on a libcurl easy handle, whoever drives it: the options of the
// handle, the response head and body as they arrive (bounds, chunks, the 101 refusal, the
// idle and overall time limits) and the failure a finished transfer raises. HttpClient and
// DownloadPool both run their transfers through it, so that they fail alike.

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Limits.h"
#include "http/HttpClient.h"
#include "http/HttpError.h"
#include "http/HttpWire.h"

namespace kestrune::http {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kReceiveBlock = HttpClient::kReceiveBlock;
inline constexpr std::size_t kMaxLineLength = HttpClient::kMaxLineLength;

// curl_global_init once for the process, and the system's root certificates read once. Throws
// platform::SystemError when the root store cannot be read.
void GlobalInit();
bool TlsAvailable();
HttpError ConnectionClosed();
HttpError BodyTooLarge();
HttpError TransportError(int number, const std::string& description);

// Header values go out as ASCII: every character above U+007F becomes "?", and so does any
// control character, which could otherwise end the header early.
std::string AsciiHeaderValue(std::string_view value);

// The request headers of one transfer, freed with it.
struct HeaderList {
  curl_slist* list = nullptr;
  HeaderList() = default;
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  ~HeaderList() { curl_slist_free_all(list); }
  void Add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
};

// The limits of a transfer that tests may shorten.
struct TransferLimits {
  std::chrono::milliseconds connect = HttpClient::kConnectTimeout;
  // No byte for this long once the request is on its way.
  std::chrono::milliseconds idleRead = HttpClient::kIdleReadTimeout;
  std::int64_t minimumRate = limits::kMinimumRate;
  std::chrono::seconds minimumRateWindow = limits::kMinimumRateWindow;
  std::chrono::milliseconds deadline{0};  // the whole transfer; 0: no bound
};

// A fresh easy handle with the options every transfer of ours has. Throws std::bad_alloc.
CURL* NewEasyHandle();

// Everything one GET receives and decides. Made fresh for each GET, so that nothing of one
// reaches the next; libcurl's callbacks get it as their user pointer. Every hook runs on the
// thread that drives the multi handle; an exception from one ends the transfer and is raised
// again by Failure().
class Transfer {
 public:
  struct Hooks {
    // Takes the body bytes of a successful response; false is a failed write.
    std::function<bool(std::string_view)> sink;
    // The head of the final response is complete, before any of its body is handed on.
    // May refuse the response by throwing, or change the bound of a successful body.
    std::function<void(const ResponseHead&, std::int64_t& maxBodySize)> head;
    // The first block of a body that has one (successful or not) is about to go on, with its
    // announced length (0 when unknown).
    std::function<void(std::int64_t expected)> begin;
    // Raw body bytes (chunk framing included) gone on since the last call.
    std::function<void(std::int64_t bytes)> work;
  };

  Transfer(CURL* easy, Hooks hooks, std::int64_t maxBodySize);
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer();

  // Points the handle at this transfer and `url` (already normalized), with `headers`, the
  // limits, and the CA file when not empty. The handle forgets all of it again when the
  // Transfer goes.
  void Prepare(const std::string& url, const HeaderList& headers, const TransferLimits& limits,
               const std::string& caFile);

  // Hands the bytes received so far on; call after every curl_multi_perform. An exception of
  // a hook is kept for Failure().
  void Flush();
  // Whether the transfer must end now, before libcurl is done with it: a hook failed, a bound
  // was passed or the response was refused.
  bool Stopped() const { return pending_.has_value() || handlerError_; }
  // Checks the deadline and the idle limit; false (and the transfer timed out) once one is
  // passed. Otherwise lowers `waitFor` to the time left of either.
  bool CheckTime(Clock::time_point now, std::chrono::milliseconds& waitFor);
  // Whether libcurl passed bytes to this transfer since the last call.
  bool TakeProgressed() {
    bool p = progressed_;
    progressed_ = false;
    return p;
  }

  // The failure of the transfer part, in the order HttpClient has always raised them: a
  // hook's exception, a refusal or bound, an abort, the time-out, libcurl's own result. Null
  // when there is none. `result` is libcurl's, CURLE_OK when the transfer was stopped first.
  std::exception_ptr TransportFailure(CURLcode result, bool aborted, bool https) const;
  // The failure of the response: a head cut off, or a status outside 200..299. Null for a
  // complete successful head.
  std::exception_ptr ResponseFailure() const;

  // libcurl's callbacks, set by NewEasyHandle.
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user);
  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user);

  const ResponseHead& head() const { return head_; }
  bool headDone() const { return headDone_; }
  bool workBegun() const { return workBegun_; }
  // The failure that a response outside 200..299 raises, with the part of its body kept.
  HttpError ProtocolFailure() const;

 private:
  void Deliver(std::string_view piece);
  HttpError MapFailure(CURLcode code, bool https) const;

  CURL* easy_;
  Hooks hooks_;
  std::int64_t maxBodySize_;
  char errorBuffer_[CURL_ERROR_SIZE];
  ResponseHead head_;
  bool headDone_ = false;
  bool endedByHead_ = false;  // the head alone failed the GET: no body is read
  bool toDestination_ = false;
  ChunkedDecoder chunks_;
  BodyLimit limit_;
  std::string failedBody_;
  std::string received_;  // body bytes of the last read, not yet handed on
  std::int64_t unreported_ = 0;
  bool workBegun_ = false;
  bool progressed_ = false;
  bool timedOut_ = false;
  std::optional<HttpError> pending_;
  std::exception_ptr handlerError_;
  Clock::time_point started_;
  Clock::time_point lastActivity_;
  bool reading_ = false;
  std::chrono::milliseconds idleRead_{0};
  std::chrono::milliseconds deadline_{0};
};

}  // namespace kestrune::http
