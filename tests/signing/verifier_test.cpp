// The platform's verifier (libcrypto on Linux, CNG under Wine) against published ECDSA P-256
// SHA-256 vectors, and the SHA-256 it gives the update check.
#include "signing/verifier.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace velora {
namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

template <std::size_t N>
std::array<std::uint8_t, N> Join(const std::string& a, const std::string& b) {
    const std::vector<std::uint8_t> bytes = FromHex(a + b);
    std::array<std::uint8_t, N> out{};
    EXPECT_EQ(bytes.size(), N);
    std::copy_n(bytes.begin(), std::min(bytes.size(), N), out.begin());
    return out;
}

struct Vector {
    std::vector<std::uint8_t> message;
    TP256PublicKey key{};
    TP256Signature signature{};
    bool valid = false;
    std::string result;
};

// The "Name = value" records of a CAVP response file, one vector per "Result" line.
std::vector<Vector> ReadVectors() {
    std::ifstream in(VELORA_SIGNING_TEST_DATA "/ecdsa_p256_sha256_sigver.rsp");
    std::vector<Vector> vectors;
    std::map<std::string, std::string> fields;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find(" = ");
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        fields[line.substr(0, eq)] = line.substr(eq + 3);
        if (line.starts_with("Result")) {
            Vector v;
            v.message = FromHex(fields["Msg"]);
            v.key = Join<64>(fields["Qx"], fields["Qy"]);
            v.signature = Join<64>(fields["R"], fields["S"]);
            v.result = fields["Result"];
            v.valid = v.result.starts_with("P");
            vectors.push_back(v);
            fields.clear();
        }
    }
    return vectors;
}

TEST(SignatureVerifier, PublishedVectors) {
    const std::vector<Vector> vectors = ReadVectors();
    ASSERT_EQ(vectors.size(), 15u) << "the vector file was not read";
    const std::unique_ptr<ISignatureVerifier> verifier = CreateSignatureVerifier();
    int valid = 0;
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        const Vector& v = vectors[i];
        EXPECT_EQ(verifier->VerifyP256Sha256(v.key, v.message, v.signature), v.valid)
            << "vector " << i + 1 << ": " << v.result;
        valid += v.valid ? 1 : 0;
    }
    EXPECT_EQ(valid, 3);
}

// Signatures and keys no library may accept, made from a valid vector.
TEST(SignatureVerifier, OutOfRangeValuesAndForeignPoints) {
    const std::vector<Vector> vectors = ReadVectors();
    ASSERT_FALSE(vectors.empty());
    const auto good =
        std::find_if(vectors.begin(), vectors.end(), [](const Vector& v) { return v.valid; });
    ASSERT_NE(good, vectors.end());
    const std::string order = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
    const std::string zero(64, '0');

    struct Case {
        const char* name;
        TP256PublicKey key;
        TP256Signature signature;
    };
    auto half = [](const auto& array, bool second) {
        std::ostringstream hex;
        for (std::size_t i = second ? 32 : 0; i < (second ? 64u : 32u); ++i) {
            static const char digits[] = "0123456789abcdef";
            hex << digits[array[i] >> 4] << digits[array[i] & 15];
        }
        return hex.str();
    };
    const std::string goodR = half(good->signature, false);
    const std::string goodS = half(good->signature, true);
    TP256PublicKey offCurve = good->key;
    offCurve[63] ^= 1;
    TP256PublicKey swappedCoordinates{};
    std::copy_n(good->key.begin() + 32, 32, swappedCoordinates.begin());
    std::copy_n(good->key.begin(), 32, swappedCoordinates.begin() + 32);

    const Case cases[] = {
        {"r = 0", good->key, Join<64>(zero, goodS)},
        {"s = 0", good->key, Join<64>(goodR, zero)},
        {"r = n", good->key, Join<64>(order, goodS)},
        {"s = n", good->key, Join<64>(goodR, order)},
        {"all ones", good->key, Join<64>(std::string(64, 'f'), std::string(64, 'f'))},
        {"r and s swapped", good->key, Join<64>(goodS, goodR)},
        {"key off the curve", offCurve, good->signature},
        {"key with X and Y swapped", swappedCoordinates, good->signature},
        {"key of zeros", TP256PublicKey{}, good->signature},
    };
    const std::unique_ptr<ISignatureVerifier> verifier = CreateSignatureVerifier();
    // The unchanged vector verifies, so each refusal below is the change's doing.
    ASSERT_TRUE(verifier->VerifyP256Sha256(good->key, good->message, good->signature));
    for (const Case& c : cases) {
        EXPECT_FALSE(verifier->VerifyP256Sha256(c.key, good->message, c.signature)) << c.name;
    }
}

TEST(SignatureVerifier, Sha256InPieces) {
    struct Case {
        std::string data;
        std::size_t piece;
        const char* digest;
    };
    const Case cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), 65537,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    const std::unique_ptr<ISignatureVerifier> verifier = CreateSignatureVerifier();
    for (const Case& c : cases) {
        const std::unique_ptr<ISha256> hash = verifier->CreateSha256();
        const auto* data = reinterpret_cast<const std::uint8_t*>(c.data.data());
        for (std::size_t at = 0; at < c.data.size(); at += c.piece) {
            hash->Update({data + at, std::min(c.piece, c.data.size() - at)});
        }
        const TSha256Digest digest = hash->Final();
        EXPECT_EQ(std::vector<std::uint8_t>(digest.begin(), digest.end()), FromHex(c.digest))
            << c.data.size() << " bytes";
    }
}

} // namespace
} // namespace velora
