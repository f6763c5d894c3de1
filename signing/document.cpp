#include "signing/document.hpp"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace velora {

namespace {

constexpr std::string_view kVersionKey = "version ";
constexpr std::string_view kSizeKey = "size ";
constexpr std::string_view kSha256Key = "sha256 ";
constexpr std::string_view kSignatureKey = "signature ";
constexpr std::string_view kSignatureAlgorithm = "ecdsa-p256-sha256 ";

[[noreturn]] void Fail(std::size_t line, const std::string& what) {
    throw EUpdateSignatureError("signature document, line " + std::to_string(line) + ": " + what);
}

int LowerHexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Exactly 2 * out.size() lower-case hex digits.
bool ReadLowerHex(std::string_view text, std::span<std::uint8_t> out) noexcept {
    if (text.size() != 2 * out.size()) {
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = LowerHexDigit(text[2 * i]);
        const int low = LowerHexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

// The lines without their LF; every line, the last one too, must end with one.
std::vector<std::string_view> SplitLines(std::string_view document) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < document.size(); ++i) {
        const auto c = static_cast<unsigned char>(document[i]);
        if (c == '\n') {
            lines.push_back(document.substr(start, i - start));
            start = i + 1;
        } else if (c < 0x20 || c > 0x7e) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", c);
            Fail(lines.size() + 1, std::string("a byte that is not printable ASCII (") + hex + ")");
        }
    }
    if (start != document.size()) {
        Fail(lines.size() + 1, "the line has no line end (LF)");
    }
    return lines;
}

// Digits without sign or leading zeros ("0" for zero), at most 2^63 - 1.
std::optional<std::int64_t> ParseCanonicalSize(std::string_view text) noexcept {
    if (text.empty() || text.size() > 19 || (text[0] == '0' && text.size() > 1)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

} // namespace

std::optional<std::int32_t> ParseCanonicalDecimal(std::string_view text) noexcept {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 10 || (digits[0] == '0' && digits.size() > 1) ||
        (negative && digits == "0")) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (negative) {
        value = -value;
    }
    if (value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

std::string LowerHex(const std::uint8_t* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

std::string UpdaterStatements(std::int32_t version, std::int64_t size,
                              const TSha256Digest& sha256) {
    return std::string(kSignatureDocumentHeader) + "\n" + std::string(kVersionKey) +
           std::to_string(version) + "\n" + std::string(kSizeKey) + std::to_string(size) + "\n" +
           std::string(kSha256Key) + LowerHex(sha256.data(), sha256.size()) + "\n";
}

std::string FormatSignatureDocument(std::string_view statements, const TP256Signature& signature) {
    return std::string(statements) + std::string(kSignatureKey) + std::string(kSignatureAlgorithm) +
           LowerHex(signature.data(), signature.size()) + "\n";
}

TUpdaterSignature ParseSignatureDocument(std::string_view document) {
    if (document.size() > kMaxSignatureDocumentSize) {
        throw EUpdateSignatureError("signature document: larger than " +
                                    std::to_string(kMaxSignatureDocumentSize) + " bytes");
    }
    const std::vector<std::string_view> lines = SplitLines(document);
    auto line = [&](std::size_t number, std::string_view expected) -> std::string_view {
        if (lines.size() < number) {
            Fail(number, "missing; expected " + std::string(expected));
        }
        return lines[number - 1];
    };

    const std::string_view header = line(1, "\"" + std::string(kSignatureDocumentHeader) + "\"");
    if (header != kSignatureDocumentHeader) {
        constexpr std::string_view kFormat = "velora-updater-signature ";
        Fail(1, header.starts_with(kFormat)
                    ? "format \"" + std::string(header.substr(kFormat.size())) +
                          "\" is not known (this launcher reads format 2)"
                    : "not a signature document (expected \"" +
                          std::string(kSignatureDocumentHeader) + "\")");
    }

    TUpdaterSignature result;
    const std::string_view version = line(2, "\"version <decimal>\"");
    if (!version.starts_with(kVersionKey)) {
        Fail(2, "expected \"version <decimal>\"");
    }
    const std::optional<std::int32_t> number =
        ParseCanonicalDecimal(version.substr(kVersionKey.size()));
    if (!number) {
        Fail(2, "the version is not a decimal 32-bit number without leading zeros or \"+\"");
    }
    result.Version = *number;

    const std::string_view size = line(3, "\"size <decimal>\"");
    if (!size.starts_with(kSizeKey)) {
        Fail(3, "expected \"size <decimal>\"");
    }
    const std::optional<std::int64_t> length = ParseCanonicalSize(size.substr(kSizeKey.size()));
    if (!length) {
        Fail(3, "the size is not a decimal number of bytes without leading zeros or a sign");
    }
    result.Size = *length;

    const std::string_view sha256 = line(4, "\"sha256 <hex>\"");
    if (!sha256.starts_with(kSha256Key)) {
        Fail(4, "expected \"sha256 <hex>\"");
    }
    if (!ReadLowerHex(sha256.substr(kSha256Key.size()), result.Sha256)) {
        Fail(4, "the SHA-256 is not 64 lower-case hex digits");
    }

    const std::string_view signature = line(5, "\"signature ecdsa-p256-sha256 <hex>\"");
    if (!signature.starts_with(kSignatureKey)) {
        Fail(5, "expected \"signature ecdsa-p256-sha256 <hex>\"");
    }
    const std::string_view algorithm = signature.substr(kSignatureKey.size());
    if (!algorithm.starts_with(kSignatureAlgorithm)) {
        Fail(5, "the signature algorithm is not ecdsa-p256-sha256");
    }
    if (!ReadLowerHex(algorithm.substr(kSignatureAlgorithm.size()), result.Signature)) {
        Fail(5, "the signature is not 128 lower-case hex digits (r and s)");
    }

    if (lines.size() > 5) {
        Fail(6, lines[5].starts_with(kSignatureKey) ? "a second signature line"
                                                    : "nothing may follow the signature line");
    }
    result.Statements = std::string(
        document.substr(0, header.size() + version.size() + size.size() + sha256.size() + 4));
    return result;
}

} // namespace velora
