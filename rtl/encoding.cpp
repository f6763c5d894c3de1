#include "rtl/encoding.hpp"

#include "rtl/codepages.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <array>
#include <optional>

namespace velora {

namespace {

[[noreturn]] void NoMapping() {
    throw EEncodingError(UnicodeString(SNoMappingForUnicode));
}
[[noreturn]] void InvalidName() {
    throw EEncodingError(u"Invalid encoding name");
}

class TUTF8Encoding final : public TEncoding {
public:
    explicit TUTF8Encoding(bool strict) : FStrict(strict) {}

    // Written straight into a block of the final size: the text may be a password or plaintext,
    // and no copy of it may be left behind unwiped.
    Bytes GetBytes(std::u16string_view text) const override {
        std::size_t size = 0;
        ForEachCodePoint(text, [&](char32_t cp) { size += Utf8Length(cp); });
        Bytes out;
        out.reserve(size);
        ForEachCodePoint(text, [&](char32_t cp) { AppendUtf8(out, cp); });
        return out;
    }

    UnicodeString GetString(const std::uint8_t* data, std::size_t size) const override {
        UnicodeString out;
        out.reserve(size);
        for (std::size_t i = 0; i < size;) {
            if (data[i] < 0x80) {
                out.push_back(data[i++]);
                continue;
            }
            const Utf8Step step = DecodeUtf8Step(data, size, i);
            if (!step.valid && FStrict) {
                // The prefix decoded so far may be a secret.
                SecureZero(out);
                NoMapping();
            }
            AppendCodePoint(out, step.codePoint);
            i += step.length;
        }
        return out;
    }

    UnicodeString Name() const override { return u"utf-8"; }

private:
    // An unpaired surrogate fails when strict and becomes U+FFFD otherwise.
    template <class Visit> void ForEachCodePoint(std::u16string_view text, Visit visit) const {
        for (std::size_t i = 0; i < text.size();) {
            const Utf16Step step = DecodeUtf16Step(text, i);
            i += step.length;
            if (!IsSurrogate(step.codePoint)) {
                visit(step.codePoint);
            } else if (FStrict) {
                NoMapping();
            } else {
                visit(0xFFFD);
            }
        }
    }

    bool FStrict;
};

class TUTF16Encoding final : public TEncoding {
public:
    explicit TUTF16Encoding(bool bigEndian) : FBigEndian(bigEndian) {}

    Bytes GetBytes(std::u16string_view text) const override {
        Bytes out;
        out.reserve(text.size() * 2);
        for (const char16_t c : text) {
            const auto lo = static_cast<std::uint8_t>(c & 0xFF);
            const auto hi = static_cast<std::uint8_t>(c >> 8);
            out.push_back(FBigEndian ? hi : lo);
            out.push_back(FBigEndian ? lo : hi);
        }
        return out;
    }

    UnicodeString GetString(const std::uint8_t* data, std::size_t size) const override {
        UnicodeString out;
        out.reserve(size / 2 + 1);
        for (std::size_t i = 0; i + 1 < size; i += 2) {
            const unsigned a = data[i];
            const unsigned b = data[i + 1];
            out.push_back(static_cast<char16_t>(FBigEndian ? (a << 8) | b : (b << 8) | a));
        }
        if (size % 2 != 0) {
            out.push_back(0xFFFD);
        }
        return out;
    }

    UnicodeString Name() const override { return FBigEndian ? u"utf-16be" : u"utf-16le"; }

private:
    bool FBigEndian;
};

class TSingleByteEncoding final : public TEncoding {
public:
    explicit TSingleByteEncoding(const SingleBytePage& page) : FPage(page) {}

    Bytes GetBytes(std::u16string_view text) const override {
        Bytes out;
        out.reserve(text.size());
        for (const char16_t c : text) {
            out.push_back(Lookup(c));
        }
        return out;
    }

    UnicodeString GetString(const std::uint8_t* data, std::size_t size) const override {
        UnicodeString out(size, u'\0');
        for (std::size_t i = 0; i < size; ++i) {
            out[i] = data[i] < 0x80 ? data[i] : FPage.upperHalf[data[i] - 0x80];
        }
        return out;
    }

    UnicodeString Name() const override { return u"cp" + IntToStr(FPage.codePage); }

private:
    std::uint8_t Lookup(char16_t c) const {
        if (c < 0x80) {
            return static_cast<std::uint8_t>(c);
        }
        for (int i = 0; i < 128; ++i) {
            if (FPage.upperHalf[i] == c && c != 0xFFFD) {
                return static_cast<std::uint8_t>(0x80 + i);
            }
        }
        return '?'; // the platforms' default character for what a page cannot hold
    }

    const SingleBytePage& FPage;
};

const TEncoding* FindSingleByte(int codePage) {
    // Built once; the encodings are immutable afterwards.
    static const auto encodings = [] {
        std::vector<TSingleByteEncoding> list;
        list.reserve(kSingleBytePageCount);
        for (std::size_t i = 0; i < kSingleBytePageCount; ++i) {
            list.emplace_back(kSingleBytePages[i]);
        }
        return list;
    }();
    for (std::size_t i = 0; i < kSingleBytePageCount; ++i) {
        if (kSingleBytePages[i].codePage == codePage) {
            return &encodings[i];
        }
    }
    return nullptr;
}

std::optional<int> ParseNumber(std::u16string_view digits) {
    if (digits.empty() || digits.size() > 6) {
        return std::nullopt;
    }
    int value = 0;
    for (const char16_t c : digits) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        value = value * 10 + (c - u'0');
    }
    return value;
}

struct Alias {
    std::u16string_view name;
    int codePage;
};

constexpr std::array kAliases{
    Alias{u"utf-8", 65001},     Alias{u"utf8", 65001},           Alias{u"us-ascii", 20127},
    Alias{u"ascii", 20127},     Alias{u"ansi_x3.4-1968", 20127}, Alias{u"iso646-us", 20127},
    Alias{u"utf-16", 1200},     Alias{u"utf-16le", 1200},        Alias{u"unicode", 1200},
    Alias{u"utf-16be", 1201},   Alias{u"unicodefffe", 1201},     Alias{u"latin1", 28591},
    Alias{u"l1", 28591},        Alias{u"latin2", 28592},         Alias{u"latin-1", 28591},
    Alias{u"koi8-r", 20866},    Alias{u"koi8-u", 21866},         Alias{u"ibm437", 437},
    Alias{u"ibm850", 850},      Alias{u"ibm866", 866},           Alias{u"tis-620", 874},
    Alias{u"windows-874", 874},
};

std::optional<int> CodePageOfName(std::u16string_view rawName) {
    const UnicodeString name = LowerCase(Trim(rawName));
    for (const auto& alias : kAliases) {
        if (name == alias.name) {
            return alias.codePage;
        }
    }
    for (const std::u16string_view prefix : {u"iso-8859-", u"iso8859-", u"iso_8859-"}) {
        if (name.starts_with(prefix)) {
            const auto part = ParseNumber(std::u16string_view(name).substr(prefix.size()));
            if (part && *part >= 1 && *part <= 16) {
                return 28590 + *part;
            }
            return std::nullopt;
        }
    }
    for (const std::u16string_view prefix : {u"windows-", u"cp", u"x-cp"}) {
        if (name.starts_with(prefix)) {
            return ParseNumber(std::u16string_view(name).substr(prefix.size()));
        }
    }
    return std::nullopt;
}

const TUTF8Encoding kUtf8Strict{true};
const TUTF8Encoding kUtf8Replacing{false};
const TUTF16Encoding kUtf16LE{false};
const TUTF16Encoding kUtf16BE{true};

} // namespace

const TEncoding& TEncoding::UTF8() {
    return kUtf8Strict;
}
const TEncoding& TEncoding::UTF8Replacing() {
    return kUtf8Replacing;
}
const TEncoding& TEncoding::Unicode() {
    return kUtf16LE;
}
const TEncoding& TEncoding::BigEndianUnicode() {
    return kUtf16BE;
}

const TEncoding& TEncoding::ANSI() {
    static const TEncoding& ansi = []() -> const TEncoding& {
        const TEncoding* page = FindSingleByte(SystemAnsiCodePage());
        return page != nullptr ? *page : *FindSingleByte(1252);
    }();
    return ansi;
}

const TEncoding& TEncoding::GetEncoding(int codePage) {
    switch (codePage) {
    case 65001:
        return kUtf8Replacing;
    case 1200:
        return kUtf16LE;
    case 1201:
        return kUtf16BE;
    default:
        break;
    }
    if (const TEncoding* page = FindSingleByte(codePage)) {
        return *page;
    }
    InvalidName();
}

const TEncoding& TEncoding::GetEncoding(std::u16string_view charsetName) {
    const auto codePage = CodePageOfName(charsetName);
    if (!codePage) {
        InvalidName();
    }
    return GetEncoding(*codePage);
}

} // namespace velora
