// Single-byte code pages: the characters of the bytes 0x80 to 0xFF (0x00 to 0x7F are ASCII).
#pragma once

#include <cstddef>

namespace velora {

struct SingleBytePage {
    int codePage;
    const char16_t* upperHalf; // 128 entries; U+FFFD marks an undefined byte
};

extern const SingleBytePage kSingleBytePages[];
extern const std::size_t kSingleBytePageCount;

// The platform's ANSI code page number (Windows-1252 where the platform has none).
int SystemAnsiCodePage();

} // namespace velora
