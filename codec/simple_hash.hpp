// The small hashing engine the codec uses to turn a password into a key seed.
#pragma once

#include "codec/interfaces.hpp"
#include "rtl/encoding.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace velora {

// Progress of a long operation: (Sender, CountBytesProcessed); false asks to stop. Sender only
// identifies the object that reports.
using TOnHashProgress = std::function<bool(void* Sender, std::int64_t CountBytesProcessed)>;

class IHash : public virtual IInterface {
public:
    virtual std::shared_ptr<IHashDsc> Hash() const = 0;
    virtual void SetHash(std::shared_ptr<IHashDsc> Value) = 0;

    virtual void Begin_Hash() = 0;
    virtual void UpdateMemory(const void* Data, std::int64_t Count) = 0;
    virtual void End_Hash() = 0;
    // Hashes the text's bytes in Encoding (no byte-order mark), start to end.
    virtual void HashText(std::u16string_view Text, const TEncoding& Encoding) = 0;
    // Hashes the whole stream from position 0.
    virtual void HashStream(TStream& Source) = 0;
    // The digest of the last completed hash, at position 0.
    virtual TMemoryStream& OutputValue() = 0;
    virtual void Burn() = 0;

    virtual TOnHashProgress OnProgress() const = 0;
    virtual void SetOnProgress(TOnHashProgress Value) = 0;
    virtual bool isUserAborted() const = 0;
};

class TSimpleHash : public IHash {
public:
    // Sender is what the progress handler is told; null means this object.
    explicit TSimpleHash(void* Sender = nullptr);
    ~TSimpleHash() override;
    TSimpleHash(const TSimpleHash&) = delete;
    TSimpleHash& operator=(const TSimpleHash&) = delete;

    std::shared_ptr<IHashDsc> Hash() const override { return FHashDsc; }
    void SetHash(std::shared_ptr<IHashDsc> Value) override;

    // "TSimpleHash.Begin_Hash - without undefined hash algorithm." without a descriptor.
    void Begin_Hash() override;
    // "TSimpleHash.UpdateMemory - hashing not started." outside Begin_Hash ... End_Hash.
    void UpdateMemory(const void* Data, std::int64_t Count) override;
    void End_Hash() override;
    void HashText(std::u16string_view Text, const TEncoding& Encoding) override;
    void HashStream(TStream& Source) override;
    TMemoryStream& OutputValue() override { return *FOutputValue; }
    void Burn() override;

    TOnHashProgress OnProgress() const override { return FOnProgress; }
    void SetOnProgress(TOnHashProgress Value) override { FOnProgress = std::move(Value); }
    bool isUserAborted() const override { return FisUserAborted; }
    std::int64_t Count() const noexcept { return FCount; }

private:
    void SizeBuffers();

    void* FSender;
    std::shared_ptr<IHashDsc> FHashDsc;
    std::shared_ptr<IHasher> FHasher;
    std::int32_t FInputBufferLen = 0;
    std::unique_ptr<TMemoryStream> FInputBuffer;
    std::unique_ptr<TMemoryStream> FOutputValue;
    TOnHashProgress FOnProgress;
    std::int64_t FCount = 0;
    bool FisUserAborted = false;
};

// Overwrites the stream's whole content with zero bytes, then empties it.
void WipeMemoryStream(TMemoryStream& Stream) noexcept;

} // namespace velora
