#include "lzma/LZMADecompressor.h"

#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "Limits.h"
#include "Platform.h"
#include "lzma/UBufferedFS.h"

namespace kestrune {

namespace {

using Kind = LzmaError::Kind;

// Blocks of at least 64 KiB pass TBufferedFS straight through to the file.
// 256 KiB stays in the L2 cache between liblzma's copy and the write; 1 MiB
// and more measured several percent slower in system time.
constexpr std::size_t kChunk = std::size_t{256} << 10;

constexpr std::size_t kPropertiesSize = 5;
constexpr std::size_t kSizeFieldSize = 8;

std::string WithPath(const char* what, const std::string& path, const std::string& systemText) {
  return std::string(what) + " \"" + path + "\". " + systemText;
}

std::uint32_t LittleEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

std::uint64_t LittleEndian64(const std::uint8_t* p) {
  return std::uint64_t{LittleEndian32(p)} | std::uint64_t{LittleEndian32(p + 4)} << 32;
}

struct DecoderStream {
  lzma_stream strm = LZMA_STREAM_INIT;
  DecoderStream() = default;
  DecoderStream(const DecoderStream&) = delete;
  DecoderStream& operator=(const DecoderStream&) = delete;
  ~DecoderStream() { lzma_end(&strm); }
};

class Decoder {
 public:
  Decoder(TBufferedFS& in, TBufferedFS& out, const std::string& inputPath,
          const std::string& outputPath, const UnpackChecks& checks)
      : in_(in), out_(out), inputPath_(inputPath), outputPath_(outputPath), checks_(checks) {}

  void Run() {
    std::uint8_t header[kPropertiesSize + kSizeFieldSize];
    if (ReadInput(header, kPropertiesSize) < kPropertiesSize) {
      throw LzmaError(Kind::TooShort, "input .lzma file is too short");
    }
    const unsigned properties = header[0];
    const std::uint32_t dictionarySize = LittleEndian32(header + 1);
    const unsigned lc = properties % 9;
    const unsigned lp = properties / 9 % 5;
    const unsigned pb = properties / 45;
    // lc + lp above 4 is valid LZMA that liblzma cannot decode. A dictionary above the cap
    // would only be an allocation the sender chose.
    if (pb > 4 || dictionarySize > limits::kLzmaDictionary || lc + lp > LZMA_LCLP_MAX) {
      throw LzmaError(Kind::StreamProperties, "Incorrect stream properties");
    }
    if (ReadInput(header + kPropertiesSize, kSizeFieldSize) < kSizeFieldSize) {
      throw LzmaError(Kind::StreamSize, "Can't read stream size");
    }
    // Any size with the top bit set means "not given", not just all ones.
    const std::uint64_t sizeField = LittleEndian64(header + kPropertiesSize);
    const bool sizeKnown = (sizeField >> 63) == 0;
    if (sizeKnown && checks_.maxSize && sizeField > *checks_.maxSize) Oversized();
    CheckFreeSpace(sizeKnown ? std::optional<std::uint64_t>(sizeField) : checks_.maxSize);

    lzma_options_lzma options{};
    options.lc = lc;
    options.lp = lp;
    options.pb = pb;
    options.dict_size = dictionarySize;  // liblzma raises anything below 4096 to 4096
    // Plain LZMA1 decodes as if the size were unknown; the known size is
    // enforced here, so that reaching it stops decoding without looking at
    // what follows, as the publisher's files expect.
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    DecoderStream decoder;
    lzma_stream& strm = decoder.strm;
    switch (lzma_raw_decoder(&strm, filters)) {
      case LZMA_OK:
        break;
      case LZMA_MEM_ERROR:
        throw LzmaError(Kind::OutOfMemory, "Out of memory");
      default:
        throw LzmaError(Kind::StreamProperties, "Incorrect stream properties");
    }

    std::vector<std::uint8_t> inBuffer(kChunk);
    std::vector<std::uint8_t> outBuffer(kChunk);
    std::uint64_t remaining = sizeKnown ? sizeField : UINT64_MAX;
    bool inputEnded = false;
    const auto startOutput = [&] {
      strm.next_out = outBuffer.data();
      strm.avail_out = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, remaining));
    };
    startOutput();
    while (remaining > 0) {
      if (strm.avail_in == 0 && !inputEnded) {
        const std::size_t n = ReadInput(inBuffer.data(), kChunk);
        inputEnded = n < kChunk;
        strm.next_in = inBuffer.data();
        strm.avail_in = n;
      }
      const lzma_ret ret = lzma_code(&strm, inputEnded ? LZMA_FINISH : LZMA_RUN);
      const bool endMarker = ret == LZMA_STREAM_END;
      if (ret != LZMA_OK && !endMarker) Throw(ret);
      if (strm.avail_out == 0 || endMarker) {
        const auto produced = static_cast<std::size_t>(strm.next_out - outBuffer.data());
        total_ += produced;
        if (checks_.maxSize && total_ > *checks_.maxSize) Oversized();
        if (checks_.observe) checks_.observe(outBuffer.data(), produced);
        WriteOutput(outBuffer.data(), produced);
        if (sizeKnown) remaining -= produced;
        startOutput();
      }
      if (endMarker) {
        if (remaining > 0 && sizeKnown) {
          throw LzmaError(Kind::DataStream, "Error in data stream");
        }
        break;
      }
    }
    if (checks_.accept && !checks_.accept(total_)) {
      throw LzmaError(Kind::Mismatch,
                      "Unpacked data of \"" + outputPath_ + "\" does not match its checksum");
    }
  }

