#include "http/http_backend.hpp"

namespace velora {
void RegisterPlatformHTTPClient() {}
} // namespace velora
