// Base64 as the codec reads and writes it: a lenient decoder that never rejects its input, and
// the standard padded encoder.
#pragma once

#include "rtl/ustring.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace velora {

// Decodes groups of four bytes; up to three trailing bytes are ignored. A '=' ends only its own
// group, and a byte outside the alphabet counts as 255 in the arithmetic instead of failing.
// Appends the result to out.
void Base64Decode(const std::uint8_t* data, std::size_t size, Bytes& out);

// RFC 4648 alphabet, 4 characters for every 3 bytes, the last group padded with '='.
std::string Base64Encode(const std::uint8_t* data, std::size_t size);

} // namespace velora
