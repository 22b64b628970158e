#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_stableInBuffer: the mapped source is never copied
#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <vector>

#include "Platform.h"
#include "ZstdDelta.h"

namespace kestrune {

namespace {

using Kind = DeltaError::Kind;

struct FreeCCtx {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};

void Check(std::size_t result, const char* what) {
  if (!ZSTD_isError(result)) return;
  const Kind kind =
      ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation ? Kind::OutOfMemory : Kind::Corrupt;
  throw DeltaError(kind, std::string(what) + ": " + ZSTD_getErrorName(result));
}

}  // namespace

std::optional<std::uint64_t> MakeDelta(const platform::FileView& reference,
                                       const platform::FileView& source, platform::File& out,
                                       const DeltaOptions& options) {
  const std::uint64_t span = std::uint64_t{reference.size()} + source.size();
  if (span > MaxDeltaSpan()) {
    throw DeltaError(Kind::TooLarge, "old and new file together exceed the delta window");
  }
  std::unique_ptr<ZSTD_CCtx, FreeCCtx> cctx(ZSTD_createCCtx());
  if (!cctx) throw DeltaError(Kind::OutOfMemory, "cannot set up the delta encoder");
  ZSTD_CCtx* c = cctx.get();
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, options.level), "level");
  Check(
      ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, DeltaWindowLog(reference.size(), source.size())),
      "window");
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), "long matching");
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), "checksum");
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1), "content size");
  Check(ZSTD_CCtx_setParameter(c, ZSTD_c_stableInBuffer, 1), "stable input");
  Check(ZSTD_CCtx_setPledgedSrcSize(c, source.size()), "size");
  Check(ZSTD_CCtx_refPrefix(c, reference.data(), reference.size()), "reference");

  ZSTD_inBuffer in{source.data(), source.size(), 0};
  std::vector<std::uint8_t> buffer(ZSTD_CStreamOutSize());
  std::uint64_t written = 0;
  for (;;) {
    ZSTD_outBuffer outBuffer{buffer.data(), buffer.size(), 0};
    const std::size_t left = ZSTD_compressStream2(c, &outBuffer, &in, ZSTD_e_end);
    Check(left, "encoding");
    try {
      out.Write(buffer.data(), outBuffer.pos);
    } catch (const platform::SystemError& error) {
      throw DeltaError(Kind::Io, std::string("cannot write the delta: ") + error.what());
    }
    written += outBuffer.pos;
    if (options.giveUpAbove != 0 && written > options.giveUpAbove) return std::nullopt;
    if (left == 0) return written;
  }
}

}  // namespace kestrune
