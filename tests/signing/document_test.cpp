// The signature document's grammar: what parses, and the near misses that must not.
#include "signing/document.hpp"
#include "signing/update_check.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

const std::string kSha = std::string(64, 'a');
const std::string kSig = std::string(64, '0') + std::string(64, 'f');
const std::string kStatements =
    "velora-updater-signature 2\nversion 42\nsize 3000\nsha256 " + kSha + "\n";
const std::string kDocument = kStatements + "signature ecdsa-p256-sha256 " + kSig + "\n";

TEST(SignatureDocument, ParsesTheStatementsTheSignatureCovers) {
    const TUpdaterSignature parsed = ParseSignatureDocument(kDocument);
    EXPECT_EQ(parsed.Version, 42);
    EXPECT_EQ(parsed.Size, 3000);
    for (const std::uint8_t b : parsed.Sha256) {
        EXPECT_EQ(b, 0xaa);
    }
    EXPECT_EQ(parsed.Signature[0], 0x00);
    EXPECT_EQ(parsed.Signature[63], 0xff);
    EXPECT_EQ(parsed.Statements, kStatements);
    // What the signer writes is what the parser reads back.
    EXPECT_EQ(FormatSignatureDocument(parsed.Statements, parsed.Signature), kDocument);
    EXPECT_EQ(UpdaterStatements(42, 3000, parsed.Sha256), kStatements);
}

struct DecimalCase {
    const char* text;
    std::optional<std::int32_t> value;
};

TEST(SignatureDocument, VersionIsTheLaunchersDecimalTextOnly) {
    const DecimalCase cases[] = {
        {"0", 0},
        {"7", 7},
        {"-1", -1},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999", std::nullopt},
        {"007", std::nullopt},
        {"-0", std::nullopt},
        {"+7", std::nullopt},
        {"0x2A", std::nullopt},
        {"$2A", std::nullopt},
        {" 7", std::nullopt},
        {"7 ", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"4e2", std::nullopt},
    };
    for (const DecimalCase& c : cases) {
        EXPECT_EQ(ParseCanonicalDecimal(c.text), c.value) << "\"" << c.text << "\"";
        if (c.value) {
            EXPECT_EQ(ParseSignatureDocument("velora-updater-signature 2\nversion " +
                                             std::string(c.text) + "\nsize 0\nsha256 " + kSha +
                                             "\nsignature ecdsa-p256-sha256 " + kSig + "\n")
                          .Version,
                      *c.value);
        }
    }
}

struct BrokenCase {
    const char* name;
    std::string document;
    const char* message; // a part of the error's text
};

