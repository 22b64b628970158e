#pragma once
// The thin layer of operating-system calls the rest of the program uses.
// Paths are UTF-8 and native (the caller converts "\" separators where needed).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
// windows.h, which libcurl's header brings too, renames ReplaceFile to ReplaceFileA by a macro in
// every file that sees it, callers of the call below included. Read here and the macro undone,
// it cannot come back; lean, so that winsock2.h may still follow.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#undef ReplaceFile
#endif

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

// What is enough to know a file unchanged since it was last summed: its size, its last
// modification in nanoseconds since 1970, and its identity (device and inode on POSIX; the
// volume serial number and file index on Windows).
struct FileStamp {
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool operator==(const FileStamp&) const = default;
};

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
  // Creates a file that must not exist yet (not even as a link), for reading and writing.
  // Throws SystemError (message: the system text).
  static File CreateNew(const std::string& path);
  // Opens an existing regular file with a single name for reading and writing, without
  // following a link at `path` and without emptying it. Throws SystemError for a link, any
  // other kind of file, or a file with further (hard) links.
  static File OpenPlainForWrite(const std::string& path);

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
  // Forces what was written to the disk (fsync / FlushFileBuffers), so that a rename that
  // follows never leaves an empty or partial file after a power loss. Throws SystemError.
  void Flush();
  std::uint64_t Size();
  // The stamp of the open file (fstat / GetFileInformationByHandle). Throws SystemError.
  FileStamp Stamp();
  // Hands the file's first `size` bytes to `consume` in order, in pieces of at most 16 MiB,
  // straight from a read-only memory map (mmap / MapViewOfFile) of each piece in turn: no
  // copy, and no more than a piece mapped at once. False, with nothing consumed, when the
  // system will not map the file (read it instead). A file cut shorter meanwhile throws
  // SystemError rather than raising the signal an access past its end gives (SIGBUS), so
  // `consume` may be abandoned part-way: it must hold no lock and own nothing it has to free.
  bool ReadMapped(std::uint64_t size, const std::function<void(const void*, std::size_t)>& consume);
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
  friend class Folder;
  friend class FileView;
};

// A read-only memory map of a whole open file (mmap / MapViewOfFile): its bytes without a
// copy, paged in as they are read. Move-only; unmapped on destruction. The file must not be
// cut shorter while mapped (on POSIX an access past its new end raises SIGBUS): open it
// without sharing, or own the folder it is in.
class FileView {
 public:
  // Maps the file's current size; an empty file gives an empty view (data() null). Throws
  // SystemError when the system will not map it (address space, a file that is no regular
  // file).
  static FileView Of(File& file);

  FileView() = default;
  FileView(FileView&& other) noexcept;
  FileView& operator=(FileView&& other) noexcept;
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  ~FileView();

  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  void Release() noexcept;

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// What a name below a Folder is, examined without following a link there.
struct FolderEntry {
  enum class Kind { Missing, File, Directory, Link };
  // Anything that is neither a directory nor a link (a device, a socket) counts as a file; a
  // name that cannot be examined counts as missing.
  Kind kind = Kind::Missing;
  // As IsReadOnly: a regular file without the owner's write permission / the read-only mark.
  bool readOnly = false;
  FileStamp stamp;  // of a file only
};

// An open folder whose entries are reached one name at a time from its handle (openat and
// fstatat on POSIX), so that a name costs one lookup however deep the folder lies, and never
// passes a link: a name is one path component and a link there is never followed. Any thread
// may use one Folder at once. Move-only.
class Folder {
 public:
  // Opens the folder at `path`. Throws SystemError when it is missing or no folder.
  static Folder Open(const std::string& path);
  // Opens the subfolder `name`. Throws SystemError when it is missing, no folder, or a link
  // or (Windows) any reparse point.
  Folder OpenFolder(const std::string& name) const;
  // What `name` is; a link is reported as a link, not followed.
  FolderEntry Examine(const std::string& name) const;
  // Opens the existing file `name` for reading as File::OpenRead does with `share`, never
  // through a link at `name`. Throws SystemError (message: the system text), also for a
  // directory or a link.
  File OpenRead(const std::string& name, File::Share share) const;

  Folder() = default;
  Folder(Folder&& other) noexcept;
  Folder& operator=(Folder&& other) noexcept;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

