#pragma once
// Unpacking of downloaded .lzma (LZMA-alone) files into game files.

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
  };

  LzmaError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
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
void DecompressFile(const std::string& inputPath, const std::string& outputPath);

}  // namespace kestrune
