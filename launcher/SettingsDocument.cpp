#include "SettingsDocument.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "Limits.h"
#include "MainForm.h"
#include "http/DownloadPool.h"
#include "sign/SignedRelease.h"
#include "xml/LineEnds.h"
#include "xml/XmlDocument.h"

#ifndef KESTRUNE_DEFAULT_SETTINGS_HOST
#error "the build defines the settings host"
#endif

namespace kestrune {

std::string SettingsUrl() {
  const char* host = std::getenv("KESTRUNE_SETTINGS_HOST");
  if (host == nullptr || *host == '\0') host = KESTRUNE_DEFAULT_SETTINGS_HOST;
  return std::string("http://") + host + "/pts/Settings.xml";
}

void TFormUpdater::LoadSettings() {
  XmlDocument document;
  http = std::make_unique<HttpClient>();
  http->MaxBodySize = limits::kSettingsBody;
  http->Deadline = limits::kSettingsDeadline;
  try {
    std::string text;
    if (publicKey) {
      // Nothing of it is read before its signature, its age and its serial have passed.
      SignedText signedText =
          GetSignedDocument(*http, SettingsUrl(), limits::kSettingsBody, *publicKey);
      CheckSignatureAge(signedText.stamp, std::chrono::system_clock::now(), maxSignatureAgeDays);
      AcceptRelease(signedText.stamp, AcceptSerial(signedText.stamp.serial));
      text = std::move(signedText.text);
    } else {
      text = http->GetText(SettingsUrl());
    }
    // The text goes to the reader as it is: the 8-bit code page of this platform is UTF-8.
    document.Parse(NormalizeLineEnds(text));
    const XmlElement root = document.Root();
    // Each value is stored as soon as it is read, so a failure keeps those before it.
    version = root.FindElement("version").ValueInteger();
    patchlist = root.FindElement("patchlistURL").ValueText();
    criticalPatchlist = root.FindElement("criticalPatchlistURL").ValueText();
    patchListFolder = root.ChildText("patchListFolder", "");
    updaterURL = root.FindElement("updaterURL").ValueText();
    // Read with the URL, so that a later value that fails never leaves the URL without the
    // digest the new launcher must match.
    if (const XmlElement digest = root.FindElement("updaterSHA256")) {
      updaterSHA256 = digest.ValueText();
    }
    criticalVersion = root.FindElement("criticalVersion").ValueInteger();
    autoStartClient = root.FindElement("autoStartClient").ValueBool();
    doubleRunCheck = root.FindElement("doubleRunCheck").ValueBool();
    closeUpdaterAfterStartinGame = root.FindElement("closeUpdaterAfterStartinGame").ValueBool();
    // Optional and read last: launchers before it ignore it, and a value this one cannot read
    // keeps the build's number rather than fail a document they all accept.
    if (const XmlElement transfers = root.FindElement("parallelDownloads")) {
      try {
        parallelDownloads = std::clamp(transfers.ValueInteger(), 1, DownloadPool::kMaxConnections);
      } catch (const XmlError&) {
      }
    }
  } catch (...) {
    view_.ShowMessage(kSettingsErrorMessage);
  }
}

}  // namespace kestrune
