#pragma once
// HTTP/1.1 GET client over libcurl: one connection kept between GETs, progress notifications,
// failures as HttpError, and an abort that may come from another thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "http/HttpError.h"

namespace kestrune {

class HttpClient {
 public:
  // Fixed limits of every transfer.
  static constexpr std::chrono::milliseconds kConnectTimeout{15000};
  static constexpr std::chrono::milliseconds kIdleReadTimeout{30000};  // no byte for this long
  static constexpr std::size_t kMaxLineLength = 16384;                 // status and header lines
  static constexpr std::size_t kReceiveBlock = 32768;                  // bytes per read at most
  static constexpr const char* kDefaultUserAgent = "Mozilla/3.0 (compatible; Indy Library)";
  static constexpr const char* kAccept =
      "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

  enum class WorkMode { Read, Write };
  using WorkBeginHandler = std::function<void(HttpClient&, WorkMode, std::int64_t expectedTotal)>;
  using WorkHandler = std::function<void(HttpClient&, WorkMode, std::int64_t runningCount)>;
  using WorkEndHandler = std::function<void(HttpClient&, WorkMode)>;

  // No connection is opened until the first GET.
  HttpClient();
  // Closes the connection.
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // GETs url and returns the body decoded to UTF-8 text. Throws HttpError on any failure.
  // The body is held in memory: set MaxBodySize first.
  std::string GetText(const std::string& url);

  // GETs url and writes the body to out block by block as it arrives, from out's current
  // position. On failure out keeps the bytes written so far; the body of a non-2xx response
  // never reaches it. A failing write to out is a failure (Kind::StreamWrite). Throws HttpError.
  void GetToStream(const std::string& url, std::ostream& out);

  // Closes the connection; the next GET reconnects. Safe from any thread: a GET running at the
  // time fails at once with Kind::ConnectionClosed. Between GETs, a Disconnect from the
  // client's user (the thread of the last GET, or the creator before the first) only closes
  // the connection. One from another thread is a Cancel that may have come just after the user
  // last looked at its termination flag: it is remembered, and the user's next GET fails at
  // once with Kind::ConnectionClosed, sending nothing; the one after runs normally. A Cancel
  // thus reaches no later run as long as each run has a client of its own, as the workers do.
  void Disconnect();

  // The most body bytes of a successful response that a GET may take (0: no bound). A larger
  // announced Content-Length fails at once with Kind::MaxBodySize, before the body is read; a
  // body that grows past it fails as soon as it does. Nothing past the bound reaches the
  // destination. Of a failed response the client keeps limits::kErrorBody bytes at most and
  // drops the connection past them; its failure stays Kind::Protocol.
  std::int64_t MaxBodySize = 0;
  // How long one GET may take in all, however steadily bytes arrive (0: no bound). Passing it
  // is a Kind::Transport failure (the socket time-out error), as is a transfer that stays below
  // limits::kMinimumRate over a whole limits::kMinimumRateWindow.
  std::chrono::milliseconds Deadline{0};

  // Sent as "User-Agent"; empty sends no such header.
  std::string UserAgent = kDefaultUserAgent;

  // Progress of the response body, called on the thread of the GET. WorkBegin gets the
  // announced length (0 when unknown), Work the bytes of this body so far, once per block.
  WorkBeginHandler WorkBegin;
  WorkHandler Work;
  WorkEndHandler WorkEnd;

  // File of trusted CA certificates for https; empty uses the system trust store. Defaults
  // to $KESTRUNE_CA_FILE when set, so that tests can trust a test CA.
  std::string CaFile;

  // Shorter limits than the fixed ones, for tests of stalls only.
  void SetTimeoutsForTest(std::chrono::milliseconds connect, std::chrono::milliseconds idleRead);
  // A different minimum rate and window, for tests of trickling servers only.
  void SetMinimumRateForTest(std::int64_t bytesPerSecond, std::chrono::seconds window);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune
