#include "http/curl_tls.hpp"

#include "http/http_headers.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <chrono>
#include <memory>
#include <string_view>

#include <time.h>

namespace velora::curltls {
namespace {

int PeerIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

TPeer* PeerOf(SSL* ssl) {
    if (ssl == nullptr)
        return nullptr;
    return static_cast<TPeer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), PeerIndex()));
}

std::string DerOf(X509* certificate) {
    const int size = i2d_X509(certificate, nullptr);
    if (size <= 0)
        return {};
    std::string der(static_cast<std::size_t>(size), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(certificate, &out);
    return der;
}

// Whether the certificate names the host: libcurl checks that itself, but reports a mismatch
// without a reason of its own.
bool NamesHost(X509* certificate, const UnicodeString& host) {
    std::string name = ToUtf8(host);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    return X509_check_host(certificate, name.data(), name.size(), 0, nullptr) == 1 ||
           X509_check_ip_asc(certificate, name.c_str(), 0) == 1;
}

void Keep(TPeer& peer, X509* certificate) {
    peer.Certificate = DerOf(certificate);
    peer.NameMismatch = !NamesHost(certificate, peer.Host);
}

int OnVerify(int ok, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TPeer* peer = PeerOf(ssl);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (peer != nullptr && leaf != nullptr &&
        (X509_STORE_CTX_get_error_depth(store) == 0 || peer->Certificate.empty()))
        Keep(*peer, leaf);
    return ok;
}

void OnInfo(const SSL* ssl, int where, int value) {
    TPeer* peer = PeerOf(const_cast<SSL*>(ssl));
    if (peer == nullptr)
        return;
    if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT && (value & 0xff) == SSL3_AD_CLOSE_NOTIFY)
        peer->CloseNotifyReceived = true;
    // A resumed session verifies nothing, yet libcurl still checks the name: keep the
    // certificate the session carries.
    if ((where & SSL_CB_HANDSHAKE_DONE) != 0)
        if (X509* certificate = SSL_get0_peer_certificate(ssl))
            Keep(*peer, certificate);
}

int OnClientCertificate(SSL* ssl, X509**, EVP_PKEY**) {
    TPeer* peer = PeerOf(ssl);
    if (peer == nullptr)
        return 0;
    peer->ClientCertificateRequested = true;
    // 0 sends no certificate; -1 stops the handshake so that the HTTP layer can decide.
    return peer->ClientCertificateDecided ? 0 : -1;
}

// The issuer of the leaf: from the chain the server sent, else from the trusted store.
X509* IssuerOf(SSL* ssl, X509* leaf, STACK_OF(X509) * chain) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* candidate = sk_X509_value(chain, i);
        if (candidate != leaf && X509_check_issued(candidate, leaf) == X509_V_OK) {
            X509_up_ref(candidate);
            return candidate;
        }
    }
    X509* issuer = nullptr;
    if (X509_STORE_CTX* store = X509_STORE_CTX_new()) {
        if (X509_STORE_CTX_init(store, SSL_CTX_get_cert_store(SSL_get_SSL_CTX(ssl)), leaf,
                                nullptr) == 1 &&
            X509_STORE_CTX_get1_issuer(&issuer, store, leaf) != 1)
            issuer = nullptr;
        X509_STORE_CTX_free(store);
    }
    return issuer;
}

