// The signature document parser: any input either fails with its own error class or is the one
// canonical text of what it parsed, so that no two documents mean the same statements.
#include "signing/document.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    try {
        const velora::TUpdaterSignature parsed = velora::ParseSignatureDocument(input);
        const std::string statements =
            velora::UpdaterStatements(parsed.Version, parsed.Size, parsed.Sha256);
        if (parsed.Statements != statements ||
            velora::FormatSignatureDocument(statements, parsed.Signature) != input) {
            std::abort();
        }
    } catch (const velora::EUpdateSignatureError&) {
    }
    return 0;
}
