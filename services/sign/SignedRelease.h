#pragma once
// What a launcher with the publisher's key asks of a document before it reads or installs
// it: a minisign signature by that key, whose trusted comment names the document's own file
// and a release serial no lower than the highest one accepted before.

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "sign/ReleaseStamp.h"

namespace kestrune {

class HttpClient;

class ReleaseRefused : public std::runtime_error {
 public:
  enum class Kind {
    BadSignature,  // missing, malformed, by another key or not over these bytes
    OtherFile,     // the trusted comment is no stamp, or names another file
    Rollback,      // a lower serial than one accepted before
    TooOld,        // signed longer ago than the build allows
  };
  ReleaseRefused(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// The last "/"-separated part of the URL's path, without query or fragment:
// "http://h/pts/Settings.xml?x" gives "Settings.xml"; empty when the path ends in "/" or the
// URL has none.
std::string UrlFileName(std::string_view url);

// The stamp of `signature` (".minisig" text) over `data`, when it verifies against the public
// key line `publicKey` and names `fileName`. Throws ReleaseRefused (BadSignature, OtherFile);
// a malformed key refuses everything.
minisign::ReleaseStamp VerifyRelease(std::string_view publicKey, std::string_view signature,
                                     std::string_view data, std::string_view fileName);

// Throws ReleaseRefused(TooOld) when `stamp` was signed more than `maxDays` days before `now`;
// `maxDays` 0 or less allows any age.
void CheckSignatureAge(const minisign::ReleaseStamp& stamp,
                       std::chrono::system_clock::time_point now, std::int32_t maxDays);

// Throws ReleaseRefused(Rollback) unless `accepted`: what the launcher's AcceptSerial said of
// `stamp`'s serial.
void AcceptRelease(const minisign::ReleaseStamp& stamp, bool accepted);

// The body of a successful GET of `url`, as its bytes, at most `maxBody` bytes (the client's
// MaxBodySize is left at that). Throws HttpError.
std::string GetBytes(HttpClient& http, const std::string& url, std::int64_t maxBody);

// A signed XML document: GETs `url` (at most `maxBody` bytes), then url + ".minisig", and checks
// the signature for the URL's file name; its serial is the caller's to accept. Returns the document
// as UTF-8 text, decoded as its own bytes say (byte-order mark, XML declaration), never as a header
// that no signature covers. Throws HttpError or ReleaseRefused.
struct SignedText {
  std::string text;
  minisign::ReleaseStamp stamp;
};
SignedText GetSignedDocument(HttpClient& http, const std::string& url, std::int64_t maxBody,
                             std::string_view publicKey);

}  // namespace kestrune
