#pragma once
// The body of a new launcher on its way to disk, as the stream the HTTP client writes to.

#include <cstdint>
#include <exception>
#include <streambuf>
#include <string>

#include "Platform.h"
#include "hash/Sha256.h"

namespace kestrune {

// Writes what arrives to `target` + ".part" (created with the first byte), hashing it and
// keeping its first bytes. A write that would take it past `maxSize` bytes, or that follows
// first bytes which are not a program of this system, is refused (the stream then fails).
// Commit() makes the part `target`; until then the destructor removes it.
class NewLauncherFile : public std::streambuf {
 public:
  NewLauncherFile(std::string target, std::int64_t maxSize);
  ~NewLauncherFile() override;
  NewLauncherFile(const NewLauncherFile&) = delete;
  NewLauncherFile& operator=(const NewLauncherFile&) = delete;

  // The error of the disk that ended the writing (the part could not be created or
  // written); null while the disk took every byte.
  std::exception_ptr writeError() const { return writeError_; }
  std::int64_t size() const { return size_; }
  // Whether the bytes so far begin as a program of this system (not when there are none).
  bool LooksLikeExecutable() const;
  // The SHA-256 of every byte so far, 64 lower-case hexadecimal digits. Call once.
  std::string HexDigest() { return sha256_.HexDigest(); }
  // Every byte so far, read back from the part. Throws platform::SystemError.
  std::string Contents();

  // Flushes the part to disk, closes it and renames it over the target. Throws
  // platform::SystemError; the part is then removed and the target left as it was.
  void Commit();
  // Removes the part, if any; the target is left as it was.
  void Discard() noexcept;

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize count) override;
  int_type overflow(int_type c) override;

 private:
  const std::string target_;
  const std::string partial_;
  const std::int64_t maxSize_;
  platform::File file_;
  bool created_ = false;
  std::int64_t size_ = 0;
  std::string firstBytes_;
  Sha256 sha256_;
  std::exception_ptr writeError_;
};

}  // namespace kestrune
