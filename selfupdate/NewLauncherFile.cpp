#include "NewLauncherFile.h"

#include <algorithm>

namespace kestrune {

NewLauncherFile::NewLauncherFile(std::string target, std::int64_t maxSize)
    : target_(std::move(target)), partial_(target_ + ".part"), maxSize_(maxSize) {}

NewLauncherFile::~NewLauncherFile() {
  Discard();
}

bool NewLauncherFile::LooksLikeExecutable() const {
  return platform::LooksLikeExecutable(firstBytes_);
}

std::streamsize NewLauncherFile::xsputn(const char* bytes, std::streamsize count) {
  if (writeError_ || count <= 0) return 0;
  if (count > maxSize_ - size_) return 0;
  // An HTML error page or an empty one is known by its first bytes: nothing more of it is
  // worth taking.
  if (firstBytes_.size() == platform::kExecutableSignatureSize && !LooksLikeExecutable()) {
    return 0;
  }
  try {
    if (!created_) {
      created_ = true;  // from here on the part is ours to remove
      file_ = platform::File::Create(partial_);
    }
    file_.Write(bytes, static_cast<std::size_t>(count));
  } catch (...) {
    writeError_ = std::current_exception();
    return 0;
  }
  const auto missing = platform::kExecutableSignatureSize - firstBytes_.size();
  firstBytes_.append(bytes, std::min(missing, static_cast<std::size_t>(count)));
  sha256_.Update(bytes, static_cast<std::size_t>(count));
  size_ += count;
  return count;
}

NewLauncherFile::int_type NewLauncherFile::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
}

std::string NewLauncherFile::Contents() {
  std::string bytes;
  if (!created_) return bytes;
  bytes.resize(static_cast<std::size_t>(size_));
  file_.Seek(0);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t n = file_.Read(bytes.data() + done, bytes.size() - done);
    if (n == 0) throw platform::SystemError("The part ended before its size.", 0, "");
    done += n;
  }
  // Later bytes, if any, go on at the end.
  file_.Seek(static_cast<std::uint64_t>(size_));
  return bytes;
}

void NewLauncherFile::Commit() {
  try {
    if (!created_) {
      created_ = true;
      file_ = platform::File::Create(partial_);
    }
    // On disk before the rename: a crash must not leave the script an empty launcher.
    file_.Flush();
    file_.Close();
    platform::ReplaceFile(partial_, target_);
    created_ = false;
  } catch (...) {
    Discard();
    throw;
  }
}

void NewLauncherFile::Discard() noexcept {
  if (!created_) return;
  created_ = false;
  try {
    file_.Close();
  } catch (...) {
  }
  platform::RemoveFile(partial_);
}

}  // namespace kestrune
