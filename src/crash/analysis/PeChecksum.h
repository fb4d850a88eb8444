#pragma once
// The checksum of a PE file as the optional header stores it and the
// system's CheckSumMappedFile computes it: the file summed as 16-bit
// little-endian words with the carries folded back in, the stored checksum
// field counted as zero, plus the file length. The build writes it into
// every program; the reporter compares it at start-up to find a damaged
// file.
#include <cstdint>
#include <optional>
#include <span>

namespace corvan::crash {

// File offset of the optional header's CheckSum field; none when the bytes
// are no PE image with room for the field.
std::optional<std::uint32_t> PeChecksumOffset(std::span<const std::uint8_t> file);

// The checksum of file with the 4 bytes at fieldOffset counted as zero
// (an odd last byte counts as a word of its own).
std::uint32_t PeChecksum(std::span<const std::uint8_t> file, std::uint32_t fieldOffset);

}  // namespace corvan::crash