// Whether the stapled OCSP answer, signed by someone the store trusts and current, says that
// the leaf is revoked.
bool StapledRevoked(SSL* ssl, const unsigned char* data, long size) {
    X509* leaf = SSL_get0_peer_certificate(ssl);
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl);
    if (leaf == nullptr)
        return false;
    std::unique_ptr<OCSP_RESPONSE, decltype(&OCSP_RESPONSE_free)> response(
        d2i_OCSP_RESPONSE(nullptr, &data, size), &OCSP_RESPONSE_free);
    if (!response || OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL)
        return false;
    std::unique_ptr<OCSP_BASICRESP, decltype(&OCSP_BASICRESP_free)> basic(
        OCSP_response_get1_basic(response.get()), &OCSP_BASICRESP_free);
    if (!basic ||
        OCSP_basic_verify(basic.get(), chain, SSL_CTX_get_cert_store(SSL_get_SSL_CTX(ssl)), 0) != 1)
        return false;
    std::unique_ptr<X509, decltype(&X509_free)> issuer(IssuerOf(ssl, leaf, chain), &X509_free);
    if (!issuer)
        return false;
    std::unique_ptr<OCSP_CERTID, decltype(&OCSP_CERTID_free)> id(
        OCSP_cert_to_id(nullptr, leaf, issuer.get()), &OCSP_CERTID_free);
    int status = V_OCSP_CERTSTATUS_UNKNOWN, reason = 0;
    ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
    return id &&
           OCSP_resp_find_status(basic.get(), id.get(), &status, &reason, &revokedAt, &thisUpdate,
                                 &nextUpdate) == 1 &&
           status == V_OCSP_CERTSTATUS_REVOKED &&
           OCSP_check_validity(thisUpdate, nextUpdate, 300, -1) == 1;
}

// A stapled answer is checked when there is one; none, or one that cannot be trusted, leaves the
// handshake alone: revocation is never looked up over the network.
int OnCertificateStatus(SSL* ssl, void*) {
    const unsigned char* data = nullptr;
    const long size = SSL_get_tlsext_status_ocsp_resp(ssl, &data);
    if (data == nullptr || size <= 0 || !StapledRevoked(ssl, data, size))
        return 1;
    if (TPeer* peer = PeerOf(ssl))
        peer->Revoked = true;
    return 0;
}

constexpr std::array<THTTPSecureProtocol, 4> kTlsVersions = {
    THTTPSecureProtocol::TLS1, THTTPSecureProtocol::TLS11, THTTPSecureProtocol::TLS12,
    THTTPSecureProtocol::TLS13};

UnicodeString NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr)
        return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    UnicodeString text =
        size > 0 ? DecodeHeaderBytes(std::string_view(data, static_cast<std::size_t>(size)))
                 : UnicodeString();
    BIO_free(bio);
    return text;
}

TCertificate::TDateTime TimeOf(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1)
        return {};
    return TCertificate::TDateTime(std::chrono::seconds(timegm(&tm)));
}

} // namespace

bool IsOpenSsl() {
    static const bool openssl = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        return info != nullptr && info->ssl_version != nullptr &&
               std::string_view(info->ssl_version).starts_with("OpenSSL");
    }();
    return openssl;
}

CURLcode OnSslContext(CURL*, void* context, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    const auto& setup = *static_cast<const TSetup*>(user);
    SSL_CTX_set_ex_data(ctx, PeerIndex(), setup.Peer);
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), &OnVerify);
    SSL_CTX_set_client_cert_cb(ctx, &OnClientCertificate);
    SSL_CTX_set_info_callback(ctx, &OnInfo);
    SSL_CTX_set_tlsext_status_type(ctx, TLSEXT_STATUSTYPE_ocsp);
    // SSL_CTX_set_tlsext_status_cb, without its C cast.
    SSL_CTX_callback_ctrl(ctx, SSL_CTRL_SET_TLSEXT_STATUS_REQ_CB,
                          reinterpret_cast<void (*)()>(&OnCertificateStatus));
    if (setup.GapOptions != 0)
        SSL_CTX_set_options(ctx, static_cast<std::uint64_t>(setup.GapOptions));
    return CURLE_OK;
}

std::string ConnectionCertificate(CURL* easy) {
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr ||
        info->backend != CURLSSLBACKEND_OPENSSL || info->internals == nullptr)
        return {};
    X509* peer = SSL_get1_peer_certificate(static_cast<SSL*>(info->internals));
    if (peer == nullptr)
        return {};
    std::string der = DerOf(peer);
    X509_free(peer);
    return der;
}

