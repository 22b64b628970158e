#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "Open.h"
#include "Platform.h"
#include "PlatformText.h"

namespace platform {

namespace {

constexpr const char* kValuesFile = "values.reg";

[[noreturn]] void Throw(int code, const std::string& message) {
  throw SystemError(message, code, std::strerror(code));
}

[[noreturn]] void ThrowErrno() {
  const int code = errno;
  Throw(code, std::strerror(code));
}

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg != '\0') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return std::string(home) + "/.config";
  Throw(ENOENT, "Neither XDG_CONFIG_HOME nor HOME is set");
}

// The key's folder below the configuration home. Every key the program uses
// lives under "Software", which would only add an empty level there.
std::string KeyFolder(const std::string& keyPath) {
  std::string folder = ConfigHome();
  bool first = true;
  std::size_t start = 0;
  while (start <= keyPath.size()) {
    std::size_t end = keyPath.find_first_of("\\/", start);
    if (end == std::string::npos) end = keyPath.size();
    const std::string part = keyPath.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    // A key name is one folder; it must not climb out of the store.
    if (part == "." || part == "..") Throw(EINVAL, "Invalid key name: " + keyPath);
    const bool skip = first && SameTextIgnoringCase(part, "Software");
    first = false;
    if (!skip) folder += "/" + part;
  }
  return folder;
}

void CreateFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string level = folder.substr(0, slash);
    if (::mkdir(level.c_str(), 0700) != 0) {
      const int code = errno;
      struct stat st;
      if (::stat(level.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Throw(code == EEXIST ? ENOTDIR : code, "Cannot create the key folder " + level);
      }
    }
    if (slash == std::string::npos) break;
  }
}

// One line of values.reg. Lines that are not a value this program writes
// (hand edits, other value types) are kept as they are when the file is
// rewritten, so a rewrite never loses what it does not understand.
struct Line {
  std::string raw;
  bool isValue = false;
  std::string name;
  bool isNumber = false;
  std::string text;
  std::uint32_t number = 0;
};

