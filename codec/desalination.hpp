// A write-only filter stream that drops the first bytes written to it (the salt) and passes the
// rest on to its target.
#pragma once

#include "rtl/streams.hpp"

#include <cstdint>

namespace velora {

class TDesalinationWriteStream : public TStream {
public:
    static constexpr std::int32_t kDefaultSaltVolume = 8;

    TStream* FreshwaterStream() const noexcept { return FFreshwaterStream; }
    void SetFreshwaterStream(TStream* Value) noexcept { FFreshwaterStream = Value; }
    std::int32_t SaltVolume() const noexcept { return FSaltVolume; }
    void SetSaltVolume(std::int32_t Value) noexcept { FSaltVolume = Value; }

    std::int64_t Read(void*, std::int64_t) override { return 0; }
    // Reports the dropped bytes plus the bytes the target took.
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    void SetSize(std::int64_t) override {}
    std::int64_t Size() override { return 0; }

private:
    TStream* FFreshwaterStream = nullptr;
    std::int32_t FSaltVolume = kDefaultSaltVolume;
};

} // namespace velora
