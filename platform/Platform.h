#pragma once
// The thin layer of operating-system calls the rest of the program uses.
// Paths are UTF-8 and native (the caller converts "\" separators where needed).

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace platform {

// A failed system call. what() is the operation's own message; systemText()
// is the operating system's description of the cause.
class SystemError : public std::runtime_error {
 public:
  SystemError(const std::string& message, int code, std::string systemText)
      : std::runtime_error(message), code_(code), systemText_(std::move(systemText)) {}
  int code() const noexcept { return code_; }
  const std::string& systemText() const noexcept { return systemText_; }

 private:
  int code_;
  std::string systemText_;
};

// The operating system's text for the last failed call on this thread.
std::string LastErrorText();
int LastErrorCode();

// An open file. Move-only; the handle is closed on destruction.
class File {
 public:
  // Whether other handles may use the file while this one is open. Only
  // Windows enforces it; POSIX has no mandatory sharing modes.
  enum class Share { None, ReadWrite };

  // Opens an existing file for reading. Throws SystemError (message: the
  // system text) when it is missing, locked or not readable.
  static File OpenRead(const std::string& path, Share share);
  // Creates the file, or empties it if it exists, for reading and writing,
  // with no sharing. Throws SystemError (message: the system text).
  static File Create(const std::string& path);

  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool isOpen() const noexcept;
  // Reads up to count bytes; returns 0 only at the end of the file. Throws
  // SystemError on a read error.
  std::size_t Read(void* buffer, std::size_t count);
  // Writes all count bytes or throws SystemError (a full disk included).
  void Write(const void* buffer, std::size_t count);
  std::uint64_t Size();
  void Seek(std::uint64_t position);
  // Closes the handle; throws SystemError if the system reports a failure
  // (some file systems report delayed write errors only here).
  void Close();

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// Whether the path exists (file or directory).
bool PathExists(const std::string& path);
// Deletes a file; returns false (and changes nothing) when the system refuses.
bool RemoveFile(const std::string& path) noexcept;
// Moves `from` over `to`, replacing it atomically where the system allows,
// keeping the permission bits of the file it replaces. Throws SystemError.
void ReplaceFile(const std::string& from, const std::string& to);
// Throws SystemError when `path` exists but could not be replaced by a new
// file (a directory, or a file another program holds open without sharing).
void CheckReplaceable(const std::string& path);

}  // namespace platform
