// The HTTP client's backend on libcurl: one easy handle per request, reopened per redirect
// target. libcurl only moves bytes here; redirects, cookies, proxy choice and the default
// headers it would add are the HTTP layer's business and are switched off.
#include "http/http_backend.hpp"
#include "http/http_client.hpp"
#include "http/http_headers.hpp"
#include "http/system_proxy.hpp"
#include "rtl/build_config.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <chrono>
#include <csignal>
#include <exception>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>

#include <pthread.h>
#include <sys/mman.h>
#include <time.h>

namespace velora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::u16string_view kSendMessage = u"Error sending data: (%d) %s";
constexpr std::u16string_view kReceiveMessage = u"Error receiving data: (%d) %s";
constexpr std::u16string_view kReadMessage = u"Error reading data: (%d) %s";
constexpr long kReceiveBufferSize = 256 * 1024;

UnicodeString CurlText(CURLcode code) {
    return U16(curl_easy_strerror(code));
}

CURLcode GlobalInit() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

std::string ReadWholeFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where the build's extra CA file is trusted besides the system store. With the system's
// hashed certificate folder the extra file is the CA file and the folder supplies the rest,
// looked up by need; otherwise both are joined into one PEM block. Nothing to do when the build
// names no extra file.
struct TTrust {
    std::string CaFile;
    std::string CaPath;
    std::string Bundle;
};

const TTrust& Trust() {
    static std::once_flag once;
    static TTrust trust;
    std::call_once(once, [] {
        // A named file that cannot be read leaves the system store alone in charge.
        if (kExtraCaFile == nullptr || *kExtraCaFile == '\0' || !std::ifstream(kExtraCaFile))
            return;
        std::string systemFile, systemPath;
        if (CURL* probe = curl_easy_init()) {
            char* text = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &text) == CURLE_OK && text != nullptr)
                systemFile = text;
            text = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &text) == CURLE_OK && text != nullptr)
                systemPath = text;
            curl_easy_cleanup(probe);
        }
        if (!systemPath.empty()) {
            trust.CaFile = kExtraCaFile;
            trust.CaPath = systemPath;
        } else {
            trust.Bundle = ReadWholeFile(systemFile.c_str()) + "\n" + ReadWholeFile(kExtraCaFile);
        }
    });
    return trust;
}

