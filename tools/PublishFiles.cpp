#include "PublishFiles.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "Publisher.h"

namespace kestrune {

namespace fs = std::filesystem;

std::string U8(const fs::path& path) {
  const std::u8string s = path.u8string();
  return {s.begin(), s.end()};
}

std::string GenericU8(const fs::path& path) {
  const std::u8string s = path.generic_u8string();
  return {s.begin(), s.end()};
}

fs::path PathOfU8(const std::string& text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

fs::path WithSuffix(const fs::path& path, const char* suffix) {
  fs::path with = path;
  with += suffix;
  return with;
}

std::string Quoted(const fs::path& path) {
  return "\"" + U8(path) + "\"";
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Holds(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && fs::file_size(path, ec) == bytes.size() &&
         ReadText(path) == bytes;
}

namespace {

// Writes `bytes` into the part file of `path`; with `ownerOnly` its mode is set while it is
// still empty, so the bytes are never readable by others.
fs::path WritePart(const fs::path& path, const std::string& bytes, bool ownerOnly) {
  const fs::path part = WithSuffix(path, kPartSuffix);
  std::error_code ec;
  std::ofstream out(part, std::ios::binary | std::ios::trunc);
  if (out && ownerOnly) {
    fs::permissions(part, fs::perms::owner_read | fs::perms::owner_write, ec);
    if (ec) out.setstate(std::ios::failbit);
  }
  if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    fs::remove(part, ec);
    throw PublishError(PublishError::Kind::Failed, "cannot write " + Quoted(path));
  }
  return part;
}

}  // namespace

bool WriteIfChanged(const fs::path& path, const std::string& bytes) {
  if (Holds(path, bytes)) return false;
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  const fs::path part = WritePart(path, bytes, false);
  fs::rename(part, path, ec);
  if (ec) {
    fs::remove(part, ec);
    throw PublishError(PublishError::Kind::Failed,
                       "cannot write " + Quoted(path) + ": " + ec.message());
  }
  return true;
}

bool WriteNewFile(const fs::path& path, const std::string& bytes, bool ownerOnly) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(path, ec))) return false;
  const fs::path part = WritePart(path, bytes, ownerOnly);
  // A link, unlike a rename, fails when the name was taken in the meantime.
  fs::create_hard_link(part, path, ec);
  const bool taken = ec == std::errc::file_exists;
  const std::error_code linkError = ec;
  fs::remove(part, ec);
  if (taken) return false;
  if (linkError) {
    throw PublishError(PublishError::Kind::Failed,
                       "cannot write " + Quoted(path) + ": " + linkError.message());
  }
  return true;
}

}  // namespace kestrune