// Reads a quoted string starting at line[pos] == '"'; returns the position
// after the closing quote, or npos when it is not a well-formed string.
std::size_t ParseQuoted(std::string_view line, std::size_t pos, std::string& out) {
  if (pos >= line.size() || line[pos] != '"') return std::string::npos;
  out.clear();
  for (++pos; pos < line.size(); ++pos) {
    const char c = line[pos];
    if (c == '"') return pos + 1;
    if (c == '\\') {
      if (++pos == line.size() || (line[pos] != '\\' && line[pos] != '"')) break;
      out += line[pos];
    } else {
      out += c;
    }
  }
  return std::string::npos;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Line ParseLine(std::string raw) {
  Line line;
  line.raw = std::move(raw);
  std::string_view view = line.raw;
  if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
  std::size_t pos = ParseQuoted(view, 0, line.name);
  if (pos == std::string::npos || pos >= view.size() || view[pos] != '=') return line;
  ++pos;
  constexpr std::string_view kDword = "dword:";
  if (view.substr(pos, kDword.size()) == kDword) {
    const std::string_view digits = view.substr(pos + kDword.size());
    if (digits.empty() || digits.size() > 8) return line;
    std::uint32_t number = 0;
    for (const char c : digits) {
      const int digit = HexDigit(c);
      if (digit < 0) return line;
      number = number << 4 | static_cast<std::uint32_t>(digit);
    }
    line.isNumber = true;
    line.number = number;
  } else {
    if (ParseQuoted(view, pos, line.text) != view.size()) return line;
  }
  line.isValue = true;
  return line;
}

// The lines of values.reg; none when it is missing. Throws SystemError when
// it exists but cannot be read, so that a rewrite never replaces values it
// could not see.
std::vector<Line> ReadLines(const std::string& folder) {
  const std::string path = folder + "/" + kValuesFile;
  const int fd = OpenDescriptor(path.c_str(), O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    ThrowErrno();
  }
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      ::close(fd);
      Throw(code, std::strerror(code));
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(ParseLine(bytes.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

const Line* Find(const std::vector<Line>& lines, const std::string& name) {
  for (const Line& line : lines) {
    if (line.isValue && SameTextIgnoringCase(line.name, name)) return &line;
  }
  return nullptr;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// A line break would end the value's line early and let the rest of the text
// be read as further values; a NUL cannot be stored in a registry string.
void CheckStorable(const std::string& text) {
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    Throw(EINVAL, "A value name or text cannot hold line breaks or NUL characters");
  }
}

// Serialises read-modify-write cycles of every process and thread on this
// key; flock locks belong to the open file description, so two opens in one
// process exclude each other too.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder)
      : fd_(OpenDescriptor(folder.c_str(), O_RDONLY | O_DIRECTORY)) {
    // Without the lock a rare concurrent write may be lost; not worth failing for.
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

void WriteLine(const std::string& folder, const std::string& name, const std::string& line) {
  FolderLock lock(folder);
  std::vector<Line> lines = ReadLines(folder);
  std::string bytes;
  bool written = false;
  for (const Line& old : lines) {
    if (old.isValue && SameTextIgnoringCase(old.name, name)) {
      // The first of the name takes the new line, in the new spelling.
      if (!written) bytes += line + '\n';
      written = true;
    } else {
      bytes += old.raw + '\n';
    }
  }
  if (!written) bytes += line + '\n';

  // Readers only ever see the old file or the new one, and a crash after the
  // rename cannot leave an empty one.
  ReplaceFileContents(folder + "/" + kValuesFile, bytes);
}

}  // namespace

std::string UserKeyFolder(const std::string& path) {
  std::string folder = KeyFolder(path);
  CreateFolders(folder);
  return folder;
}

UserKey UserKey::OpenOrCreate(const std::string& path) {
  UserKey key;
  std::string folder = KeyFolder(path);
  CreateFolders(folder);
  key.folder_ = std::move(folder);
  return key;
}

UserKey::UserKey(UserKey&& other) noexcept : folder_(std::move(other.folder_)) {
  other.folder_.clear();
}

UserKey& UserKey::operator=(UserKey&& other) noexcept {
  if (this != &other) {
    folder_ = std::move(other.folder_);
    other.folder_.clear();
  }
  return *this;
}

UserKey::~UserKey() = default;

bool UserKey::isOpen() const noexcept {
  return !folder_.empty();
}

// Reads go to the file each time: another launcher may have written since.
std::optional<std::string> UserKey::ReadText(const std::string& name) const {
  if (!isOpen()) return std::nullopt;
  try {
    const std::vector<Line> lines = ReadLines(folder_);
    const Line* line = Find(lines, name);
    if (line == nullptr || line->isNumber) return std::nullopt;
    return line->text;
  } catch (const SystemError&) {
    return std::nullopt;
  }
}

std::optional<std::uint32_t> UserKey::ReadNumber(const std::string& name) const {
  if (!isOpen()) return std::nullopt;
  try {
    const std::vector<Line> lines = ReadLines(folder_);
    const Line* line = Find(lines, name);
    if (line == nullptr || !line->isNumber) return std::nullopt;
    return line->number;
  } catch (const SystemError&) {
    return std::nullopt;
  }
}

void UserKey::WriteText(const std::string& name, const std::string& value) {
  if (!isOpen()) Throw(EBADF, "The key is not open");
  CheckStorable(name);
  CheckStorable(value);
  WriteLine(folder_, name, Quote(name) + "=" + Quote(value));
}

void UserKey::WriteNumber(const std::string& name, std::uint32_t value) {
  if (!isOpen()) Throw(EBADF, "The key is not open");
  CheckStorable(name);
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(value));
  WriteLine(folder_, name, Quote(name) + "=dword:" + digits);
}

}  // namespace platform