// A peer that closed the connection must not kill the process with SIGPIPE, whatever the
// rest of the program does with that signal: block it on this thread while the transfer runs
// and swallow one that became pending.
class TSigPipeGuard {
public:
    TSigPipeGuard() {
        sigemptyset(&FPipe);
        sigaddset(&FPipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &FPipe, &FOld);
        sigset_t pending;
        sigpending(&pending);
        FWasPending = sigismember(&pending, SIGPIPE) == 1;
    }
    ~TSigPipeGuard() {
        if (!FWasPending) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                const timespec zero{};
                sigtimedwait(&FPipe, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
    }
    TSigPipeGuard(const TSigPipeGuard&) = delete;
    TSigPipeGuard& operator=(const TSigPipeGuard&) = delete;

private:
    sigset_t FPipe{};
    sigset_t FOld{};
    bool FWasPending = false;
};

// Certificate verification results (X509_V_ERR_*) as failure reasons.
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

// A large body is written once from start to end; large pages spare most of the page faults
// that touching it costs, which otherwise take more time than receiving it.
void PreferLargePages([[maybe_unused]] void* memory, [[maybe_unused]] std::int64_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kLarge = 2 * 1024 * 1024;
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t first = (start + kLarge - 1) & ~(kLarge - 1);
    const std::uintptr_t last = (start + static_cast<std::uintptr_t>(size)) & ~(kLarge - 1);
    if (memory != nullptr && last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

std::string HeaderLine(const TNameValuePair& header) {
    // A line break inside a name or value would start a header of the peer's choosing.
    auto clean = [](const UnicodeString& text) {
        std::string s = ToUtf8(text);
        for (char& c : s)
            if (c == '\r' || c == '\n')
                c = ' ';
        return s;
    };
    const std::string value = clean(header.Value);
    // "Name:" alone would remove the header; "Name;" sends it empty.
    return value.empty() ? clean(header.Name) + ";" : clean(header.Name) + ": " + value;
}

class TCurlHTTPRequest final : public THTTPRequest {
public:
    TCurlHTTPRequest(THTTPClient& client, UnicodeString method, TURI url)
        : THTTPRequest(client, std::move(method), std::move(url)) {}
    ~TCurlHTTPRequest() override { Close(); }

    CURL* Easy() const { return FEasy; }
    std::mutex& Lock() { return FLock; }

    // The leaf certificate of the last handshake (DER), kept for the validation callbacks.
    std::string FPeerCertificate;
    // The public key pin of the certificate last shown to a callback.
    std::string FPeerPin;
    // The certificate of the last handshake does not name the request's host.
    bool FNameMismatch = false;
    // The server asked for a client certificate during the last handshake.
    bool FClientCertificateRequested = false;
    // SelectClientCertificate has decided: send none.
    bool FClientCertificateDecided = false;
    // The schemes the last challenges offered (THTTPAuthScheme flags).
    std::uint32_t FServerSchemes = 0;
    std::uint32_t FProxySchemes = 0;

protected:
    void DoOpenRequestHandles() override {
        Close();
        FEasy = curl_easy_init();
        if (FEasy == nullptr)
            throw ENetHTTPRequestException(
                Format(u"Error opening request: (%d) %s",
                       {CURLE_OUT_OF_MEMORY, CurlText(CURLE_OUT_OF_MEMORY)}));
        FPeerCertificate.clear();
        FClientCertificateRequested = false;
        FClientCertificateDecided = false;
        FServerSchemes = FProxySchemes = 0;
    }

private:
    void Close() {
        if (FEasy != nullptr) {
            curl_easy_cleanup(FEasy);
            FEasy = nullptr;
        }
    }

    CURL* FEasy = nullptr;
};

// ---------------------------------------------------------------------------------------------
// TLS hooks. libcurl runs on OpenSSL here; the hooks see each handshake of a request's
// connections: they keep the server's certificate for the validation callbacks and stop a
// handshake in which the server asks for a client certificate before the client has decided.

bool TlsIsOpenSsl() {
    static const bool openssl = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        return info != nullptr && info->ssl_version != nullptr &&
               std::string_view(info->ssl_version).starts_with("OpenSSL");
    }();
    return openssl;
}

int RequestIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

TCurlHTTPRequest* RequestOf(SSL* ssl) {
    if (ssl == nullptr)
        return nullptr;
    return static_cast<TCurlHTTPRequest*>(
        SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), RequestIndex()));
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

int OnVerify(int ok, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TCurlHTTPRequest* request = RequestOf(ssl);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (request != nullptr && leaf != nullptr &&
        (X509_STORE_CTX_get_error_depth(store) == 0 || request->FPeerCertificate.empty())) {
        request->FPeerCertificate = DerOf(leaf);
        request->FNameMismatch = !NamesHost(leaf, request->GetURL().Host());
    }
    return ok;
}

// A resumed session verifies nothing, yet libcurl still checks the name: keep the certificate
// the session carries.
void OnHandshakeInfo(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_DONE) == 0)
        return;
    TCurlHTTPRequest* request = RequestOf(const_cast<SSL*>(ssl));
    X509* peer = SSL_get0_peer_certificate(ssl);
    if (request != nullptr && peer != nullptr) {
        request->FPeerCertificate = DerOf(peer);
        request->FNameMismatch = !NamesHost(peer, request->GetURL().Host());
    }
}

int OnClientCertificate(SSL* ssl, X509**, EVP_PKEY**) {
    TCurlHTTPRequest* request = RequestOf(ssl);
    if (request == nullptr)
        return 0;
    request->FClientCertificateRequested = true;
    // 0 sends no certificate; -1 stops the handshake so that the HTTP layer can decide.
    return request->FClientCertificateDecided ? 0 : -1;
}

constexpr std::array<THTTPSecureProtocol, 4> kTlsVersions = {
    THTTPSecureProtocol::TLS1, THTTPSecureProtocol::TLS11, THTTPSecureProtocol::TLS12,
    THTTPSecureProtocol::TLS13};

bool HasTls(THTTPSecureProtocols protocols) {
    for (auto version : kTlsVersions)
        if (protocols.Contains(version))
            return true;
    return false;
}

// CURLOPT_SSLVERSION for a set with a TLS version: the range from its lowest to its highest
// TLS version (SSL 2 and 3 are gone from the TLS library).
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

// The versions inside that range that the set leaves out.
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

struct TTlsSetup {
    TCurlHTTPRequest* Request = nullptr;
    long GapOptions = 0;
};

CURLcode OnSslContext(CURL*, void* context, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    const auto& setup = *static_cast<const TTlsSetup*>(user);
    SSL_CTX_set_ex_data(ctx, RequestIndex(), setup.Request);
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), &OnVerify);
    SSL_CTX_set_client_cert_cb(ctx, &OnClientCertificate);
    SSL_CTX_set_info_callback(ctx, &OnHandshakeInfo);
    if (setup.GapOptions != 0)
        SSL_CTX_set_options(ctx, static_cast<std::uint64_t>(setup.GapOptions));
    return CURLE_OK;
}

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

