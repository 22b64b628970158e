#pragma once
// Binary deltas between two versions of a file: the new file compressed by libzstd with the
// old one as its reference (a prefix), one frame with the content size and a checksum.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "lzma/LZMADecompressor.h"

namespace platform {
class File;
class FileView;
}  // namespace platform

namespace kestrune {

// Every failure of MakeDelta and ApplyDelta; what() names the file.
class DeltaError : public std::runtime_error {
 public:
  enum class Kind {
    TooLarge,     // the frame's window, or old + new, beyond what libzstd takes here
    Corrupt,      // not one frame of ours, a wrong reference, a failed frame checksum
    OutOfMemory,  // libzstd could not allocate its window
    Io,           // reading, writing, mapping or replacing a file failed
    Oversized,    // more data than the caller allows
    NoSpace,      // the output does not fit beside the target
    Mismatch,     // the decoded data is not what the caller vouches for
  };
  DeltaError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// The most bytes an old and a new file may have together for a delta between them: the
// largest window of libzstd on this build (2 GiB on 64-bit systems).
std::uint64_t MaxDeltaSpan();

// The frame's window in log2 for a reference of `oldSize` and a file of `newSize` bytes.
int DeltaWindowLog(std::uint64_t oldSize, std::uint64_t newSize);

struct DeltaOptions {
  int level = 9;  // libzstd compression level
  // A delta passing this many bytes is abandoned (0: no bound).
  std::uint64_t giveUpAbove = 0;
};

// Writes to `out` the delta that turns `reference` into `source` (both whole-file views).
// Returns its size, or nullopt when it grew past options.giveUpAbove (`out` then holds a
// part). Throws DeltaError (TooLarge beyond MaxDeltaSpan).
std::optional<std::uint64_t> MakeDelta(const platform::FileView& reference,
                                       const platform::FileView& source, platform::File& out,
                                       const DeltaOptions& options = {});

// Applies the delta file at `deltaPath` to the file at `outputPath`, its reference, read
// through a memory map. As DecompressFile: the data goes to outputPath + "~kestrune.tmp",
// `checks` see it and accept it, and only then it replaces outputPath; on any failure
// outputPath is as it was and no temporary remains. The delta file is deleted in every case.
// A frame whose window needs more than MaxDeltaSpan, or more memory than the system gives,
// fails (TooLarge, OutOfMemory) before any output is written. Throws DeltaError.
void ApplyDelta(const std::string& deltaPath, const std::string& outputPath,
                const UnpackChecks& checks = {});

}  // namespace kestrune
