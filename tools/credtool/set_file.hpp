// Credential-set files: the password and the five stored ciphertexts, in a line format that
// carries any printable-ASCII password exactly. The build reads the same format
// (config/gen_credential_set.cmake).
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace velora::credtool {

// The names of the five ciphertexts, in the order the program decrypts them.
inline constexpr std::array<std::string_view, 5> kCredentialNames = {
    "LocalFileCrypto", "httpuser", "httppass", "secret", "apisecret"};

struct CredentialSetFile {
    std::string password; // printable ASCII
    std::array<std::string, 5> cipherTexts;
};

// Throws std::runtime_error with "<where>:<line>: <problem>" for a malformed file.
CredentialSetFile ParseCredentialSet(std::string_view content, std::string_view where);
std::string FormatCredentialSet(const CredentialSetFile& set);

bool IsPrintableAscii(std::string_view text);

} // namespace velora::credtool
