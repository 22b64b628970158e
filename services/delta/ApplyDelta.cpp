#define ZSTD_STATIC_LINKING_ONLY  // the frame header and the window bounds
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "Platform.h"
#include "ZstdDelta.h"

namespace kestrune {

namespace {

using Kind = DeltaError::Kind;

struct FreeDCtx {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

void Check(std::size_t result, const std::string& path) {
  if (!ZSTD_isError(result)) return;
  Kind kind = Kind::Corrupt;
  switch (ZSTD_getErrorCode(result)) {
    case ZSTD_error_memory_allocation:
      kind = Kind::OutOfMemory;
      break;
    case ZSTD_error_frameParameter_windowTooLarge:
      kind = Kind::TooLarge;
      break;
    default:
      break;
  }
  throw DeltaError(kind, "the delta for " + Quoted(path) + " fails: " + ZSTD_getErrorName(result));
}

// What the frame header says, read without decoding anything.
ZSTD_frameHeader ReadHeader(platform::File& delta, const std::string& outputPath) {
  std::uint8_t head[ZSTD_FRAMEHEADERSIZE_MAX];
  std::size_t got = 0;
  for (std::size_t n; got < sizeof head && (n = delta.Read(head + got, sizeof head - got)) > 0;) {
    got += n;
  }
  delta.Seek(0);
  ZSTD_frameHeader header{};
  if (ZSTD_getFrameHeader(&header, head, got) != 0 || header.frameType != ZSTD_frame ||
      header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
    throw DeltaError(Kind::Corrupt, "the delta for " + Quoted(outputPath) + " is no delta");
  }
  if (header.windowSize > MaxDeltaSpan()) {
    throw DeltaError(Kind::TooLarge, "the delta for " + Quoted(outputPath) + " needs a window of " +
                                         std::to_string(header.windowSize) + " bytes");
  }
  return header;
}

// Decodes the whole of `delta` into `out` against `reference`; returns the bytes written.
std::uint64_t Decode(platform::File& delta, const platform::FileView& reference,
                     platform::File& out, const ZSTD_frameHeader& header,
                     const UnpackChecks& checks, const std::string& outputPath) {
  std::unique_ptr<ZSTD_DCtx, FreeDCtx> dctx(ZSTD_createDCtx());
  if (!dctx) throw DeltaError(Kind::OutOfMemory, "Out of memory");
  int windowLog = ZSTD_WINDOWLOG_LIMIT_DEFAULT;
  while (windowLog < ZSTD_WINDOWLOG_MAX && (std::uint64_t{1} << windowLog) < header.windowSize) {
    ++windowLog;
  }
  Check(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, windowLog), outputPath);
  Check(ZSTD_DCtx_refPrefix(dctx.get(), reference.data(), reference.size()), outputPath);

  std::vector<std::uint8_t> inBuffer(ZSTD_DStreamInSize());
  std::vector<std::uint8_t> outBuffer(ZSTD_DStreamOutSize());
  std::uint64_t total = 0;
  std::size_t left = 1;  // not yet at the frame's end
  for (;;) {
    const std::size_t n = delta.Read(inBuffer.data(), inBuffer.size());
    if (n == 0) break;
    // One frame and nothing after it.
    if (left == 0)
      throw DeltaError(Kind::Corrupt, "the delta for " + Quoted(outputPath) + " has trailing data");
    ZSTD_inBuffer in{inBuffer.data(), n, 0};
    while (in.pos < in.size) {
      ZSTD_outBuffer o{outBuffer.data(), outBuffer.size(), 0};
      left = ZSTD_decompressStream(dctx.get(), &o, &in);
      Check(left, outputPath);
      if (o.pos > 0) {
        total += o.pos;
        if (checks.maxSize && total > *checks.maxSize) {
          throw DeltaError(Kind::Oversized, "the delta for " + Quoted(outputPath) +
                                                " gives more than the expected " +
                                                std::to_string(*checks.maxSize) + " bytes");
        }
        if (checks.observe) checks.observe(outBuffer.data(), o.pos);
        out.Write(outBuffer.data(), o.pos);
      }
      if (left == 0 && in.pos < in.size) {
        throw DeltaError(Kind::Corrupt,
                         "the delta for " + Quoted(outputPath) + " has trailing data");
      }
    }
  }
  // Data held back inside the decoder still comes out without more input.
  while (left != 0) {
    ZSTD_inBuffer in{nullptr, 0, 0};
    ZSTD_outBuffer o{outBuffer.data(), outBuffer.size(), 0};
    left = ZSTD_decompressStream(dctx.get(), &o, &in);
    Check(left, outputPath);
    if (o.pos == 0 && left != 0) {
      throw DeltaError(Kind::Corrupt, "the delta for " + Quoted(outputPath) + " ends early");
    }
    total += o.pos;
    if (checks.maxSize && total > *checks.maxSize) {
      throw DeltaError(Kind::Oversized, "the delta for " + Quoted(outputPath) + " is too large");
    }
    if (checks.observe) checks.observe(outBuffer.data(), o.pos);
    out.Write(outBuffer.data(), o.pos);
  }
  return total;
}

}  // namespace

void ApplyDelta(const std::string& deltaPath, const std::string& outputPath,
                const UnpackChecks& checks) {
  const std::string tempPath = outputPath + "~kestrune.tmp";
  std::exception_ptr failure;
  std::uint64_t total = 0;
  try {
    try {
      platform::File delta = platform::File::OpenRead(deltaPath, platform::File::Share::ReadWrite);
      const ZSTD_frameHeader header = ReadHeader(delta, outputPath);
      if (checks.maxSize && header.frameContentSize > *checks.maxSize) {
        throw DeltaError(Kind::Oversized, "the delta for " + Quoted(outputPath) +
                                              " announces more than the expected bytes");
      }
      platform::CheckReplaceable(outputPath);
      if (platform::FreeSpace(outputPath) < header.frameContentSize) {
        throw DeltaError(Kind::NoSpace, "Not enough free space for " + Quoted(outputPath));
      }
      // Not shared: nothing may cut the reference while it is mapped.
      platform::File old = platform::File::OpenRead(outputPath, platform::File::Share::None);
      const platform::FileView reference = platform::FileView::Of(old);
      platform::File out = platform::File::Create(tempPath);
      total = Decode(delta, reference, out, header, checks, outputPath);
      // On the disk before the rename: a crash must not leave an empty file in the target's
      // place.
      out.Flush();
      out.Close();
    } catch (const platform::SystemError& error) {
      throw DeltaError(Kind::Io, "the delta for " + Quoted(outputPath) + ": " + error.what());
    } catch (const std::bad_alloc&) {
      throw DeltaError(Kind::OutOfMemory, "Out of memory");
    }
    if (checks.accept && !checks.accept(total)) {
      throw DeltaError(Kind::Mismatch,
                       "Patched data of " + Quoted(outputPath) + " does not match its checksum");
    }
  } catch (...) {
    failure = std::current_exception();
  }
  platform::RemoveFile(deltaPath);
  if (!failure) {
    try {
      platform::ReplaceFile(tempPath, outputPath);
      return;
    } catch (const platform::SystemError& error) {
      failure = std::make_exception_ptr(
          DeltaError(Kind::Io, "Cannot create file " + Quoted(outputPath) + ": " + error.what()));
    }
  }
  platform::RemoveFile(tempPath);
  std::rethrow_exception(failure);
}

}  // namespace kestrune
