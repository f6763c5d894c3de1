#include "codec/desalination.hpp"

#include <algorithm>

namespace velora {

std::int64_t TDesalinationWriteStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    const std::int64_t dropped = std::min<std::int64_t>(count, std::max(FSaltVolume, 0));
    FSaltVolume -= static_cast<std::int32_t>(dropped);
    std::int64_t passed = 0;
    if (count > dropped && FFreshwaterStream != nullptr) {
        passed = FFreshwaterStream->Write(static_cast<const std::uint8_t*>(buffer) + dropped,
                                          count - dropped);
    }
    return dropped + passed;
}

std::int64_t TDesalinationWriteStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    return FFreshwaterStream != nullptr ? FFreshwaterStream->Seek(offset, origin) : 0;
}

} // namespace velora
