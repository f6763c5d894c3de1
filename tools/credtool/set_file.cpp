#include "tools/credtool/set_file.hpp"

#include "codec/scope_exit.hpp"
#include "rtl/secure.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace velora::credtool {

namespace {

constexpr std::string_view kHeader = "velora-credential-set 1";
constexpr std::string_view kPasswordName = "password-hex";

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsBase64Text(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/' || c == '=';
    });
}

bool IsName(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
    });
}

} // namespace

bool IsPrintableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

CredentialSetFile ParseCredentialSet(std::string_view content, std::string_view where) {
    auto fail = [&](int lineNo, const std::string& problem) -> void {
        throw std::runtime_error(std::string(where) + ":" + std::to_string(lineNo) + ": " +
                                 problem);
    };
    CredentialSetFile set;
    std::optional<std::string> password;
    // Wiped however the parse ends; on success it has been moved out already.
    ScopeExit wipePassword([&password] {
        if (password) {
            SecureZero(*password);
        }
    });
    std::array<bool, 5> seen{};
    bool header = false;
    int lineNo = 0;
    while (!content.empty()) {
        ++lineNo;
        const std::size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (!header) {
            if (line != kHeader) {
                fail(lineNo, "expected \"" + std::string(kHeader) + "\"");
            }
            header = true;
            continue;
        }
        const std::size_t blank = line.find(' ');
        const std::string_view name = line.substr(0, blank);
        const std::string_view value =
            blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
        if (!IsName(name)) {
            fail(lineNo, "expected \"<name> <value>\"");
        }
        if (name == kPasswordName) {
            if (password) {
                fail(lineNo, "\"password-hex\" given twice");
            }
            if (value.empty() || value.size() % 2 != 0) {
                fail(lineNo, "the password must be a non-empty, even number of hex digits");
            }
            std::string bytes;
            ScopeExit wipeBytes([&bytes] { SecureZero(bytes); });
            // Sized up front: growth would leave pieces of the password behind.
            bytes.reserve(value.size() / 2);
            for (std::size_t i = 0; i < value.size(); i += 2) {
                const int hi = HexValue(value[i]);
                const int lo = HexValue(value[i + 1]);
                if (hi < 0 || lo < 0) {
                    fail(lineNo, "the password must be a non-empty, even number of hex digits");
                }
                bytes += static_cast<char>(hi * 16 + lo);
            }
            if (!IsPrintableAscii(bytes)) {
                fail(lineNo, "the password holds a byte that is not printable ASCII");
            }
            password = std::move(bytes);
            continue;
        }
        const auto it = std::find(kCredentialNames.begin(), kCredentialNames.end(), name);
        if (it == kCredentialNames.end()) {
            fail(lineNo, "unknown name \"" + std::string(name) + "\"");
        }
        const auto index = static_cast<std::size_t>(it - kCredentialNames.begin());
        if (seen[index]) {
            fail(lineNo, "\"" + std::string(name) + "\" given twice");
        }
        if (!IsBase64Text(value)) {
            fail(lineNo, "\"" + std::string(name) + "\" is not Base64 text");
        }
        seen[index] = true;
        set.cipherTexts[index] = std::string(value);
    }
    if (!header) {
        fail(lineNo, "not a credential set");
    }
    if (!password) {
        fail(lineNo, "\"password-hex\" is missing");
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i]) {
            fail(lineNo, "\"" + std::string(kCredentialNames[i]) + "\" is missing");
        }
    }
    set.password = std::move(*password);
    return set;
}

std::string FormatCredentialSet(const CredentialSetFile& set) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    // Room for everything up front, so that no block with the password in it is left behind.
    std::size_t size = 256 + 2 * set.password.size();
    for (const auto& cipherText : set.cipherTexts) {
        size += 32 + cipherText.size();
    }
    text.reserve(size);
    text += kHeader;
    text += "\n# Made by velora-credtool make-set. The password is hex-encoded; the five\n"
            "# ciphertexts are Base64, in the order the program decrypts them.\n";
    text += kPasswordName;
    text += ' ';
    for (const char c : set.password) {
        const auto byte = static_cast<unsigned char>(c);
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    text += '\n';
    for (std::size_t i = 0; i < kCredentialNames.size(); ++i) {
        text += kCredentialNames[i];
        text += ' ';
        text += set.cipherTexts[i];
        text += '\n';
    }
    return text;
}

} // namespace velora::credtool