 private:
  [[noreturn]] void Oversized() const {
    throw LzmaError(Kind::Oversized, "Uncompressed size of \"" + outputPath_ +
                                         "\" exceeds the expected " +
                                         std::to_string(*checks_.maxSize) + " bytes");
  }

  // Before the first byte is written: a disk that cannot take the announced output fails now,
  // not once it is full. A file system that cannot tell is left to the writes.
  void CheckFreeSpace(std::optional<std::uint64_t> announced) const {
    if (!announced) return;
    std::uint64_t free = 0;
    try {
      free = platform::FreeSpace(out_.FileName());
    } catch (const platform::SystemError&) {
      return;
    }
    if (*announced > free) {
      throw LzmaError(Kind::NoSpace, "Not enough free space for \"" + outputPath_ +
                                         "\": " + std::to_string(*announced) + " bytes needed, " +
                                         std::to_string(free) + " free");
    }
  }

  [[noreturn]] static void Throw(lzma_ret ret) {
    if (ret == LZMA_MEM_ERROR) throw LzmaError(Kind::OutOfMemory, "Out of memory");
    // LZMA_DATA_ERROR: an invalid distance or an end marker where none may
    // be; LZMA_BUF_ERROR: the input ended before the data did.
    throw LzmaError(Kind::DataStream, "Error in data stream");
  }

  std::size_t ReadInput(std::uint8_t* buffer, std::size_t count) {
    try {
      return in_.Read(buffer, count);
    } catch (const platform::SystemError& e) {
      throw LzmaError(Kind::Read, WithPath("Cannot read file", inputPath_, e.systemText()));
    }
  }

  void WriteOutput(const std::uint8_t* buffer, std::size_t count) {
    try {
      out_.Write(buffer, count);
    } catch (const platform::SystemError& e) {
      throw LzmaError(Kind::Write, WithPath("Cannot write file", outputPath_, e.systemText()));
    }
  }

  TBufferedFS& in_;
  TBufferedFS& out_;
  const std::string& inputPath_;
  const std::string& outputPath_;
  const UnpackChecks& checks_;
  std::uint64_t total_ = 0;
};

}  // namespace

void DecompressFile(const std::string& inputPath, const std::string& outputPath,
                    const UnpackChecks& checks) {
  std::optional<TBufferedFS> in;
  try {
    in.emplace(inputPath, TBufferedFS::OpenMode::Read);
  } catch (const platform::SystemError& e) {
    throw LzmaError(Kind::OpenInput, WithPath("Cannot open file", inputPath, e.systemText()));
  }

  const std::string tempPath = outputPath + "~kestrune.tmp";
  std::optional<TBufferedFS> out;
  try {
    out.emplace(tempPath, TBufferedFS::OpenMode::Create);
    // Before decoding, so that a target we could never replace (a directory,
    // or a file another program holds) keeps its .lzma for the next run.
    platform::CheckReplaceable(outputPath);
  } catch (const platform::SystemError& e) {
    if (out) {
      out.reset();
      platform::RemoveFile(tempPath);
    }
    throw LzmaError(Kind::CreateOutput, WithPath("Cannot create file", outputPath, e.systemText()));
  }

  std::exception_ptr failure;
  try {
    Decoder(*in, *out, inputPath, outputPath, checks).Run();
    try {
      // On the disk before the rename: a crash must not leave an empty file in the target's
      // place.
      out->FlushToDisk();
      out->Close();
    } catch (const platform::SystemError& e) {
      throw LzmaError(Kind::Write, WithPath("Cannot write file", outputPath, e.systemText()));
    }
  } catch (const std::bad_alloc&) {
    failure = std::make_exception_ptr(LzmaError(Kind::OutOfMemory, "Out of memory"));
  } catch (...) {
    failure = std::current_exception();
  }
  out.reset();
  // The input must be closed before it can be deleted on Windows.
  in.reset();
  platform::RemoveFile(inputPath);

  if (!failure) {
    try {
      platform::ReplaceFile(tempPath, outputPath);
      return;
    } catch (const platform::SystemError& e) {
      failure = std::make_exception_ptr(LzmaError(
          Kind::CreateOutput, WithPath("Cannot create file", outputPath, e.systemText())));
    }
  }
  platform::RemoveFile(tempPath);
  std::rethrow_exception(failure);
}

}  // namespace kestrune