 private:
#ifdef _WIN32
  std::string path_;  // the handle-relative calls of Windows are not used: names join the path
#else
  int fd_ = -1;
#endif
};

// Turns a path written with "\" separators (as patch lists write names) into a native path.
// The one place where that conversion happens.
std::string NativePath(std::string path);

// Deletes a file; returns false (and changes nothing) when the system refuses.
bool RemoveFile(const std::string& path) noexcept;
// Moves `from` over `to`, replacing it atomically where the system allows,
// keeping the permission bits of the file it replaces. Throws SystemError.
void ReplaceFile(const std::string& from, const std::string& to);
// Writes `bytes` as the whole file at `path`: into `path` + ".tmp-<process
// id>" beside it, flushed to disk, then renamed over `path` (ReplaceFile). A
// reader sees the old file or the new one, never a part of either. Throws
// SystemError after removing the temporary file; `path` is then unchanged.
void ReplaceFileContents(const std::string& path, std::string_view bytes);

// How many leading bytes LooksLikeExecutable needs at most.
inline constexpr std::size_t kExecutableSignatureSize = 4;
// Whether a file that begins with `firstBytes` (its first
// kExecutableSignatureSize bytes, or all of a shorter file) is a program this
// system runs: Windows: "MZ"; POSIX: an ELF header ("\x7fELF") or a "#!"
// line. An empty file is not. Pure.
bool LooksLikeExecutable(std::string_view firstBytes);

// Throws SystemError when `path` exists but could not be replaced by a new
// file (a directory, or a file another program holds open without sharing).
void CheckReplaceable(const std::string& path);

// The bytes this user may still write on the file system that holds the existing file `path`
// (statvfs; GetDiskFreeSpaceExW on its folder). Throws SystemError.
std::uint64_t FreeSpace(const std::string& path);

enum class PathKind { Missing, File, Directory };
// What is at `path` (GetFileAttributesW), following symbolic links. Anything
// that is not a directory (a device, a socket) counts as a file; a path that
// cannot be examined counts as missing.
PathKind GetPathKind(const std::string& path);
// Whether `path` is a file marked read-only (FILE_ATTRIBUTE_READONLY; on
// POSIX a regular file without the owner's write permission).
bool IsReadOnly(const std::string& path);
// Removes the read-only mark of an existing file. Throws SystemError.
void ClearReadOnly(const std::string& path);
// Whether `path` itself is a symbolic link or, on Windows, any reparse point (a junction, a
// mount point): lstat / FILE_ATTRIBUTE_REPARSE_POINT, the link itself examined, not followed.
// False when nothing is there or it cannot be examined.
bool IsLinkOrReparsePoint(const std::string& path);
// Creates the one folder `path`, whose parent must exist (mkdir / CreateDirectoryW). False when
// the system refuses, also when something of that name is already there.
bool CreateFolder(const std::string& path) noexcept;

// An exclusive lock on a file (flock on POSIX, LockFileEx on Windows), held until the object
// goes. It belongs to the open file, not to the thread or process: a second FileLock on the same
// file conflicts even within one process, and the system drops the lock when its holder ends,
// however it ends, so a lock file left behind never blocks anyone. Move-only.
class FileLock {
 public:
  // Opens `path`, creating it when missing (never through a link at `path`, and only a plain
  // file), and takes the lock, trying again until `wait` has passed. The result is not locked
  // when another holder kept it that long or the file could not be opened.
  static FileLock Acquire(const std::string& path, std::chrono::milliseconds wait);

  FileLock() = default;
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  bool isLocked() const noexcept;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// One key of the per-user store (the registry under HKEY_CURRENT_USER on
// Windows; on POSIX the folder ${XDG_CONFIG_HOME:-$HOME/.config}/<key path
// without its leading "Software", "\" or "/" as separators>/, its values in
// the file "values.reg" there, one value a line (LF) in registry-export
// syntax, rewritten atomically). Value names are matched without regard to
// case. Names and texts with CR, LF or NUL are refused. Move-only.
class UserKey {
 public:
  // Opens `path` (for example "Software\\KestruneUpdaterPts\\Settings") with
  // full access, creating it and every missing parent. Throws SystemError.
  static UserKey OpenOrCreate(const std::string& path);

  UserKey() = default;
  UserKey(UserKey&& other) noexcept;
  UserKey& operator=(UserKey&& other) noexcept;
  UserKey(const UserKey&) = delete;
  UserKey& operator=(const UserKey&) = delete;
  ~UserKey();

  bool isOpen() const noexcept;
  // A text value (REG_SZ); nothing when the value is missing or not text.
  std::optional<std::string> ReadText(const std::string& name) const;
  // A 32-bit number (REG_DWORD); nothing when missing or not a number.
  std::optional<std::uint32_t> ReadNumber(const std::string& name) const;
  // Store a value, replacing one of the same name (any case, any type).
  // Throws SystemError when the store refuses the write.
  void WriteText(const std::string& name, const std::string& value);
  void WriteNumber(const std::string& name, std::uint32_t value);

