// Arbitrary ciphertext in arbitrary chunks into the stream-to-block decryptor (Twofish, CBC).
// Input: [seed length][chunking seed][seed bytes][ciphertext]. Checks that the plaintext does
// not depend on the chunking, that it is 8 bytes shorter than the ciphertext, that a reused
// worker gives the same result, and that encrypting it again round-trips.
#include "codec/chaining.hpp"
#include "codec/stream_to_block.hpp"
#include "codec/twofish.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace velora;

struct Selector : IBlockCipherSelector {
    std::shared_ptr<IBlockCipher> GetBlockCipher() override { return std::make_shared<TTwoFish>(); }
    std::shared_ptr<IBlockChainingModel> GetChainMode() override {
        return std::make_shared<TCBC>();
    }
};

IStreamCipher& Cipher() {
    static Selector selector;
    static std::shared_ptr<IStreamCipher> cipher =
        TStreamToBlock_Adapter().MakeParameterized(&selector);
    return *cipher;
}

void Feed(IStreamDecryptor& dec, const std::uint8_t* data, std::size_t size, std::uint32_t rng) {
    TMemoryStream chunk;
    std::size_t at = 0;
    while (at < size) {
        rng = rng * 1103515245u + 12345u;
        // Mostly small pieces, sometimes large ones, always at least one byte.
        const std::size_t want = (rng >> 16) % 4 == 0 ? (rng >> 8) % 2048 + 1 : (rng >> 8) % 20 + 1;
        const std::size_t n = want < size - at ? want : size - at;
        chunk.SetSize(static_cast<std::int64_t>(n));
        std::memcpy(chunk.Memory(), data + at, n);
        chunk.SetPosition(static_cast<std::int64_t>((rng >> 4) % (n + 1)));
        dec.Decrypt(chunk);
        at += n;
    }
    dec.End_Decrypt();
}

Bytes Contents(TMemoryStream& s) {
    return Bytes(s.Memory(), s.Memory() + s.Size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t seedLen = data[0] % 41;
    const std::uint32_t chunking = data[1];
    data += 2;
    size -= 2;
    if (size < seedLen) {
        return 0;
    }
    TMemoryStream seed;
    seed.SetSize(static_cast<std::int64_t>(seedLen));
    if (seedLen > 0) {
        std::memcpy(seed.Memory(), data, seedLen);
    }
    data += seedLen;
    size -= seedLen;

    IStreamCipher& cipher = Cipher();
    auto key = cipher.GenerateKey(seed);

    TMemoryStream whole, pieces;
    auto dec = cipher.Start_Decrypt(*key, whole);
    Feed(*dec, data, size, 0x9E3779B9u);
    const Bytes expected = Contents(whole);
    if (expected.size() != (size > 8 ? size - 8 : 0)) {
        std::abort();
    }

    // The same worker again, after its reset, in other pieces.
    whole.SetSize(0);
    whole.SetPosition(0);
    Feed(*dec, data, size, chunking);
    if (Contents(whole) != expected) {
        std::abort();
    }

    auto dec2 = cipher.Start_Decrypt(*key, pieces);
    Feed(*dec2, data, size, chunking * 2654435761u + 1);
    if (Contents(pieces) != expected) {
        std::abort();
    }

    if (!expected.empty()) {
        TMemoryStream ct, pt, back;
        pt.WriteBuffer(expected.data(), static_cast<std::int64_t>(expected.size()));
        auto enc = cipher.Start_Encrypt(*key, ct);
        enc->Encrypt(pt);
        enc->End_Encrypt();
        auto dec3 = cipher.Start_Decrypt(*key, back);
        Feed(*dec3, ct.Memory(), static_cast<std::size_t>(ct.Size()), chunking);
        if (Contents(back) != expected) {
            std::abort();
        }
    }
    return 0;
}
