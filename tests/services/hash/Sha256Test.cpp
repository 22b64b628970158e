// SHA-256 of texts and files, checked against the standard's own examples and sha256sum.

#include "hash/Sha256.h"

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace kestrune {
namespace {

TEST(Sha256, KnownDigestsOfTextsFedWholeOrInPieces) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  Sha256 pieces;
  for (char c : two) pieces.Update(&c, 1);
  EXPECT_EQ(pieces.HexDigest(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256, OfSeveralMegabytesAgreesWithSha256sum) {
  test::TempDir dir;
  const std::string path = dir.file("data.bin");
  const std::string bytes = test::Bytes(3 << 20, 5);
  test::WriteFile(path, bytes);
  EXPECT_EQ(Sha256Hex(bytes),
            test::CommandOutput("sha256sum " + test::HostPath(path)).substr(0, 64));
}

}  // namespace
}  // namespace kestrune
