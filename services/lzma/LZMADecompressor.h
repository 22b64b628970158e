#pragma once
// Unpacking of downloaded .lzma (LZMA-alone) files into game files.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace kestrune {

// Every failure of DecompressFile. what() is the message the patch worker
// would show; kind() tells the cases apart without parsing it.
class LzmaError : public std::runtime_error {
 public:
  enum class Kind {
    TooShort,          // "input .lzma file is too short"
    StreamProperties,  // "Incorrect stream properties"
    StreamSize,        // "Can't read stream size"
    DataStream,        // "Error in data stream"
    OpenInput,         // "Cannot open file "<input>". <system text>"
    CreateOutput,      // "Cannot create file "<output>". <system text>"
    Read,              // "Cannot read file "<input>". <system text>"
    Write,             // "Cannot write file "<output>". <system text>"
    OutOfMemory,       // "Out of memory"
    Oversized,         // "Uncompressed size of "<output>" exceeds the expected <n> bytes"
    NoSpace,           // "Not enough free space for "<output>": <n> bytes needed, <m> free"
    Mismatch,          // "Unpacked data of "<output>" does not match its checksum"
  };

  LzmaError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// What the caller knows of an output beforehand, and how it vets the data. Every member may
// stay empty.
struct UnpackChecks {
  // The most bytes the output may have. A header announcing more fails at once (Oversized);
  // a stream without a size fails (Oversized) as soon as it passes it.
  std::optional<std::uint64_t> maxSize;
  // Sees every decoded block, in order, before it is written.
  std::function<void(const void* data, std::size_t size)> observe;
  // Asked once with the output's size when the whole stream has decoded, before the output
  // replaces outputPath; false fails with Mismatch.
  std::function<bool(std::uint64_t size)> accept;
};

// Decodes the .lzma file at inputPath into outputPath (both full native
// paths) and deletes the .lzma file. Throws LzmaError.
//
// The data goes to outputPath + "~kestrune.tmp" first and replaces
// outputPath only once the whole stream decoded and was written, so on any
// failure outputPath is as it was (or still missing) and no temporary file
// remains. The .lzma file is deleted after every outcome except OpenInput
// and CreateOutput raised before decoding began; a refused delete is ignored.
//
// A known uncompressed size ends decoding when it is reached (whatever
// follows is not read); an end marker before it, or input that ends before
// it, is DataStream. With the size not given, only the end marker ends it.
//
// Refused before any output is written: a dictionary above limits::kLzmaDictionary
// (StreamProperties, nothing allocated), and an announced output (the header's size, else
// checks.maxSize) larger than the free space beside outputPath (NoSpace). The output is on
// the disk (flushed) before it replaces outputPath.
void DecompressFile(const std::string& inputPath, const std::string& outputPath,
                    const UnpackChecks& checks = {});

}  // namespace kestrune
