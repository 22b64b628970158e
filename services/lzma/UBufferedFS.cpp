#include "lzma/UBufferedFS.h"

#include <algorithm>
#include <cstring>

namespace kestrune {

namespace {

platform::File OpenFile(const std::string& fileName, TBufferedFS::OpenMode mode) {
  if (mode == TBufferedFS::OpenMode::Read) {
    return platform::File::OpenRead(fileName, platform::File::Share::ReadWrite);
  }
  return platform::File::Create(fileName);
}

}  // namespace

TBufferedFS::TBufferedFS(const std::string& fileName, OpenMode mode)
    : file(OpenFile(fileName, mode)), fileName(fileName) {}

TBufferedFS::~TBufferedFS() {
  try {
    Close();
  } catch (...) {
    // Nowhere to report it; Close() is the call that reports.
  }
}

std::size_t TBufferedFS::ReadFully(std::uint8_t* buffer, std::size_t count) {
  std::size_t total = 0;
  while (total < count) {
    const std::size_t n = file.Read(buffer + total, count - total);
    if (n == 0) break;
    total += n;
  }
  return total;
}

std::size_t TBufferedFS::Read(void* buffer, std::size_t count) {
  if (Mode == TBFSMode::BFMWrite) {
    Flush();
    Mode = TBFSMode::BFMRead;
  }
  auto* out = static_cast<std::uint8_t*>(buffer);
  const auto held = static_cast<std::size_t>(bytesinbuffer);
  if (count <= held) {
    std::memcpy(out, membuffer.data() + bufferpos, count);
    bufferpos += static_cast<std::int32_t>(count);
    bytesinbuffer -= static_cast<std::int32_t>(count);
    return count;
  }

  std::memcpy(out, membuffer.data() + bufferpos, held);
  bufferpos = 0;
  bytesinbuffer = 0;
  const std::size_t wanted = count - held;
  if (wanted >= static_cast<std::size_t>(BufferSize)) {
    return held + ReadFully(out + held, wanted);
  }
  const std::size_t got = ReadFully(membuffer.data(), membuffer.size());
  const std::size_t given = std::min(wanted, got);
  std::memcpy(out + held, membuffer.data(), given);
  bufferpos = static_cast<std::int32_t>(given);
  bytesinbuffer = static_cast<std::int32_t>(got - given);
  return held + given;
}

std::size_t TBufferedFS::Write(const void* buffer, std::size_t count) {
  if (Mode == TBFSMode::BFMRead) {
    // Read-ahead is of no use to a writer. Only a Create stream is writable,
    // and its reads always start at the end of what was written, so no
    // unread bytes are dropped here in practice.
    bytesinbuffer = 0;
    bufferpos = 0;
    Mode = TBFSMode::BFMWrite;
  }
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  const auto free = static_cast<std::size_t>(BufferSize - bytesinbuffer);
  if (count <= free) {
    std::memcpy(membuffer.data() + bufferpos, in, count);
    bufferdirty = bufferdirty || count > 0;
    bufferpos += static_cast<std::int32_t>(count);
    bytesinbuffer += static_cast<std::int32_t>(count);
    return count;
  }

  std::size_t done = 0;
  if (bytesinbuffer > 0) {
    std::memcpy(membuffer.data() + bufferpos, in, free);
    bufferpos = BufferSize;
    bytesinbuffer = BufferSize;
    bufferdirty = true;
    done = free;
  }
  Flush();
  const std::size_t rest = count - done;
  if (rest < static_cast<std::size_t>(BufferSize)) {
    std::memcpy(membuffer.data(), in + done, rest);
    bufferpos = static_cast<std::int32_t>(rest);
    bytesinbuffer = static_cast<std::int32_t>(rest);
    bufferdirty = rest > 0;
  } else {
    file.Write(in + done, rest);
  }
  return count;
}

void TBufferedFS::Flush() {
  // Read-ahead is not ours to drop: the file position is already past it.
  if (Mode == TBFSMode::BFMRead) return;
  if (!bufferdirty) {
    bytesinbuffer = 0;
    bufferpos = 0;
    return;
  }
  const auto length = static_cast<std::size_t>(bufferpos);
  // Reset first: after a refused write the bytes are gone, and the
  // destructor must not try to write them a second time.
  bufferdirty = false;
  bytesinbuffer = 0;
  bufferpos = 0;
  file.Write(membuffer.data(), length);
}

void TBufferedFS::FlushToDisk() {
  Flush();
  file.Flush();
}

void TBufferedFS::Close() {
  if (!file.isOpen()) return;
  try {
    Flush();
  } catch (...) {
    try {
      file.Close();
    } catch (...) {
      // The write failure is the one to report.
    }
    throw;
  }
  file.Close();
}

}  // namespace kestrune