THTTPSecureFailureReasons ReasonsFromVerifyResult(long result) {
    using R = THTTPSecureFailureReason;
    switch (result) {
    case 0:
        return {R::CertCNInvalid}; // the chain was fine; libcurl's host name check failed
    case 9:
    case 10:
        return {R::CertDateInvalid};
    case 2:
    case 18:
    case 19:
    case 20:
    case 21:
    case 24:
    case 27:
        return {R::InvalidCA};
    case 23:
        return {R::CertRevoked};
    case 26:
        return {R::CertWrongUsage};
    case 62:
    case 64:
        return {R::CertCNInvalid};
    default:
        return {R::InvalidCert};
    }
}

long SslVersionFor(THTTPSecureProtocols protocols) {
    int lowest = 0, highest = 0;
    for (int i = 3; i >= 0; --i)
        if (protocols.Contains(kTlsVersions[static_cast<std::size_t>(i)]))
            lowest = i;
    for (int i = 0; i < 4; ++i)
        if (protocols.Contains(kTlsVersions[static_cast<std::size_t>(i)]))
            highest = i;
    return (CURL_SSLVERSION_TLSv1_0 + lowest) | ((CURL_SSLVERSION_MAX_TLSv1_0 >> 16) + highest)
                                                    << 16;
}

long SslGapOptions(THTTPSecureProtocols protocols) {
    static constexpr std::array<long, 4> kNo = {SSL_OP_NO_TLSv1, SSL_OP_NO_TLSv1_1,
                                                SSL_OP_NO_TLSv1_2, SSL_OP_NO_TLSv1_3};
    int lowest = -1, highest = -1;
    for (int i = 0; i < 4; ++i)
        if (protocols.Contains(kTlsVersions[static_cast<std::size_t>(i)])) {
            if (lowest < 0)
                lowest = i;
            highest = i;
        }
    long options = 0;
    for (int i = lowest + 1; lowest >= 0 && i < highest; ++i)
        if (!protocols.Contains(kTlsVersions[static_cast<std::size_t>(i)]))
            options |= kNo[static_cast<std::size_t>(i)];
    return options;
}

long NoTlsOptions() {
    return SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 | SSL_OP_NO_TLSv1_2 | SSL_OP_NO_TLSv1_3;
}

bool DescribeCertificate(const std::string& der, TCertificate& certificate, std::string& pin) {
    const auto* in = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<X509, decltype(&X509_free)> x509(
        d2i_X509(nullptr, &in, static_cast<long>(der.size())), &X509_free);
    if (!x509)
        return false;
    X509* x = x509.get();
    certificate = {};
    certificate.Subject = NameText(X509_get_subject_name(x));
    certificate.Issuer = NameText(X509_get_issuer_name(x));
    certificate.Start = TimeOf(X509_get0_notBefore(x));
    certificate.Expiry = TimeOf(X509_get0_notAfter(x));
    if (BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr)) {
        if (char* hex = BN_bn2hex(serial)) {
            certificate.SerialNum = U16(hex);
            OPENSSL_free(hex);
        }
        BN_free(serial);
    }
    const X509_NAME* subject = X509_get_subject_name(x);
    const int cn = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (cn >= 0) {
        unsigned char* utf8 = nullptr;
        const int length =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, cn)));
        if (length >= 0)
            certificate.CertName = DecodeHeaderBytes(
                std::string_view(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length)));
        OPENSSL_free(utf8);
    }
    EVP_PKEY* key = X509_get0_pubkey(x);
    if (key != nullptr) {
        certificate.KeySize = EVP_PKEY_get_bits(key);
        const int size = i2d_PUBKEY(key, nullptr);
        if (size > 0) {
            std::string spki(static_cast<std::size_t>(size), '\0');
            auto* out = reinterpret_cast<unsigned char*>(spki.data());
            i2d_PUBKEY(key, &out);
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int digestSize = 0;
            if (EVP_Digest(spki.data(), spki.size(), digest, &digestSize, EVP_sha256(), nullptr) ==
                1)
                pin = "sha256//" + Base64Encode(std::string_view(
                                       reinterpret_cast<const char*>(digest), digestSize));
        }
    }
    return true;
}

} // namespace velora::curltls
