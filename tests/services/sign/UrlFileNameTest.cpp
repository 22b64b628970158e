// The file name a signature must name, taken from the URL the document came from.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "sign/SignedRelease.h"

namespace kestrune {
namespace {

TEST(UrlFileName, TheLastPartOfThePathWithoutQueryOrFragment) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://h/pts/Settings.xml", "Settings.xml"},
      {"https://h:8080/a/b/patchlist.xml?x=1", "patchlist.xml"},
      {"http://h/KestruneUpdater.exe#top", "KestruneUpdater.exe"},
      {"http://h/files/", ""},
      {"http://h", ""},
      {"http://h?q=/x", ""},
  };
  for (const auto& [url, name] : cases) EXPECT_EQ(UrlFileName(url), name) << url;
}

}  // namespace
}  // namespace kestrune