 private:
#ifdef _WIN32
  void* key_ = nullptr;  // HKEY
#else
  std::string folder_;
#endif
};

// The folder of the per-user store's key `path` (see UserKey), for files the program keeps of
// its own beside the key's values, created with every missing parent: on POSIX the key's own
// folder, on Windows %LOCALAPPDATA% + the key path without its leading "Software". Throws
// SystemError.
std::string UserKeyFolder(const std::string& path);

// The raw command line after the program name (GetCommandLineW without the
// program; on POSIX the arguments after the program name joined by single
// blanks).
std::string RawCommandLine();
// The file name, without folders, of the running executable.
std::string ExecutableFileName();
// The user's profile folder: USERPROFILE, else (POSIX only) HOME; empty if neither.
std::string UserProfileFolder();
// The process's current directory; empty if the system cannot tell.
std::string CurrentDirectory();

// Takes the process-wide named mutex `name` (CreateMutexW + WaitForSingleObject
// with timeout 0; on POSIX an flock on ${XDG_RUNTIME_DIR:-/tmp}/<name>.lock)
// and holds it until the process ends. Returns false when another process
// holds it; true when this process already does, and (POSIX) when the lock
// file cannot be used at all, so that a broken lock never prevents a start.
bool AcquireNamedMutex(const std::string& name);
// Ends the process at once with `code`, without running exit handlers; the
// standard output and error streams are flushed first.
[[noreturn]] void ExitProcessNow(int code);
// Lowers the calling thread to the lowest normal priority (THREAD_PRIORITY_LOWEST).
void SetCurrentThreadLowestPriority();
// Names the calling thread for debuggers and system tools; a failure changes nothing. POSIX
// systems keep the first 15 bytes.
void SetCurrentThreadName(const std::string& name);

// ShellExecuteW "open": an executable file is started detached, with
// `parameters` (split at blanks) and the current directory as its working
// directory; anything else (a URL, a document) is handed to the desktop's
// opener (xdg-open on POSIX), without the parameters. Quotes in `parameters`
// have no meaning. Returns false when nothing could be started.
bool ShellOpen(const std::string& target, const std::string& parameters);
// Starts the program at path `program` (not searched for) with `arguments`,
// detached from this process (it outlives it), without a window or standard
// handles, at idle priority when `idlePriority`. Returns false when it could
// not be started.
bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments,
                          bool idlePriority);

// Starts the self-update hand-over script without waiting for it, hidden and at idle priority,
// in the current directory. Windows: CreateProcessW with the batch file `batchScript` as the
// unquoted command line. POSIX, where nothing runs batch files: writes `shellScript` (a POSIX
// shell script that deletes "$0" at its end) beside it, the ".cmd" replaced by ".sh", and
// starts it with /bin/sh. Returns false when nothing could be started.
bool StartHandOverScript(const std::string& batchScript, const std::string& shellScript);

// The certificates the system trusts for TLS, as PEM text (on Windows the current user's and the
// machine's ROOT store, exported through the CryptoAPI), for handing to libcurl explicitly:
// Schannel under Wine checks no certificate without them, and the same is right on Windows. Empty
// on POSIX, where libcurl reads the system's store itself. Throws SystemError when the store cannot
// be read.
std::string SystemRootCertificatesPem();

// The system's description of the socket error `code` (an errno value on POSIX, a Winsock code
// such as WSAECONNREFUSED on Windows, as libcurl reports them).
std::string SocketErrorText(int code);
// The socket error of a connection or a read that timed out: ETIMEDOUT / WSAETIMEDOUT.
int SocketTimedOut();

// ---- Console: what the headless front end needs of a terminal. ----
// Whether the standard error stream is a terminal (isatty / GetConsoleMode).
bool StderrIsTerminal();
// From now on SIGINT (Ctrl+C) is only counted; the second one ends the process at once with
// exit code 130.
void CountInterrupts();
// How many interrupts CountInterrupts has counted; any thread.
int InterruptCount();
// Writes `prompt` to the controlling terminal and reads one line from it with echo off
// (not from the standard input, which may be a pipe); the line end is dropped. nullopt when
// the process has no terminal or the line cannot be read.
std::optional<std::string> ReadTerminalSecret(const std::string& prompt);
// Whether the process has a console to talk on: its standard output and error are open (a
// terminal, a pipe or a file), or it could attach to the console of the process that started
// it (Windows, a program without a console of its own), and then the standard streams that
// were closed write to and read from that console. POSIX: whether descriptors 1 and 2 are open.
bool AttachStartingConsole();
// ---- end of Console ----

}  // namespace platform
