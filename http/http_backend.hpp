// The platform backend of the HTTP client. Each platform has one file that implements the
// abstract hooks of THTTPClient, THTTPRequest and THTTPResponse over its HTTP service.
#pragma once

namespace velora {

// Registers the platform's client class for "HTTP" and "HTTPS" (once per process).
void RegisterPlatformHTTPClient();

} // namespace velora