// The certificate's description and the pin of its public key ("sha256//" and Base64).
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

class TCurlHTTPResponse final : public THTTPResponse {
public:
    TCurlHTTPResponse(std::shared_ptr<THTTPRequest> request, TStream* content,
                      THTTPCompressionMethods automaticDecompression)
        : THTTPResponse(std::move(request), content, automaticDecompression) {}

    void Received(std::string headerBlock, std::int32_t status) {
        FHeaderBlock = std::move(headerBlock);
        FStatus = status;
        DropHeaderCache();
    }

    // A body that broke off after its headers arrived; reported when the body is read.
    std::optional<TPlatformError> FBodyError;
    std::exception_ptr FBodyException;

protected:
    UnicodeString DoGetHeaderBlock() override { return DecodeHeaderBytes(FHeaderBlock); }
    std::int32_t DoGetStatusCode() override { return FStatus; }
    UnicodeString DoGetStatusText() override {
        // "HTTP/1.1 200 OK": the text after the second blank of the status line.
        const std::string_view line = StatusLine();
        const auto first = line.find(' ');
        if (first == std::string_view::npos)
            return {};
        const auto second = line.find(' ', first + 1);
        return second == std::string_view::npos ? UnicodeString()
                                                : DecodeHeaderBytes(line.substr(second + 1));
    }
    UnicodeString DoGetVersionText() override {
        const std::string_view line = StatusLine();
        return DecodeHeaderBytes(line.substr(0, line.find(' ')));
    }

private:
    std::string_view StatusLine() const {
        std::string_view line(FHeaderBlock);
        line = line.substr(0, line.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return line;
    }

    std::string FHeaderBlock;
    std::int32_t FStatus = 0;
};

// What the callbacks of one transfer share.
struct TTransfer {
    TTransfer(CURL* easy, THTTPClient& client, TCurlHTTPRequest& request, TStream& stream,
              TMemoryStream* ownStream)
        : Easy(easy), Client(client), Request(request), Stream(stream), OwnStream(ownStream) {}

    CURL* Easy;
    THTTPClient& Client;
    TCurlHTTPRequest& Request;
    TStream& Stream;
    TMemoryStream* OwnStream;
    Clock::time_point Start = Clock::now();
    Clock::time_point LastActivity = Start;
    bool Connected = false;
    bool RequestSent = false;
    bool TimedOut = false;
    bool Cancelled = false;
    bool CertificateRefused = false;
    bool Reserved = false;
    bool HeadersDone = false;
    std::int32_t Status = 0;
    std::string Block;
    bool BlockEnded = true;
    std::int32_t BlockStatus = 0;
    // A proxy's answer to CONNECT: returned as the response when the tunnel was refused.
    std::string ProxyBlock;
    std::int32_t ProxyStatus = 0;
    std::exception_ptr WriteError;
    std::exception_ptr CallbackError;
    std::function<bool()> BeforeSend;

    static std::int32_t StatusOf(std::string_view line) {
        // "HTTP/1.1 200 OK"
        const auto blank = line.find(' ');
        std::int32_t code = 0;
        for (std::size_t i = blank == std::string_view::npos ? line.size() : blank + 1;
             i < line.size() && line[i] >= '0' && line[i] <= '9' && code < 100000; ++i)
            code = code * 10 + (line[i] - '0');
        return code;
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
        auto& t = *static_cast<TTransfer*>(user);
        const size_t length = size * count;
        t.LastActivity = Clock::now();
        const std::string_view line(data, length);
        if (t.BlockEnded && line.starts_with("HTTP/")) {
            // A new block: a proxy's CONNECT answer, an interim 1xx, an answer libcurl acted
            // on itself (an authentication round), or the final one.
            t.Block.clear();
            t.BlockEnded = false;
            t.HeadersDone = false;
            t.BlockStatus = StatusOf(line);
        } else if (t.HeadersDone) {
            return length; // trailers of a chunked body
        }
        t.Block.append(line);
        if (line == "\r\n" || line == "\n") {
            t.BlockEnded = true;
            long code = 0;
            curl_easy_getinfo(t.Easy, CURLINFO_RESPONSE_CODE, &code);
            if (code == 0) {
                // No server answer yet: this block came from the proxy.
                t.ProxyBlock = std::move(t.Block);
                t.ProxyStatus = t.BlockStatus;
                t.Block.clear();
            } else if (t.BlockStatus < 100 || t.BlockStatus >= 200) {
                t.HeadersDone = true;
                t.Status = t.BlockStatus;
            }
        }
        return length;
    }

