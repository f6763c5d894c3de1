// Text encodings between UTF-16 text and bytes. None adds or strips a byte-order mark.
#pragma once

#include "rtl/ustring.hpp"

#include <cstddef>
#include <cstdint>

namespace velora {

class TEncoding {
public:
    virtual ~TEncoding() = default;
    virtual Bytes GetBytes(std::u16string_view text) const = 0;
    virtual UnicodeString GetString(const std::uint8_t* data, std::size_t size) const = 0;
    UnicodeString GetString(const Bytes& bytes) const {
        return GetString(bytes.data(), bytes.size());
    }
    virtual UnicodeString Name() const = 0;

    // Strict UTF-8: invalid input in either direction raises EEncodingError with
    // SNoMappingForUnicode.
    static const TEncoding& UTF8();
    // UTF-8 whose decoder turns malformed sequences into U+FFFD (response text).
    static const TEncoding& UTF8Replacing();
    // The system's ANSI code page; Windows-1252 where the platform has none.
    static const TEncoding& ANSI();
    static const TEncoding& Unicode();          // UTF-16LE
    static const TEncoding& BigEndianUnicode(); // UTF-16BE
    // A character set by its name, ignoring case ("ISO-8859-2", "windows-1251", "cp1252",
    // "US-ASCII", "UTF-16", ...). Unknown names raise EEncodingError "Invalid encoding name".
    static const TEncoding& GetEncoding(std::u16string_view charsetName);
    // A code page by number; unknown numbers raise EEncodingError "Invalid encoding name".
    static const TEncoding& GetEncoding(int codePage);
};

} // namespace velora
