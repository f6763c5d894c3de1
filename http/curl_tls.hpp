// The libcurl backend's TLS hooks. libcurl runs on OpenSSL here; the hooks see each handshake of
// a request's connections: they keep the server's certificate for the validation callbacks and
// stop a handshake in which the server asks for a client certificate before the client has
// decided.
#pragma once

#include "http/http_client.hpp"

#include <curl/curl.h>

#include <string>

namespace velora::curltls {

// What the hooks learn about the handshakes of one request, and what they are told.
struct TPeer {
    // The host the request was sent to, which the certificate must name.
    UnicodeString Host;
    // The leaf certificate of the last handshake (DER), kept for the validation callbacks.
    std::string Certificate;
    // The certificate of the last handshake does not name Host.
    bool NameMismatch = false;
    // The server asked for a client certificate during the last handshake.
    bool ClientCertificateRequested = false;
    // SelectClientCertificate has decided: send none.
    bool ClientCertificateDecided = false;
    // The server ended its side of the connection with the TLS close alert, not just by
    // closing the transport.
    bool CloseNotifyReceived = false;
    // The server stapled a signed answer that its certificate is revoked.
    bool Revoked = false;
};

// What OnSslContext installs on a connection's TLS context.
struct TSetup {
    TPeer* Peer = nullptr;
    // SSL_OP_NO_TLS* options for versions inside the configured range that the set leaves out.
    long GapOptions = 0;
};

// The hooks need OpenSSL underneath libcurl.
bool IsOpenSsl();

// CURLOPT_SSL_CTX_FUNCTION; the data is a TSetup.
CURLcode OnSslContext(CURL* easy, void* context, void* setup);

// The certificate of the transfer's current connection (a resumed session verifies nothing,
// so the hooks have not seen it); empty when there is none.
std::string ConnectionCertificate(CURL* easy);

// Certificate verification results (X509_V_ERR_*) as failure reasons.
THTTPSecureFailureReasons ReasonsFromVerifyResult(long result);

// CURLOPT_SSLVERSION for a set with a TLS version: the range from its lowest to its highest.
long SslVersionFor(THTTPSecureProtocols protocols);
// The versions inside that range that the set leaves out, as SSL_OP_NO_TLS* options.
long SslGapOptions(THTTPSecureProtocols protocols);
// The options that leave no TLS version at all.
long NoTlsOptions();

// The certificate's description and the pin of its public key ("sha256//" and Base64).
bool DescribeCertificate(const std::string& der, TCertificate& certificate, std::string& pin);

} // namespace velora::curltls