    // Called once the connection stands, just before the request goes out.
    static int OnPrereq(void* user, char*, char*, int, int) {
        auto& t = *static_cast<TTransfer*>(user);
        t.RequestSent = true;
        t.Connected = true;
        t.LastActivity = Clock::now();
        if (!t.BeforeSend)
            return CURL_PREREQFUNC_OK;
        try {
            if (t.BeforeSend())
                return CURL_PREREQFUNC_OK;
            t.CertificateRefused = true;
        } catch (...) {
            t.CallbackError = std::current_exception();
        }
        return CURL_PREREQFUNC_ABORT;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* user) {
        auto& t = *static_cast<TTransfer*>(user);
        const size_t length = size * count;
        t.LastActivity = Clock::now();
        try {
            if (!t.Reserved) {
                t.Reserved = true;
                curl_off_t expected = -1;
                curl_easy_getinfo(t.Easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
                // One allocation for a body of known size instead of repeated growth; when it
                // cannot be had, growth on demand still reports a real shortage.
                if (t.OwnStream != nullptr && expected > 0) {
                    try {
                        t.OwnStream->Reserve(t.OwnStream->Position() + expected);
                        PreferLargePages(t.OwnStream->Memory(), t.OwnStream->Capacity());
                    } catch (const EStreamError&) {
                    }
                }
            }
            t.Stream.WriteBuffer(data, static_cast<std::int64_t>(length));
            return length;
        } catch (...) {
            t.WriteError = std::current_exception();
            return 0;
        }
    }

    // Runs about once a second and on activity: cancellation and the silence timeouts.
    static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto& t = *static_cast<TTransfer*>(user);
        if (t.Request.IsCancelled()) {
            t.Cancelled = true;
            return 1;
        }
        const auto now = Clock::now();
        using std::chrono::milliseconds;
        if (!t.Connected) {
            // Until the connection stands, the connect timeout is in charge.
            curl_off_t pretransfer = 0;
            curl_easy_getinfo(t.Easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            const bool connectOver = t.Request.ConnectionTimeout() > 0 &&
                                     now - t.Start >= milliseconds(t.Request.ConnectionTimeout());
            if (pretransfer <= 0 && !connectOver)
                return 0;
            t.Connected = true;
            t.LastActivity = std::max(t.LastActivity, now); // silence counts from here
            return 0;
        }
        const std::int32_t limit =
            t.RequestSent ? t.Request.ResponseTimeout() : t.Request.EffectiveSendTimeout();
        if (limit > 0 && now - t.LastActivity > milliseconds(limit)) {
            t.TimedOut = true;
            return 1;
        }
        return 0;
    }
};

class TCurlHTTPClient final : public THTTPClient {
public:
    TCurlHTTPClient() {
        if (GlobalInit() != CURLE_OK)
            throw ENetHTTPClientException(u"Error obtaining session handle");
        FShare = curl_share_init();
        if (FShare == nullptr)
            throw ENetHTTPClientException(u"Error obtaining session handle");
        // Name lookups and TLS sessions are shared by the client's requests.
        curl_share_setopt(FShare, CURLSHOPT_LOCKFUNC, &TCurlHTTPClient::LockShare);
        curl_share_setopt(FShare, CURLSHOPT_UNLOCKFUNC, &TCurlHTTPClient::UnlockShare);
        curl_share_setopt(FShare, CURLSHOPT_USERDATA, this);
        curl_share_setopt(FShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(FShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~TCurlHTTPClient() override { curl_share_cleanup(FShare); }

protected:
    std::shared_ptr<THTTPRequest> DoGetHTTPRequestInstance(const UnicodeString& method,
                                                           const TURI& url) override {
        return std::make_shared<TCurlHTTPRequest>(*this, method, url);
    }

    std::shared_ptr<THTTPResponse>
    DoGetHTTPResponseInstance(const std::shared_ptr<THTTPRequest>& request,
                              TStream* content) override {
        // Once libcurl asks for a compressed body it decodes every encoding it knows, also one
        // it did not ask for: the body text must then not be inflated a second time.
        using C = THTTPCompressionMethod;
        THTTPCompressionMethods decoded = FAutomaticDecompression;
        if (decoded.Contains(C::Deflate) || decoded.Contains(C::GZip))
            decoded.Include(C::Any);
        return std::make_shared<TCurlHTTPResponse>(request, content, decoded);
    }

    TSendOutcome DoSendAndReceive(THTTPRequest& baseRequest, THTTPResponse& baseResponse) override;
    void DoReadResponseBody(THTTPRequest& request, THTTPResponse& response) override;

    TProxyChoice DoSystemProxyFor(const TURI& url) override { return {SystemProxyFor(url), {}}; }

    std::uint32_t DoQueryAuthSchemes(THTTPRequest& request, TAuthTargetType target) override {
        auto& r = static_cast<TCurlHTTPRequest&>(request);
        return target == TAuthTargetType::Server ? r.FServerSchemes : r.FProxySchemes;
    }

    bool DoSetCredentials(THTTPRequest& request, TAuthTargetType target, THTTPAuthScheme scheme,
                          const UnicodeString& userName, const UnicodeString& password) override {
        if (scheme == THTTPAuthScheme::Passport)
            return false; // not a scheme libcurl knows
        auto& options = request.TransportOptions();
        (target == TAuthTargetType::Server ? options.ServerCredential : options.ProxyCredential) =
            THTTPRequest::TTransportOptions::TPlatformCredential{scheme, userName, password};
        return true;
    }

    bool DoGetServerCertificate(THTTPRequest& request, TCertificate& certificate) override {
        auto& r = static_cast<TCurlHTTPRequest&>(request);
        return !r.FPeerCertificate.empty() &&
               DescribeCertificate(r.FPeerCertificate, certificate, r.FPeerPin);
    }

    // No personal certificate store on this platform: the list stays empty.
    TCertificateList DoGetClientCertificates(THTTPRequest&) override { return {}; }

    bool DoSetClientCertificate(THTTPRequest& request, const TCertificate* certificate) override {
        if (certificate != nullptr)
            return false;
        static_cast<TCurlHTTPRequest&>(request).FClientCertificateDecided = true;
        return true;
    }

private:
    static void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<TCurlHTTPClient*>(user)->FShareLocks[Slot(data)].lock();
    }
    static void UnlockShare(CURL*, curl_lock_data data, void* user) {
        static_cast<TCurlHTTPClient*>(user)->FShareLocks[Slot(data)].unlock();
    }
    static std::size_t Slot(curl_lock_data data) {
        const auto i = static_cast<std::size_t>(data);
        return i < kShareSlots ? i : 0;
    }

    static constexpr std::size_t kShareSlots = 16;
    CURLSH* FShare = nullptr;
    std::array<std::mutex, kShareSlots> FShareLocks;
};

using TSlist = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

namespace {

// libcurl's answer to the question which schemes a challenge offered, as THTTPAuthScheme flags.
std::uint32_t SchemesOf(long available) {
    std::uint32_t schemes = 0;
    if ((available & static_cast<long>(CURLAUTH_BASIC)) != 0)
        schemes |= static_cast<std::uint32_t>(THTTPAuthScheme::Basic);
    if ((available & static_cast<long>(CURLAUTH_DIGEST)) != 0)
        schemes |= static_cast<std::uint32_t>(THTTPAuthScheme::Digest);
    if ((available & static_cast<long>(CURLAUTH_NTLM)) != 0)
        schemes |= static_cast<std::uint32_t>(THTTPAuthScheme::NTLM);
    if ((available & static_cast<long>(CURLAUTH_NEGOTIATE)) != 0)
        schemes |= static_cast<std::uint32_t>(THTTPAuthScheme::Negotiate);
    return schemes;
}

unsigned long CurlAuthOf(THTTPAuthScheme scheme) {
    switch (scheme) {
    case THTTPAuthScheme::Basic:
        return CURLAUTH_BASIC;
    case THTTPAuthScheme::NTLM:
        return CURLAUTH_NTLM;
    case THTTPAuthScheme::Digest:
        return CURLAUTH_DIGEST;
    case THTTPAuthScheme::Negotiate:
        return CURLAUTH_NEGOTIATE;
    case THTTPAuthScheme::Passport:
        break;
    }
    return CURLAUTH_NONE;
}

bool HasSpnego() {
    static const bool spnego = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        return info != nullptr && (info->features & CURL_VERSION_SPNEGO) != 0;
    }();
    return spnego;
}

// Credentials as libcurl takes them: Basic in the ANSI code page (the client itself builds the
// UTF-8 form when a server asks for it), the other schemes in UTF-8.
struct TCurlCredential {
    std::string UserName;
    std::string Password;
    unsigned long Auth = CURLAUTH_NONE;

    void Set(const THTTPRequest::TTransportOptions::TPlatformCredential& credential) {
        Auth = CurlAuthOf(credential.Scheme);
        if (credential.Scheme == THTTPAuthScheme::Basic) {
            const Bytes user = TEncoding::ANSI().GetBytes(credential.UserName);
            const Bytes password = TEncoding::ANSI().GetBytes(credential.Password);
            UserName.assign(user.begin(), user.end());
            Password.assign(password.begin(), password.end());
        } else {
            UserName = ToUtf8(credential.UserName);
            Password = ToUtf8(credential.Password);
        }
    }
    ~TCurlCredential() {
        SecureZero(UserName);
        SecureZero(Password);
    }
};

// How a failed transfer is reported, by libcurl result code (the "(%d) %s" of the messages
// is that code and curl_easy_strerror's text):
//
//   code                                  | kind          | outcome / message
//   --------------------------------------+---------------+-------------------------------------
//   60 PEER_FAILED_VERIFICATION           | SecureChannel | CertificateRejected; the reasons
//                                         |               | come from the verify result
//   35 SSL_CONNECT_ERROR, the server      | ClientCert-   | ClientCertificateRequested (the
//      asked for a client certificate     | Requested     | handshake was stopped for it)
//   35 SSL_CONNECT_ERROR otherwise (no    | SecureChannel | reasons = SecurityChannelError only:
//      common version or cipher, ...)     |               | send message
//   90 SSL_PINNEDPUBKEYNOTMATCH (another  | SecureChannel | the accepted certificate is not the
//      key after a certificate accepted)  |               | one presented: send message
//   42 ABORTED_BY_CALLBACK                | Cancelled     | cancelled: Completed; refused by the
//                                         |               | certificate callback: "Server
//                                         |               | Certificate not accepted"
//   56 RECV_ERROR with the proxy's answer | -             | Completed: the proxy's answer (say a
//      to CONNECT (tunnel refused)        |               | 407) is the response
//   any, after the response headers       | -             | Completed; the body read then fails
//                                         |               | with "Error reading data"
//   5, 6 (resolving), 7 (refused), 28     | Other         | before the request went out: send
//   (timeout), 55, 56 (reset), 52, others |               | message; after: receive message
TPlatformError CurlError(CURLcode rc, long verifyResult, const TTransfer& transfer,
                         THTTPSecureFailureReasons& reasons) {
    TPlatformError error{rc, CurlText(rc), TPlatformError::TKind::Other};
    switch (rc) {
    case CURLE_PEER_FAILED_VERIFICATION:
        error.Kind = TPlatformError::TKind::SecureChannel;
        // A failed host name check leaves the verify result at 0 or "unspecified".
        reasons = verifyResult == 0 || verifyResult == 1 ? THTTPSecureFailureReasons{}
                                                         : ReasonsFromVerifyResult(verifyResult);
        if (transfer.Request.FNameMismatch)
            reasons.Include(THTTPSecureFailureReason::CertCNInvalid);
        else if (reasons.Empty())
            reasons = ReasonsFromVerifyResult(verifyResult);
        break;
    case CURLE_SSL_CONNECT_ERROR:
        if (transfer.Request.FClientCertificateRequested &&
            !transfer.Request.FClientCertificateDecided) {
            error.Kind = TPlatformError::TKind::ClientCertificateRequested;
        } else {
            error.Kind = TPlatformError::TKind::SecureChannel;
            reasons = {THTTPSecureFailureReason::SecurityChannelError};
        }
        break;
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        error.Kind = TPlatformError::TKind::SecureChannel;
        reasons = {THTTPSecureFailureReason::InvalidCert};
        break;
    case CURLE_ABORTED_BY_CALLBACK:
        if (transfer.Cancelled || transfer.CertificateRefused)
            error.Kind = TPlatformError::TKind::Cancelled;
        break;
    default:
        break;
    }
    return error;
}

} // namespace

TSendOutcome TCurlHTTPClient::DoSendAndReceive(THTTPRequest& baseRequest,
                                               THTTPResponse& baseResponse) {
    auto& request = static_cast<TCurlHTTPRequest&>(baseRequest);
    auto& response = static_cast<TCurlHTTPResponse&>(baseResponse);
    CURL* h = request.Easy();
    response.FBodyError.reset();
    response.FBodyException = nullptr;

    TTransfer transfer(h, *this, request, response.GetContentStream(), response.OwnMemoryStream());
    transfer.BeforeSend = [this, &request, h] {
        if (!FValidateServerCertificateCallback && !FValidateServerCertificateEvent)
            return true;
        // A resumed TLS session verifies nothing: take the certificate from the connection.
        curl_tlssessioninfo* info = nullptr;
        if (curl_easy_getinfo(h, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info != nullptr &&
            info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr) {
            if (X509* peer = SSL_get1_peer_certificate(static_cast<SSL*>(info->internals))) {
                request.FPeerCertificate = DerOf(peer);
                X509_free(peer);
            }
        }
        return CheckServerCertificateOnSend(request);
    };
    TTlsSetup tls{&request, 0};
    TSlist headers(nullptr, &curl_slist_free_all);
    TSlist proxyHeaders(nullptr, &curl_slist_free_all);
    std::string url, proxy, bypass, encodings, pin;
    TCurlCredential serverCredential, proxyCredential;
    {
        std::lock_guard lock(request.Lock());
        curl_easy_reset(h);
        url = ToUtf8(request.GetURL().RequestURL());
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(h, CURLOPT_SHARE, FShare);
        curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferSize);

        const UnicodeString& method = request.GetMethodString();
        if (SameText(method, u"GET")) {
            curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        } else if (SameText(method, u"HEAD")) {
            curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, ToUtf8(method).c_str());
        }

        // Only the headers the request holds, plus Host and connection management. The
        // proxy's own header goes to the proxy alone, never through a tunnel to the server.
        bool hasAccept = false, hasProxyAuthorization = false;
        for (const auto& header : request.GetHeaders()) {
            if (SameText(header.Name, u"Proxy-Authorization")) {
                hasProxyAuthorization = true;
                proxyHeaders.reset(
                    curl_slist_append(proxyHeaders.release(), HeaderLine(header).c_str()));
                continue;
            }
            hasAccept = hasAccept || SameText(header.Name, u"Accept");
            headers.reset(curl_slist_append(headers.release(), HeaderLine(header).c_str()));
        }
        if (!hasAccept)
            headers.reset(curl_slist_append(headers.release(), "Accept:"));
        curl_easy_setopt(h, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(h, CURLOPT_PROXYHEADER, proxyHeaders.get());

        // The client chose the proxy. An empty proxy text keeps libcurl from reading the
        // proxy variables itself, and an empty bypass list from reading no_proxy.
        const auto& options = request.TransportOptions();
        proxy = ToUtf8(options.Proxy);
        curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
        if (!proxy.empty()) {
            bypass = ToUtf8(options.ProxyBypass);
            curl_easy_setopt(h, CURLOPT_NOPROXY, bypass.c_str());
            if (options.ProxyCredential) {
                proxyCredential.Set(*options.ProxyCredential);
            } else if (!options.ProxyUserName.empty() && !hasProxyAuthorization) {
                proxyCredential.Set(
                    {THTTPAuthScheme::Basic, options.ProxyUserName, options.ProxyPassword});
            } else if (options.AutomaticLogon && HasSpnego()) {
                // The user's own logon, and only in answer to a challenge.
                proxyCredential.Auth = CURLAUTH_NEGOTIATE | CURLAUTH_ONLY;
            }
            if (proxyCredential.Auth != CURLAUTH_NONE) {
                curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxyCredential.UserName.c_str());
                curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, proxyCredential.Password.c_str());
                curl_easy_setopt(h, CURLOPT_PROXYAUTH, proxyCredential.Auth);
            }
        }
        if (options.ServerCredential) {
            serverCredential.Set(*options.ServerCredential);
        } else if (options.AutomaticLogon && HasSpnego() &&
                   request.GetHeaderValue(u"Authorization").empty()) {
            serverCredential.Auth = CURLAUTH_NEGOTIATE | CURLAUTH_ONLY;
        }
        if (serverCredential.Auth != CURLAUTH_NONE) {
            curl_easy_setopt(h, CURLOPT_USERNAME, serverCredential.UserName.c_str());
            curl_easy_setopt(h, CURLOPT_PASSWORD, serverCredential.Password.c_str());
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, serverCredential.Auth);
        }

