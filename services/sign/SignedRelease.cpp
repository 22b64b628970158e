#include "sign/SignedRelease.h"

#include <sstream>

#include "Limits.h"
#include "http/BodyText.h"
#include "http/HttpClient.h"
#include "sign/Minisign.h"

namespace kestrune {

std::string UrlFileName(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  const std::size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
  const std::size_t path = url.find('/');
  if (path == std::string_view::npos) return {};
  return std::string(url.substr(url.rfind('/') + 1));
}

minisign::ReleaseStamp VerifyRelease(std::string_view publicKey, std::string_view signature,
                                     std::string_view data, std::string_view fileName) {
  std::string comment;
  try {
    comment = minisign::Verify(minisign::ParsePublicKey(publicKey), signature, data);
  } catch (const minisign::SignatureError& e) {
    throw ReleaseRefused(ReleaseRefused::Kind::BadSignature, e.what());
  }
  const std::optional<minisign::ReleaseStamp> stamp = minisign::ParseReleaseStamp(comment);
  if (!stamp || stamp->file != fileName) {
    throw ReleaseRefused(ReleaseRefused::Kind::OtherFile,
                         "the signature is not for " + std::string(fileName));
  }
  return *stamp;
}

void CheckSignatureAge(const minisign::ReleaseStamp& stamp,
                       std::chrono::system_clock::time_point now, std::int32_t maxDays) {
  if (maxDays <= 0) return;
  const std::int64_t nowSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  // Compared as a difference of seconds, so that no stamp time can overflow it.
  if (stamp.time < nowSeconds && nowSeconds - stamp.time > std::int64_t{maxDays} * 86400) {
    throw ReleaseRefused(ReleaseRefused::Kind::TooOld,
                         "signed more than " + std::to_string(maxDays) + " days ago");
  }
}

void AcceptRelease(const minisign::ReleaseStamp& stamp, bool accepted) {
  if (!accepted) {
    throw ReleaseRefused(ReleaseRefused::Kind::Rollback,
                         "serial " + std::to_string(stamp.serial) + " is older than one accepted");
  }
}

std::string GetBytes(HttpClient& http, const std::string& url, std::int64_t maxBody) {
  std::ostringstream body;
  http.MaxBodySize = maxBody;
  http.GetToStream(url, body);
  return std::move(body).str();
}

SignedText GetSignedDocument(HttpClient& http, const std::string& url, std::int64_t maxBody,
                             std::string_view publicKey) {
  const std::string bytes = GetBytes(http, url, maxBody);
  const std::string signature = GetBytes(http, url + ".minisig", limits::kSignatureBody);
  SignedText signedText;
  signedText.stamp = VerifyRelease(publicKey, signature, bytes, UrlFileName(url));
  signedText.text = http::BodyToText("application/xml", bytes);
  return signedText;
}

}  // namespace kestrune