// By assignment: GCC 12 at -O3 takes an insert at the front for an overlapping copy.
std::string WithFirst(char first, std::string text) {
    text[0] = first;
    return text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

TEST(SignatureDocument, NearMissesAreRefusedWithTheirLine) {
    const BrokenCase cases[] = {
        {"empty", "", "line 1: missing"},
        {"no final line end", kDocument.substr(0, kDocument.size() - 1), "line 5: the line has no"},
        {"CR LF line ends", Replace(kDocument, "\nversion", "\r\nversion"), "line 1: a byte"},
        {"NUL byte",
         Replace(kDocument, "version 42",
                 std::string("version 4\0"
                             "2",
                             10)),
         "line 2: a byte"},
        {"not a document", "<html>Not Found</html>\n", "line 1: not a signature document"},
        {"unknown format", Replace(kDocument, "signature 2", "signature 1"),
         "line 1: format \"1\" is not known"},
        {"statements reordered",
         "velora-updater-signature 2\nsha256 " + kSha +
             "\nversion 42\nsize 3000\nsignature ecdsa-p256-sha256 " + kSig + "\n",
         "line 2:"},
        {"version with leading zero", Replace(kDocument, "version 42", "version 042"), "line 2:"},
        {"version in hex", Replace(kDocument, "version 42", "version 0x2A"), "line 2:"},
        {"two blanks", Replace(kDocument, "version 42", "version  42"), "line 2:"},
        {"no size", Replace(kDocument, "size 3000\n", ""), "line 3: expected \"size"},
        {"size with leading zero", Replace(kDocument, "size 3000", "size 03000"), "line 3:"},
        {"negative size", Replace(kDocument, "size 3000", "size -1"), "line 3:"},
        {"size beyond 63 bits", Replace(kDocument, "size 3000", "size 9223372036854775808"),
         "line 3:"},
        {"upper-case hash", Replace(kDocument, kSha, std::string(64, 'A')), "line 4:"},
        {"hash with a letter beyond f", Replace(kDocument, kSha, std::string(63, 'a') + "g"),
         "line 4:"},
        {"short hash", Replace(kDocument, kSha, std::string(62, 'a')), "line 4:"},
        {"hash with a trailing blank", Replace(kDocument, kSha, kSha + " "), "line 4:"},
        {"another algorithm", Replace(kDocument, "ecdsa-p256-sha256", "ecdsa-p384-sha384"),
         "line 5: the signature algorithm"},
        {"DER signature",
         Replace(kDocument, kSig, "30440220" + kSig.substr(0, 64) + "0220" + kSig.substr(64)),
         "line 5:"},
        {"signature with a letter beyond f", Replace(kDocument, kSig, WithFirst('g', kSig)),
         "line 5:"},
        {"long signature", Replace(kDocument, kSig, kSig + "00"), "line 5:"},
        {"blank line before the signature", Replace(kDocument, "\nsignature", "\n\nsignature"),
         "line 5:"},
        {"second signature line",
         kDocument + "signature ecdsa-p256-sha256 " + std::string(128, '1') + "\n",
         "line 6: a second signature line"},
        {"unknown line after", kDocument + "comment hello\n", "line 6: nothing may follow"},
        {"blank line after", kDocument + "\n", "line 6: nothing may follow"},
        {"oversized", kDocument + std::string(kMaxSignatureDocumentSize, '#'), "larger than"},
    };
    for (const BrokenCase& c : cases) {
        try {
            ParseSignatureDocument(c.document);
            ADD_FAILURE() << c.name << ": parsed";
        } catch (const EUpdateSignatureError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.name << ": " << e.what();
        }
    }
}

// Holds for a signature whose bytes equal the key's; remembers what it was asked to verify.
class FakeVerifier final : public ISignatureVerifier {
public:
    std::unique_ptr<ISha256> CreateSha256() override { return nullptr; }
    bool VerifyP256Sha256(const TP256PublicKey& key, std::span<const std::uint8_t> message,
                          const TP256Signature& signature) override {
        Messages.emplace_back(message.begin(), message.end());
        return key == signature;
    }
    std::vector<std::string> Messages;
};

TEST(UpdaterSignatureCheck, VersionHashAndEveryKey) {
    TSha256Digest sha{};
    sha.fill(0x5a);
    TSha256Digest otherSha = sha;
    otherSha[31] ^= 1;
    TP256PublicKey current{}, previous{}, unknown{};
    current.fill(1);
    previous.fill(2);
    unknown.fill(3);
    const std::vector<TP256PublicKey> keys = {current, previous};
    auto document = [&](std::int32_t version, const TSha256Digest& digest,
                        const TP256PublicKey& signer, std::int64_t size = 3000) {
        return FormatSignatureDocument(UpdaterStatements(version, size, digest), signer);
    };

    struct Case {
        const char* name;
        std::string document;
        std::optional<std::size_t> signer; // nothing: refused
        const char* message;
    };
    const Case cases[] = {
        {"current key", document(42, sha, current), 0, ""},
        {"previous key of a rotated set", document(42, sha, previous), 1, ""},
        {"unknown key", document(42, sha, unknown), std::nullopt, "none of the 2 update key"},
        {"older version replayed", document(41, sha, current), std::nullopt,
         "for version 41, not 42"},
        {"newer version ahead of its release", document(43, sha, current), std::nullopt,
         "for version 43, not 42"},
        {"another length", document(42, sha, current, 3001), std::nullopt, "the signed one 3001"},
        {"another body", document(42, otherSha, current), std::nullopt, "SHA-256"},
        {"broken document", "garbage", std::nullopt, "line 1"},
    };
    for (const Case& c : cases) {
        FakeVerifier verifier;
        try {
            EXPECT_EQ(CheckUpdaterSignature(keys, verifier, 42, 3000, sha, c.document), c.signer)
                << c.name;
            // The signature is checked over the statements only, never the whole document.
            for (const std::string& message : verifier.Messages) {
                EXPECT_EQ(message, UpdaterStatements(42, 3000, sha)) << c.name;
            }
        } catch (const EUpdateSignatureError& e) {
            EXPECT_FALSE(c.signer.has_value()) << c.name << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.name << ": " << e.what();
        }
    }
}

} // namespace
} // namespace velora