        using C = THTTPCompressionMethod;
        if (options.Decompression.Contains(C::Any) ||
            (options.Decompression.Contains(C::GZip) && options.Decompression.Contains(C::Deflate)))
            encodings = "gzip, deflate";
        else if (options.Decompression.Contains(C::GZip))
            encodings = "gzip";
        else if (options.Decompression.Contains(C::Deflate))
            encodings = "deflate";
        if (!encodings.empty())
            curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, encodings.c_str());

        if (!options.SecureProtocols.Empty() && !HasTls(options.SecureProtocols)) {
            // Only SSL 2 or 3, which the TLS library no longer has: no version is left.
            tls.GapOptions =
                SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 | SSL_OP_NO_TLSv1_2 | SSL_OP_NO_TLSv1_3;
        } else if (!options.SecureProtocols.Empty()) {
            THTTPSecureProtocols protocols = options.SecureProtocols;
            if (curl_easy_setopt(h, CURLOPT_SSLVERSION, SslVersionFor(protocols)) != CURLE_OK &&
                protocols.Contains(THTTPSecureProtocol::TLS13)) {
                protocols.Exclude(THTTPSecureProtocol::TLS13);
                curl_easy_setopt(h, CURLOPT_SSLVERSION, SslVersionFor(protocols));
            }
            tls.GapOptions = SslGapOptions(protocols);
        }

