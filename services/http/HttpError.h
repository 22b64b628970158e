#pragma once
// The one failure type of the HTTP client: every failure carries its kind and a fixed message.

#include <stdexcept>
#include <string>

namespace kestrune {

class HttpError : public std::runtime_error {
 public:
  enum class Kind {
    Protocol,          // status outside 200..299; status() and body() are set
    Transport,         // connect, send, receive, reset, time-out, too slow; socketError() is set
    ConnectionClosed,  // peer closed early, or Disconnect() aborted the transfer
    MaxLineLength,     // a status or header line longer than the limit
    UnknownProtocol,   // no "://", or a scheme the client cannot speak
    Tls,               // TLS unavailable, handshake or certificate failure
    StreamWrite,       // the destination stream refused the body bytes
    MaxBodySize,       // the body announced or grew past the client's MaxBodySize
  };

  HttpError(Kind kind, const std::string& message, int status = 0, std::string body = {},
            int socketError = 0)
      : std::runtime_error(message),
        kind_(kind),
        status_(status),
        socketError_(socketError),
        body_(std::move(body)) {}

  Kind kind() const { return kind_; }
  // The response status for Kind::Protocol (-1 when the status line was unreadable), else 0.
  int status() const { return status_; }
  // The body of a failed response, decoded to UTF-8 text.
  const std::string& body() const { return body_; }
  // The OS error number for Kind::Transport, 0 when the failure has none.
  int socketError() const { return socketError_; }

 private:
  Kind kind_;
  int status_;
  int socketError_;
  std::string body_;
};

}  // namespace kestrune
