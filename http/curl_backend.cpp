// The HTTP client's backend on libcurl: one easy handle per request, reopened per redirect
// target. libcurl only moves bytes here; redirects, cookies, proxy choice and the default
// headers it would add are the HTTP layer's business and are switched off.
#include "http/http_backend.hpp"
#include "http/http_client.hpp"
#include "http/http_headers.hpp"
#include "rtl/build_config.hpp"
#include "rtl/exceptions.hpp"

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <csignal>
#include <exception>
#include <fstream>
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

protected:
    void DoOpenRequestHandles() override {
        Close();
        FEasy = curl_easy_init();
        if (FEasy == nullptr)
            throw ENetHTTPRequestException(
                Format(u"Error opening request: (%d) %s",
                       {CURLE_OUT_OF_MEMORY, CurlText(CURLE_OUT_OF_MEMORY)}));
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

class TCurlHTTPResponse final : public THTTPResponse {
public:
    TCurlHTTPResponse(std::shared_ptr<THTTPRequest> request, TStream* content,
                      THTTPCompressionMethods automaticDecompression)
        : THTTPResponse(std::move(request), content, automaticDecompression) {}

    // The response's own memory stream, when the body goes there.
    TMemoryStream* OwnMemoryStream() {
        return FInternalStream && FStream == FInternalStream.get() ? FInternalStream.get()
                                                                   : nullptr;
    }

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
    TTransfer(CURL* easy, TCurlHTTPRequest& request, TStream& stream, TMemoryStream* ownStream)
        : Easy(easy), Request(request), Stream(stream), OwnStream(ownStream) {}

    CURL* Easy;
    TCurlHTTPRequest& Request;
    TStream& Stream;
    TMemoryStream* OwnStream;
    Clock::time_point Start = Clock::now();
    Clock::time_point LastActivity = Start;
    bool Connected = false;
    bool TimedOut = false;
    bool Cancelled = false;
    bool Reserved = false;
    bool HeadersDone = false;
    std::int32_t Status = 0;
    std::string Block;
    std::exception_ptr WriteError;

    static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
        auto& t = *static_cast<TTransfer*>(user);
        const size_t length = size * count;
        t.LastActivity = Clock::now();
        if (t.HeadersDone)
            return length; // trailers of a chunked body
        const std::string_view line(data, length);
        if (line.starts_with("HTTP/"))
            t.Block.clear();
        t.Block.append(line);
        if (line == "\r\n" || line == "\n") {
            long code = 0;
            curl_easy_getinfo(t.Easy, CURLINFO_RESPONSE_CODE, &code);
            // An interim 1xx block is followed by the real one.
            if (code < 100 || code >= 200) {
                t.HeadersDone = true;
                t.Status = static_cast<std::int32_t>(code);
            }
        }
        return length;
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
        long sent = 0;
        curl_easy_getinfo(t.Easy, CURLINFO_REQUEST_SIZE, &sent);
        const std::int32_t limit =
            sent > 0 ? t.Request.ResponseTimeout() : t.Request.EffectiveSendTimeout();
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
        return std::make_shared<TCurlHTTPResponse>(request, content, FAutomaticDecompression);
    }

    TSendOutcome DoSendAndReceive(THTTPRequest& baseRequest, THTTPResponse& baseResponse) override;
    void DoReadResponseBody(THTTPRequest& request, THTTPResponse& response) override;

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

TSendOutcome TCurlHTTPClient::DoSendAndReceive(THTTPRequest& baseRequest,
                                               THTTPResponse& baseResponse) {
    auto& request = static_cast<TCurlHTTPRequest&>(baseRequest);
    auto& response = static_cast<TCurlHTTPResponse&>(baseResponse);
    CURL* h = request.Easy();
    response.FBodyError.reset();
    response.FBodyException = nullptr;

    TTransfer transfer(h, request, response.GetContentStream(), response.OwnMemoryStream());
    TSlist headers(nullptr, &curl_slist_free_all);
    std::string url, proxy, bypass, proxyUser, proxyPassword, encodings;
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

        // Only the headers the request holds, plus Host and connection management.
        bool hasAccept = false;
        for (const auto& header : request.GetHeaders()) {
            hasAccept = hasAccept || SameText(header.Name, u"Accept");
            headers.reset(curl_slist_append(headers.release(), HeaderLine(header).c_str()));
        }
        if (!hasAccept)
            headers.reset(curl_slist_append(headers.release(), "Accept:"));
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

        // An empty proxy text also keeps libcurl from reading the proxy variables itself.
        const auto& options = request.TransportOptions();
        proxy = ToUtf8(options.Proxy);
        curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
        if (!proxy.empty()) {
            bypass = ToUtf8(options.ProxyBypass);
            curl_easy_setopt(h, CURLOPT_NOPROXY, bypass.c_str());
            if (!options.ProxyUserName.empty()) {
                proxyUser = ToUtf8(options.ProxyUserName);
                proxyPassword = ToUtf8(options.ProxyPassword);
                curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxyUser.c_str());
                curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, proxyPassword.c_str());
                curl_easy_setopt(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
            }
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

        const TTrust& trust = Trust();
        if (!trust.CaFile.empty()) {
            curl_easy_setopt(h, CURLOPT_CAINFO, trust.CaFile.c_str());
            curl_easy_setopt(h, CURLOPT_CAPATH, trust.CaPath.c_str());
        } else if (!trust.Bundle.empty()) {
            curl_blob blob{const_cast<char*>(trust.Bundle.data()), trust.Bundle.size(),
                           CURL_BLOB_NOCOPY};
            curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
        }

        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::max(0, request.ConnectionTimeout())));
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &TTransfer::OnHeader);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &TTransfer::OnBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &TTransfer::OnProgress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }

    CURLcode rc;
    {
        TSigPipeGuard guard;
        rc = curl_easy_perform(h);
    }
    // The client may go before this request does; keep no reference to its share.
    curl_easy_setopt(h, CURLOPT_SHARE, nullptr);
    if (transfer.TimedOut)
        rc = CURLE_OPERATION_TIMEDOUT;

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

    TPlatformError error{rc, CurlText(rc), TPlatformError::TKind::Other};
    if (rc == CURLE_PEER_FAILED_VERIFICATION) {
        long verify = 0;
        curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verify);
        error.Kind = TPlatformError::TKind::SecureChannel;
        FSecureFailureReasons = ReasonsFromVerifyResult(verify);
    } else if (rc == CURLE_SSL_CONNECT_ERROR) {
        error.Kind = TPlatformError::TKind::SecureChannel;
        FSecureFailureReasons = {THTTPSecureFailureReason::SecurityChannelError};
    } else if (rc == CURLE_ABORTED_BY_CALLBACK && transfer.Cancelled) {
        error.Kind = TPlatformError::TKind::Cancelled;
    }
    long sent = 0;
    curl_easy_getinfo(h, CURLINFO_REQUEST_SIZE, &sent);
    return ClassifySendError(request, error, sent > 0 ? kReceiveMessage : kSendMessage);
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
