// Certificates as the WinHTTP backend shows them to the callbacks: the server's, described, and
// the user's own for a server that asks for one. Windows only.
#pragma once

#include "http/http_client.hpp"

#include <windows.h>
#include <winhttp.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <vector>

namespace velora::winhttp {

// The server certificate of the request's connection, or nullptr; the caller frees it.
PCCERT_CONTEXT ServerCertificateContext(HINTERNET request);

// The request's server certificate as encoded; empty when there is none.
std::vector<BYTE> ServerCertificateEncoding(HINTERNET request);

// The description of the request's server certificate; false when there is none.
bool DescribeServerCertificate(HINTERNET request, TCertificate& certificate);

// The user's personal certificates whose issuer a server named (all when it named none), read
// once and kept.
class TClientCertificates {
public:
    TClientCertificates() = default;
    TClientCertificates(const TClientCertificates&) = delete;
    TClientCertificates& operator=(const TClientCertificates&) = delete;
    ~TClientCertificates();

    // The list for the server of the request, read on first use.
    const TCertificateList& List(HINTERNET request);
    // Hands the certificate (nullptr: none) to the request; false when the platform refuses
    // it or the list does not hold it.
    bool Choose(HINTERNET request, const TCertificate* certificate);

private:
    bool FRead = false;
    TCertificateList FList;
    std::vector<PCCERT_CONTEXT> FContexts;
};

} // namespace velora::winhttp
