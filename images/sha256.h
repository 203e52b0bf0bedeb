// SHA-256 digests, for the image listing: a technician compares them with
// those published with a release. Done by the system's vetted library (the
// build picks the POSIX or the Win32 file).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace korva {

using Sha256Digest = std::array<uint8_t, 32>;

// The digest of data; false when the library failed.
bool sha256(std::span<const uint8_t> data, Sha256Digest& digest);

// The digest in lower-case hexadecimal, 64 characters; empty when the
// library failed.
std::string sha256_hex(std::span<const uint8_t> data);

}  // namespace korva
