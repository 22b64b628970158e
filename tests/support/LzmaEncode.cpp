#include "LzmaEncode.h"

#include <lzma.h>

#include <stdexcept>

namespace kestrune::test {

std::string EncodeLzmaAlone(const std::string& bytes, std::uint32_t preset) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, preset)) throw std::runtime_error("lzma preset");
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&stream, &options) != LZMA_OK) throw std::runtime_error("encoder");
  // Incompressible input grows a little; this bound is generous.
  std::string out(bytes.size() + bytes.size() / 2 + 1024, '\0');
  stream.next_in = reinterpret_cast<const std::uint8_t*>(bytes.data());
  stream.avail_in = bytes.size();
  stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
  stream.avail_out = out.size();
  const lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
  out.resize(out.size() - stream.avail_out);
  lzma_end(&stream);
  if (ret != LZMA_STREAM_END) throw std::runtime_error("encoder");
  return out;
}

}  // namespace kestrune::test
