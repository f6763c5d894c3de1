// The operating system's cryptographic random source.
#pragma once

#include "rtl/streams.hpp"

#include <cstddef>

namespace velora {

// Fills data with size bytes from the platform's cryptographic generator. A failure raises
// Exception "Cannot read the system's random source (%d) %s" with the platform's error.
void GetSystemRandomBytes(void* data, std::size_t size);

// The process-wide random stream: every read comes straight from the system's generator, so no
// value an attacker could predict (a counter or time stamp) ever becomes a nonce or salt.
// Writing, seeking and resizing do nothing.
class TRandomStream : public TStream {
public:
    static TRandomStream& Instance();

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return 0; }
    void SetSize(std::int64_t) override {}
    std::int64_t Size() override { return 0; }

private:
    TRandomStream() = default;
};

} // namespace velora
