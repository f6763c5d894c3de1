// Values fixed when an executable is built (cmake/BuildConfig.cmake generates their definitions,
// one set per executable, so a test build can aim at a local server).
#pragma once

namespace velora {

extern const char* const kServer;           // scheme://host[:port] of the product web server
extern const char* const kServiceApiServer; // scheme://host[:port] of the second API service
extern const char* const kExtraCaFile;      // CA bundle trusted besides the system store, or ""

} // namespace velora
