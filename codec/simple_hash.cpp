#include "codec/simple_hash.hpp"

#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <algorithm>
#include <vector>

namespace velora {

void WipeMemoryStream(TMemoryStream& Stream) noexcept {
    Stream.Burn();
    // Shrinking a memory stream cannot fail.
    Stream.SetSize(0);
}

namespace {

std::unique_ptr<TMemoryStream> MakeSensitiveStream() {
    auto stream = std::make_unique<TMemoryStream>();
    stream->SetSensitive(true);
    return stream;
}

} // namespace

TSimpleHash::TSimpleHash(void* Sender)
    : FSender(Sender != nullptr ? Sender : this), FInputBuffer(MakeSensitiveStream()),
      FOutputValue(MakeSensitiveStream()) {}

TSimpleHash::~TSimpleHash() {
    Burn();
}

void TSimpleHash::SizeBuffers() {
    FInputBufferLen = FHashDsc->BlockBits() / 8;
    FInputBuffer->SetSize(FInputBufferLen);
    FOutputValue->SetSize(FHashDsc->DigestBits() / 8);
}

void TSimpleHash::SetHash(std::shared_ptr<IHashDsc> Value) {
    if (Value == FHashDsc) {
        return;
    }
    if (FHasher) {
        FHasher->Burn();
        FHasher.reset();
    }
    FHashDsc = std::move(Value);
    if (FHashDsc) {
        FHasher = FHashDsc->NewHasher(nullptr);
        SizeBuffers();
    }
}

void TSimpleHash::Begin_Hash() {
    if (!FHashDsc) {
        throw Exception("TSimpleHash.Begin_Hash - without undefined hash algorithm.");
    }
    if (FHasher) {
        FHasher->Burn();
    }
    FHasher = FHashDsc->NewHasher(nullptr);
    SizeBuffers();
    FInputBuffer->SetPosition(0);
    FCount = 0;
    FisUserAborted = false;
}

void TSimpleHash::UpdateMemory(const void* Data, std::int64_t Count) {
    if (!FHasher) {
        throw Exception("TSimpleHash.UpdateMemory - hashing not started.");
    }
    const auto* source = static_cast<const std::uint8_t*>(Data);
    while (Count > 0 && !FisUserAborted) {
        const std::int64_t used = FInputBuffer->Position();
        const std::int64_t n = std::min<std::int64_t>(Count, FInputBufferLen - used);
        FInputBuffer->WriteBuffer(source, n);
        source += n;
        Count -= n;
        FCount += n;
        if (FInputBuffer->Position() == FInputBufferLen) {
            FHasher->Update(*FInputBuffer);
            FInputBuffer->SetPosition(0);
            if (FOnProgress && !FOnProgress(FSender, FCount)) {
                FisUserAborted = true;
            }
        }
    }
}

void TSimpleHash::End_Hash() {
    if (!FHasher) {
        throw Exception("TSimpleHash.End_Hash - hashing not started.");
    }
    FOutputValue->SetSize(FHashDsc->DigestBits() / 8);
    FHasher->End_Hash(*FInputBuffer, *FOutputValue);
    FOutputValue->SetPosition(0);
    FInputBuffer->Burn();
    FHasher.reset();
}

void TSimpleHash::HashText(std::u16string_view Text, const TEncoding& Encoding) {
    Bytes bytes = Encoding.GetBytes(Text);
    try {
        Begin_Hash();
        UpdateMemory(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        End_Hash();
    } catch (...) {
        SecureZero(bytes);
        throw;
    }
    SecureZero(bytes);
}

void TSimpleHash::HashStream(TStream& Source) {
    std::vector<std::uint8_t> chunk(4096);
    try {
        Begin_Hash();
        Source.SetPosition(0);
        for (;;) {
            const std::int64_t n =
                Source.Read(chunk.data(), static_cast<std::int64_t>(chunk.size()));
            if (n <= 0 || FisUserAborted) {
                break;
            }
            UpdateMemory(chunk.data(), n);
        }
        End_Hash();
    } catch (...) {
        SecureZero(chunk);
        throw;
    }
    SecureZero(chunk);
}

void TSimpleHash::Burn() {
    if (FHasher) {
        FHasher->Burn();
        FHasher.reset();
    }
    WipeMemoryStream(*FInputBuffer);
    WipeMemoryStream(*FOutputValue);
    FCount = 0;
    FisUserAborted = false;
}

} // namespace velora
