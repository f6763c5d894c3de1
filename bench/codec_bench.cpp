// Twofish, the CBC path of the stream-to-block adapter and the codec's own decryption driver,
// each beside nettle's Twofish in the same run. The summary at the end prints project time / nettle
// time for each pair (below 1.0 means faster than nettle) and the heap allocations counted while
// decrypting 1 MiB.
#include "codec/codec.hpp"
#include "codec/stream_to_block.hpp"
#include "codec/twofish.hpp"

#include <benchmark/benchmark.h>
#include <nettle/base64.h>
#include <nettle/cbc.h>
#include <nettle/twofish.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <string>

// The replaced global allocation functions below pair malloc with free; GCC cannot see that
// through the inlined replacements and warns.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<long long> gAllocations{0};

} // namespace

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace velora;

constexpr std::size_t kBufferBytes = 4096;
constexpr std::size_t kMiB = 1 << 20;

Bytes Random(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b) {
        v = static_cast<std::uint8_t>(rng());
    }
    return b;
}

const Bytes& Key24() {
    static const Bytes k = Random(24, 1);
    return k;
}

void NettleDecFunc(const void* ctx, std::size_t length, std::uint8_t* dst,
                   const std::uint8_t* src) {
    twofish_decrypt(static_cast<const twofish_ctx*>(ctx), length, dst, src);
}

// ---- block encryption and decryption, 4 KiB per iteration

