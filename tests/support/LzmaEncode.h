#pragma once
// .lzma files for tests and benchmarks, made by liblzma's own encoder.

#include <cstdint>
#include <string>

namespace kestrune::test {

// `bytes` as an LZMA-alone file (size field "unknown", end marker) at `preset`.
std::string EncodeLzmaAlone(const std::string& bytes, std::uint32_t preset = 1);

}  // namespace kestrune::test
