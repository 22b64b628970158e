#pragma once
// The signatures of a publish: one release serial for all of them, kept in the output folder,
// and a trusted comment naming the file each one is for.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "sign/Minisign.h"

namespace kestrune {

// Beside each signed file, its signature: NAME + ".minisig".
inline constexpr const char* kSignatureSuffix = ".minisig";
// The last serial signed with, in the output folder, as decimal digits and a line end.
inline constexpr const char* kSerialName = ".kestrune-serial";

// The serial a publish into `outDir` signs with: one above the larger of what kSerialName
// holds and the serial of pts/Settings.xml.minisig when `key` made it (so that a lost serial
// file does not set it back); 1 for the first. Throws PublishError(Failed) for a serial file
// that holds anything but a serial.
std::uint64_t NextSerial(const std::filesystem::path& outDir, const minisign::SecretKey& key);
// Stores `serial` in `outDir`, before the first signature that carries it. Throws
// PublishError(Failed).
void StoreSerial(const std::filesystem::path& outDir, std::uint64_t serial);

// The ".minisig" text for `bytes`, its trusted comment "file:NAME serial:N time:T".
std::string ReleaseSignature(const minisign::SecretKey& key, std::string_view bytes,
                             const std::string& name, std::uint64_t serial, std::int64_t time);

}  // namespace kestrune
