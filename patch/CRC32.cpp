#include "CRC32.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune {

namespace {

// One buffer per file; larger chunks than this gain nothing on a page-cached
// file and cost memory per concurrent checksum.
constexpr std::uint64_t kChunkSize = 16384;

std::atomic<std::uint64_t> filesSummed{0};

[[noreturn]] void ThrowEndedEarly() {
  throw platform::SystemError("File ended before its expected size", EIO, "unexpected end of file");
}

// Fills `buffer` with exactly `want` bytes of `file`.
void ReadExactly(platform::File& file, unsigned char* buffer, std::size_t want) {
  std::size_t got = 0;
  while (got < want) {
    const std::size_t n = file.Read(buffer + got, want - got);
    if (n == 0) ThrowEndedEarly();
    got += n;
  }
}

// The read of one buffer beside the sum of the other: a reader thread fills the buffers in
// turn while the caller sums the one filled before, so that copying from the page cache and
// summing overlap instead of adding up.
class OverlappedSum {
 public:
  OverlappedSum(platform::File& file, std::uint64_t size) : file_(file), remaining_(size) {
    for (Buffer& b : buffers_) b.bytes.resize(kOverlapBuffer);
    reader_ = std::jthread([this](std::stop_token stop) { Read(stop); });
  }
  ~OverlappedSum() {
    {
      // Under the lock, so that the reader cannot miss the request between its test and its wait.
      const std::lock_guard lock(mutex_);
      reader_.request_stop();
    }
    changed_.notify_all();
  }
  OverlappedSum(const OverlappedSum&) = delete;
  OverlappedSum& operator=(const OverlappedSum&) = delete;

  std::uint32_t Sum(std::uint64_t size) {
    std::uint32_t crcRegister = 0xFFFFFFFFu;
    for (std::uint64_t done = 0, turn = 0; done < size; ++turn) {
      Buffer& b = buffers_[turn % 2];
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return b.full || error_; });
        if (!b.full) std::rethrow_exception(error_);
      }
      crcRegister = CRC32Update(crcRegister, b.bytes.data(), b.length);
      done += b.length;
      {
        const std::lock_guard lock(mutex_);
        b.full = false;
      }
      changed_.notify_all();
    }
    return ~crcRegister;
  }

 private:
  // Large enough that a read costs little beside its copy, small enough for several to run
  // side by side.
  static constexpr std::size_t kOverlapBuffer = std::size_t{1} << 20;

  struct Buffer {
    std::vector<unsigned char> bytes;
    std::size_t length = 0;
    bool full = false;
  };

  void Read(std::stop_token stop) {
    platform::SetCurrentThreadName("kestrune-crcread");
    try {
      for (std::uint64_t turn = 0; remaining_ > 0; ++turn) {
        Buffer& b = buffers_[turn % 2];
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return !b.full || stop.stop_requested(); });
          if (stop.stop_requested()) return;
        }
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, b.bytes.size()));
        ReadExactly(file_, b.bytes.data(), want);
        remaining_ -= want;
        {
          const std::lock_guard lock(mutex_);
          b.length = want;
          b.full = true;
        }
        changed_.notify_all();
      }
    } catch (...) {
      {
        const std::lock_guard lock(mutex_);
        error_ = std::current_exception();
      }
      changed_.notify_all();
    }
  }

  platform::File& file_;
  std::uint64_t remaining_;  // the reader's own
  Buffer buffers_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  std::exception_ptr error_;
  std::jthread reader_;  // last: stopped and joined before the rest goes
};

// From this size on a second thread pays for itself: it costs tens of microseconds to start.
constexpr std::uint64_t kOverlapFrom = std::uint64_t{4} << 20;
// Below it one buffer of this size at most, read and summed in turn.
constexpr std::size_t kSmallFileBuffer = std::size_t{256} << 10;

}  // namespace

std::uint32_t CRC32Update(std::uint32_t crcRegister, const void* buffer, std::size_t length) {
  // libdeflate presets and complements internally; undo both so callers see
  // the raw register.
  return ~libdeflate_crc32(~crcRegister, buffer, length);
}

std::uint32_t CRC32Stream(platform::File& file, std::uint64_t byteCount) {
  if (byteCount == 0) {
    file.Seek(0);
    byteCount = file.Size();
  }
  std::uint32_t crcRegister = 0xFFFFFFFFu;
  std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min(byteCount, kChunkSize)));
  std::uint64_t remaining = byteCount;
  while (remaining > 0) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
    ReadExactly(file, buffer.data(), want);
    crcRegister = CRC32Update(crcRegister, buffer.data(), want);
    remaining -= want;
  }
  return ~crcRegister;
}

std::uint32_t CRC32WholeFile(platform::File& file) {
  filesSummed.fetch_add(1, std::memory_order_relaxed);
  file.Seek(0);
  const std::uint64_t size = file.Size();
  if (size >= kOverlapFrom) return OverlappedSum(file, size).Sum(size);
  // Kept per thread: a scan sums thousands of small files, and a fresh buffer is zeroed each time.
  thread_local std::vector<unsigned char> buffer;
  if (buffer.size() < kSmallFileBuffer) buffer.resize(kSmallFileBuffer);
  std::uint32_t crcRegister = 0xFFFFFFFFu;
  for (std::uint64_t remaining = size; remaining > 0;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kSmallFileBuffer));
    ReadExactly(file, buffer.data(), want);
    crcRegister = CRC32Update(crcRegister, buffer.data(), want);
    remaining -= want;
  }
  return ~crcRegister;
}

std::uint64_t CRC32FilesSummed() {
  return filesSummed.load(std::memory_order_relaxed);
}

std::string CRC32File(const std::string& path) {
  platform::File file;
  try {
    file = platform::File::OpenRead(path, platform::File::Share::None);
  } catch (const platform::SystemError& e) {
    throw platform::SystemError("Cannot open file \"" + path + "\". " + e.systemText(), e.code(),
                                e.systemText());
  }
  return CRC32Text(CRC32WholeFile(file));
}

std::string CRC32Text(std::uint32_t crc) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

}  // namespace kestrune