void BM_Encrypt_Velora(benchmark::State& state) {
    auto key = TTwofishKey::FromRawKey(Key24().data(), Key24().size());
    Bytes buf = Random(kBufferBytes, 2);
    for (auto _ : state) {
        key->EncryptBlocks(buf.data(), buf.data(), buf.size() / 16);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}

void BM_Encrypt_Nettle(benchmark::State& state) {
    twofish_ctx ctx;
    twofish_set_key(&ctx, Key24().size(), Key24().data());
    Bytes buf = Random(kBufferBytes, 2);
    for (auto _ : state) {
        twofish_encrypt(&ctx, buf.size(), buf.data(), buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}

void BM_Decrypt_Velora(benchmark::State& state) {
    auto key = TTwofishKey::FromRawKey(Key24().data(), Key24().size());
    Bytes buf = Random(kBufferBytes, 3);
    for (auto _ : state) {
        key->DecryptBlocks(buf.data(), buf.data(), buf.size() / 16);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}

void BM_Decrypt_Nettle(benchmark::State& state) {
    twofish_ctx ctx;
    twofish_set_key(&ctx, Key24().size(), Key24().data());
    Bytes buf = Random(kBufferBytes, 3);
    for (auto _ : state) {
        twofish_decrypt(&ctx, buf.size(), buf.data(), buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferBytes));
}

// One block per call, as a chaining link asks for it.
void BM_EncryptOneBlock_Velora(benchmark::State& state) {
    auto key = TTwofishKey::FromRawKey(Key24().data(), Key24().size());
    Bytes buf = Random(16, 2);
    for (auto _ : state) {
        key->EncryptBlock(buf.data(), buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 16));
}

void BM_EncryptOneBlock_Nettle(benchmark::State& state) {
    twofish_ctx ctx;
    twofish_set_key(&ctx, Key24().size(), Key24().data());
    Bytes buf = Random(16, 2);
    for (auto _ : state) {
        twofish_encrypt(&ctx, 16, buf.data(), buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 16));
}

void BM_DecryptOneBlock_Velora(benchmark::State& state) {
    auto key = TTwofishKey::FromRawKey(Key24().data(), Key24().size());
    Bytes buf = Random(16, 3);
    for (auto _ : state) {
        key->DecryptBlock(buf.data(), buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 16));
}

void BM_DecryptOneBlock_Nettle(benchmark::State& state) {
    twofish_ctx ctx;
    twofish_set_key(&ctx, Key24().size(), Key24().data());
    Bytes buf = Random(16, 3);
    for (auto _ : state) {
        twofish_decrypt(&ctx, 16, buf.data(), buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 16));
}

// One block through the block-codec interface (memory streams), as the chaining links call it.
void BM_BlockCodecInterface_Velora(benchmark::State& state) {
    auto key = TTwofishKey::FromRawKey(Key24().data(), Key24().size());
    auto cipher = std::make_shared<TTwoFish>();
    auto codec = cipher->MakeBlockCodec(*key);
    TMemoryStream block;
    block.SetSize(16);
    for (auto _ : state) {
        codec->Decrypt_Block(block, block);
        benchmark::DoNotOptimize(block.Memory());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 16));
}

// ---- key schedule

void BM_KeySchedule_Velora(benchmark::State& state) {
    const Bytes k = Random(static_cast<std::size_t>(state.range(0)), 4);
    for (auto _ : state) {
        auto key = TTwofishKey::FromRawKey(k.data(), k.size());
        benchmark::DoNotOptimize(key->SubKeys().data());
    }
}

void BM_KeySchedule_Nettle(benchmark::State& state) {
    const Bytes k = Random(static_cast<std::size_t>(state.range(0)), 4);
    twofish_ctx ctx;
    for (auto _ : state) {
        twofish_set_key(&ctx, k.size(), k.data());
        benchmark::DoNotOptimize(&ctx);
    }
}

// ---- CBC decryption of 1 MiB: the adapter fed in 1,024-byte chunks as the codec feeds it,
// beside nettle's CBC over the same body.

struct Selector : IBlockCipherSelector {
    std::shared_ptr<IBlockCipher> GetBlockCipher() override { return std::make_shared<TTwoFish>(); }
    std::shared_ptr<IBlockChainingModel> GetChainMode() override {
        return std::make_shared<TCBC>();
    }
};

void BM_CbcDecrypt1MiB_Velora(benchmark::State& state) {
    Selector sel;
    auto cipher = TStreamToBlock_Adapter().MakeParameterized(&sel);
    TMemoryStream seed;
    seed.WriteBuffer(Key24().data(), 20);
    auto key = cipher->GenerateKey(seed);
    const Bytes pt = Random(kMiB, 5);
    TMemoryStream ct, chunk;
    {
        auto enc = cipher->Start_Encrypt(*key, ct);
        chunk.WriteBuffer(pt.data(), static_cast<std::int64_t>(pt.size()));
        enc->Encrypt(chunk);
        enc->End_Encrypt();
    }
    TMemoryStream out;
    out.Reserve(static_cast<std::int64_t>(kMiB));
    auto dec = cipher->Start_Decrypt(*key, out);
    chunk.SetSize(1024);
    long long allocations = 0;
    for (auto _ : state) {
        out.SetSize(0);
        out.SetPosition(0);
        const long long before = gAllocations.load();
        for (std::int64_t at = 0; at < ct.Size(); at += 1024) {
            const std::int64_t n = std::min<std::int64_t>(1024, ct.Size() - at);
            if (n != chunk.Size()) {
                chunk.SetSize(n);
            }
            std::memcpy(chunk.Memory(), ct.Memory() + at, static_cast<std::size_t>(n));
            dec->Decrypt(chunk);
        }
        dec->End_Decrypt();
        allocations = gAllocations.load() - before;
        benchmark::DoNotOptimize(out.Memory());
    }
    if (std::memcmp(out.Memory(), pt.data(), pt.size()) != 0) {
        state.SkipWithError("round trip failed");
    }
    state.counters["allocs_per_MiB"] = static_cast<double>(allocations);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}

void BM_CbcDecrypt1MiB_Nettle(benchmark::State& state) {
    twofish_ctx ctx;
    Bytes key = Key24();
    std::fill(key.begin() + 20, key.end(), 0);
    twofish_set_key(&ctx, key.size(), key.data());
    const Bytes ct = Random(kMiB, 6);
    Bytes out(kMiB);
    for (auto _ : state) {
        std::uint8_t iv[16] = {};
        nettle_cbc_decrypt(&ctx, &NettleDecFunc, 16, iv, ct.size(), out.data(), ct.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}

// ---- the codec component over the same body: its message driver (memory form, 1,024-byte
// pieces) and one credential-sized DecryptString, beside nettle doing the same work.

struct BenchCodec {
    TCryptographicLibrary library;
    TCodec codec;
    BenchCodec() {
        codec.SetCryptoLibrary(&library);
        codec.SetStreamCipherId(u"native.StreamToBlock");
        codec.SetBlockCipherId(u"native.Twofish");
        codec.SetChainModeId(u"native.CBC");
        codec.SetPassword(UnicodeString(256, u'p'));
    }
    ~BenchCodec() { codec.SetCryptoLibrary(nullptr); }
};

void BM_CodecDecrypt1MiB_Velora(benchmark::State& state) {
    BenchCodec b;
    const Bytes pt = Random(kMiB, 7);
    TMemoryStream plain, ct, out;
    plain.WriteBuffer(pt.data(), static_cast<std::int64_t>(pt.size()));
    b.codec.EncryptStream(plain, ct);
    out.Reserve(static_cast<std::int64_t>(kMiB));
    for (auto _ : state) {
        out.SetSize(0);
        out.SetPosition(0);
        b.codec.Begin_DecryptMemory(out);
        b.codec.DecryptMemory(ct.Memory(), ct.Size());
        b.codec.End_DecryptMemory();
        benchmark::DoNotOptimize(out.Memory());
    }
    if (out.Size() != static_cast<std::int64_t>(pt.size()) ||
        std::memcmp(out.Memory(), pt.data(), pt.size()) != 0) {
        state.SkipWithError("round trip failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}

void BM_CodecDecrypt1MiB_Nettle(benchmark::State& state) {
    BM_CbcDecrypt1MiB_Nettle(state);
}

// 128 bytes of text, 184 characters of Base64: the size of most stored credentials.
constexpr std::size_t kCredentialBytes = 128;

void BM_CodecDecryptString_Velora(benchmark::State& state) {
    BenchCodec b;
    const UnicodeString text(kCredentialBytes, u'c');
    UnicodeString base64, back;
    b.codec.EncryptString(text, base64, TEncoding::UTF8());
    for (auto _ : state) {
        b.codec.DecryptString(back, base64, TEncoding::UTF8());
        benchmark::DoNotOptimize(back.data());
    }
    if (back != text) {
        state.SkipWithError("round trip failed");
    }
}

void BM_CodecDecryptString_Nettle(benchmark::State& state) {
    twofish_ctx ctx;
    twofish_set_key(&ctx, Key24().size(), Key24().data());
    const Bytes body = Random(8 + kCredentialBytes, 8);
    std::string base64(BASE64_ENCODE_RAW_LENGTH(body.size()), '\0');
    nettle_base64_encode_raw(base64.data(), body.size(), body.data());
    Bytes decoded(BASE64_DECODE_LENGTH(base64.size()));
    Bytes out(kCredentialBytes);
    for (auto _ : state) {
        base64_decode_ctx b64;
        nettle_base64_decode_init(&b64);
        std::size_t n = decoded.size();
        nettle_base64_decode_update(&b64, &n, decoded.data(), base64.size(), base64.data());
        std::uint8_t iv[16] = {};
        std::memcpy(iv, decoded.data(), 8);
        nettle_cbc_decrypt(&ctx, &NettleDecFunc, 16, iv, kCredentialBytes, out.data(),
                           decoded.data() + 8);
        benchmark::DoNotOptimize(out.data());
    }
}

BENCHMARK(BM_Encrypt_Velora);
BENCHMARK(BM_Encrypt_Nettle);
BENCHMARK(BM_Decrypt_Velora);
BENCHMARK(BM_Decrypt_Nettle);
BENCHMARK(BM_EncryptOneBlock_Velora);
BENCHMARK(BM_EncryptOneBlock_Nettle);
BENCHMARK(BM_DecryptOneBlock_Velora);
BENCHMARK(BM_DecryptOneBlock_Nettle);
BENCHMARK(BM_BlockCodecInterface_Velora);
BENCHMARK(BM_KeySchedule_Velora)->Arg(16)->Arg(24)->Arg(32);
BENCHMARK(BM_KeySchedule_Nettle)->Arg(16)->Arg(24)->Arg(32);
BENCHMARK(BM_CbcDecrypt1MiB_Velora)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CbcDecrypt1MiB_Nettle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecDecrypt1MiB_Velora)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecDecrypt1MiB_Nettle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecDecryptString_Velora);
BENCHMARK(BM_CodecDecryptString_Nettle);

// Keeps every run's CPU time per iteration (the machine is shared, so wall time is noisy) so the
// ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) {
                continue;
            }
            // With repetitions, the median stands for the benchmark.
            const bool single = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (single || median) {
                Times[r.run_name.str()] =
                    r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            }
        }
    }
    std::map<std::string, double> Times;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nproject / nettle CPU time ratio (below 1.00 is faster than nettle):\n");
    for (const auto& [name, time] : reporter.Times) {
        const auto at = name.find("_Velora");
        if (at == std::string::npos) {
            continue;
        }
        std::string other = name;
        other.replace(at, 7, "_Nettle");
        const auto it = reporter.Times.find(other);
        if (it != reporter.Times.end() && it->second > 0) {
            std::printf("  %-40s %.2f\n",
                        name.substr(3, at - 3).append(name.substr(at + 7)).c_str(),
                        time / it->second);
        }
    }
    return 0;
}