        const TTrust& trust = Trust();
        if (!trust.CaFile.empty()) {
            curl_easy_setopt(h, CURLOPT_CAINFO, trust.CaFile.c_str());
            curl_easy_setopt(h, CURLOPT_CAPATH, trust.CaPath.c_str());
        } else if (!trust.Bundle.empty()) {
            curl_blob blob{const_cast<char*>(trust.Bundle.data()), trust.Bundle.size(),
                           CURL_BLOB_NOCOPY};
            curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
        }
        if (request.ServerCertificateAccepted()) {
            // The certificate the callback accepted passes, and no other.
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
            pin = request.FPeerPin;
            if (!pin.empty())
                curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
        }
        if (TlsIsOpenSsl()) {
            curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext);
            curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &tls);
        }
        request.FClientCertificateRequested = false;
        request.FNameMismatch = false;

        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::max(0, request.ConnectionTimeout())));
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &TTransfer::OnHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TTransfer::OnBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &TTransfer::OnProgress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &TTransfer::OnPrereq);
        curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer);
    }

    CURLcode rc;
    {
        TSigPipeGuard guard;
        rc = curl_easy_perform(h);
    }
    // The client may go before this request does; keep no reference to its share.
    curl_easy_setopt(h, CURLOPT_SHARE, nullptr);
    if (transfer.CallbackError)
        std::rethrow_exception(transfer.CallbackError);
    if (transfer.TimedOut)
        rc = CURLE_OPERATION_TIMEDOUT;

    long available = 0;
    curl_easy_getinfo(h, CURLINFO_HTTPAUTH_AVAIL, &available);
    request.FServerSchemes = SchemesOf(available);
    available = 0;
    curl_easy_getinfo(h, CURLINFO_PROXYAUTH_AVAIL, &available);
    request.FProxySchemes = SchemesOf(available);

    if (transfer.HeadersDone)
        response.Received(std::move(transfer.Block), transfer.Status);
    if (rc == CURLE_OK)
        return TSendOutcome::Completed;
    if (transfer.HeadersDone) {
        if (transfer.WriteError)
            response.FBodyException = transfer.WriteError;
        else
            response.FBodyError = TPlatformError{rc, CurlText(rc), TPlatformError::TKind::Other};
        return TSendOutcome::Completed;
    }
    if (!transfer.ProxyBlock.empty() && transfer.ProxyStatus >= 300 &&
        (rc == CURLE_RECV_ERROR || rc == CURLE_COULDNT_CONNECT)) {
        // The proxy refused the tunnel; its answer is the response.
        response.Received(std::move(transfer.ProxyBlock), transfer.ProxyStatus);
        return TSendOutcome::Completed;
    }

    long verify = 0;
    curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verify);
    const TPlatformError error = CurlError(rc, verify, transfer, FSecureFailureReasons);
    return ClassifySendError(request, error, transfer.RequestSent ? kReceiveMessage : kSendMessage);
}

void TCurlHTTPClient::DoReadResponseBody(THTTPRequest&, THTTPResponse& baseResponse) {
    // The body went straight into the content stream during the transfer; what is left is to
    // report a transfer that broke off in the middle of it.
    auto& response = static_cast<TCurlHTTPResponse&>(baseResponse);
    if (response.FBodyException) {
        auto failure = response.FBodyException;
        response.FBodyException = nullptr;
        std::rethrow_exception(failure);
    }
    if (response.FBodyError) {
        const TPlatformError error = *response.FBodyError;
        response.FBodyError.reset();
        throw ENetHTTPResponseException(Format(kReadMessage, {error.Code, error.Text}));
    }
}

} // namespace

void RegisterPlatformHTTPClient() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto factory = [] {
            return std::unique_ptr<TURLClient>(std::make_unique<TCurlHTTPClient>());
        };
        TURLSchemes::RegisterURLClientScheme(u"HTTP", u"TCurlHTTPClient", factory);
        TURLSchemes::RegisterURLClientScheme(u"HTTPS", u"TCurlHTTPClient", factory);
    });
}

} // namespace velora
