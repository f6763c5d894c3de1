#include "signing/key_file.hpp"

#include "signing/p256_point.hpp"

#include <algorithm>
#include <string>

namespace velora {

namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";
constexpr std::string_view kPublicKeyLabel = "PUBLIC KEY";
// Base64 of the fixed 27 bytes that start a P-256 SubjectPublicKeyInfo, up to the point's 04.
constexpr std::string_view kP256Prefix = "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE";
// 91 bytes: 30 groups of three and one byte, "==" padded.
constexpr std::size_t kP256Base64Size = 124;
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

[[noreturn]] void Fail(std::size_t line, const std::string& what) {
    throw EUpdateKeyFileError("update keys file, line " + std::to_string(line) + ": " + what);
}

// The key's X || Y, or nothing when the text is not a P-256 key in the canonical encoding.
bool DecodeP256(std::string_view base64, TP256PublicKey& key) {
    if (base64.size() != kP256Base64Size || !base64.starts_with(kP256Prefix) ||
        !base64.ends_with("==")) {
        return false;
    }
    const std::string_view body = base64.substr(kP256Prefix.size(), 88);
    std::uint32_t bits = 0;
    int count = 0;
    std::size_t out = 0;
    for (std::size_t i = 0; i < 86; ++i) {
        const std::size_t value = kAlphabet.find(body[i]);
        if (value == std::string_view::npos) {
            return false;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            key[out++] = static_cast<std::uint8_t>(bits >> count);
            bits &= (1u << count) - 1;
        }
    }
    // 86 characters carry 64 bytes and 4 bits, which a canonical encoding leaves zero.
    return out == key.size() && bits == 0;
}

std::string_view WithoutCr(std::string_view line) {
    return line.ends_with('\r') ? line.substr(0, line.size() - 1) : line;
}

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

} // namespace

std::vector<TP256PublicKey> ParseUpdateKeyFile(std::string_view text) {
    std::vector<TP256PublicKey> keys;
    std::size_t number = 0;
    std::size_t blockStart = 0;
    std::string base64;
    bool inBlock = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = WithoutCr(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;

        if (!inBlock) {
            if (IsBlank(line) || line.starts_with('#')) {
                continue;
            }
            if (!line.starts_with(kBegin) || !line.ends_with(kDashes) ||
                line.size() < kBegin.size() + kDashes.size()) {
                Fail(number, "text outside a key block");
            }
            const std::string_view label =
                line.substr(kBegin.size(), line.size() - kBegin.size() - kDashes.size());
            if (label.find("PRIVATE") != std::string_view::npos) {
                Fail(number, "a private key; only public keys belong in the update keys file");
            }
            if (label != kPublicKeyLabel) {
                Fail(number, "a \"" + std::string(label) + "\" block; expected \"PUBLIC KEY\"");
            }
            inBlock = true;
            blockStart = number;
            base64.clear();
            continue;
        }

        if (line.starts_with(kEnd)) {
            if (line != std::string(kEnd) + std::string(kPublicKeyLabel) + std::string(kDashes)) {
                Fail(number, "expected \"-----END PUBLIC KEY-----\"");
            }
            TP256PublicKey key{};
            if (!DecodeP256(base64, key)) {
                Fail(blockStart, "not an ECDSA P-256 public key (an uncompressed point on the "
                                 "curve prime256v1 is expected)");
            }
            if (!IsP256Point(key)) {
                Fail(blockStart, "not a point of the curve P-256, so no updater could be "
                                 "verified with it");
            }
            if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
                Fail(blockStart, "the same key a second time");
            }
            keys.push_back(key);
            inBlock = false;
            continue;
        }
        if (line.empty() ||
            line.find_first_not_of(std::string(kAlphabet) + "=") != std::string_view::npos) {
            Fail(number, "not Base64 text inside the key block");
        }
        base64 += line;
    }
    if (inBlock) {
        Fail(blockStart, "the block has no \"-----END PUBLIC KEY-----\" line");
    }
    if (keys.empty()) {
        throw EUpdateKeyFileError("update keys file: no public key in it");
    }
    return keys;
}

} // namespace velora
