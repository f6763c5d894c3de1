#include "codec/random.hpp"

namespace velora {

TRandomStream& TRandomStream::Instance() {
    static TRandomStream instance;
    return instance;
}

std::int64_t TRandomStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0) {
        return 0;
    }
    GetSystemRandomBytes(buffer, static_cast<std::size_t>(count));
    return count;
}

} // namespace velora
