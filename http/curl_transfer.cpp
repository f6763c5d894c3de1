#include "http/curl_transfer.hpp"

#include "http/backend_rules.hpp"
#include "http/gzip_body.hpp"
#include "rtl/exceptions.hpp"

#include <zlib.h>

#include <algorithm>

#include <sys/mman.h>

namespace velora {
namespace {

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

std::int32_t StatusOf(std::string_view line) {
    // "HTTP/1.1 200 OK"
    const auto blank = line.find(' ');
    std::int32_t code = 0;
    for (std::size_t i = blank == std::string_view::npos ? line.size() : blank + 1;
         i < line.size() && line[i] >= '0' && line[i] <= '9' && code < 100000; ++i)
        code = code * 10 + (line[i] - '0');
    return code;
}

} // namespace

TCurlTransfer::TCurlTransfer(CURL* easy, TURLRequest& request, TStream& stream,
                             TMemoryStream* ownStream)
    : FEasy(easy), FRequest(request), FStream(stream), FOwnStream(ownStream),
      FRate(request.MinimumRate()) {}

void TCurlTransfer::Install() {
    curl_easy_setopt(FEasy, CURLOPT_HEADERFUNCTION, &TCurlTransfer::OnHeader);
    curl_easy_setopt(FEasy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(FEasy, CURLOPT_WRITEFUNCTION, &TCurlTransfer::OnBody);
    curl_easy_setopt(FEasy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(FEasy, CURLOPT_XFERINFOFUNCTION, &TCurlTransfer::OnProgress);
    curl_easy_setopt(FEasy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(FEasy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(FEasy, CURLOPT_PREREQFUNCTION, &TCurlTransfer::OnPrereq);
    curl_easy_setopt(FEasy, CURLOPT_PREREQDATA, this);
}

size_t TCurlTransfer::OnHeader(char* data, size_t size, size_t count, void* user) {
    const size_t length = size * count;
    return static_cast<TCurlTransfer*>(user)->Header(std::string_view(data, length)) ? length : 0;
}

bool TCurlTransfer::Header(std::string_view line) {
    FLastActivity = Clock::now();
    FBytesArrived += line.size();
    if (FBlockEnded && line.starts_with("HTTP/") && (!HeadersDone() || NewRequestSent())) {
        // A new block: a proxy's CONNECT answer, an interim 1xx, an answer libcurl acted on
        // itself (an authentication round), or the final one.
        FBlock.clear();
        FBlockEnded = false;
        FPhase = std::min(FPhase, TPhase::Sent);
        FBlockStatus = StatusOf(line);
        FBodyBytes = 0;
    } else if (HeadersDone()) {
        return true; // trailers of a chunked body
    }
    FBlock.append(line);
    if (line != "\r\n" && line != "\n")
        return true;
    FBlockEnded = true;
    long code = 0;
    curl_easy_getinfo(FEasy, CURLINFO_RESPONSE_CODE, &code);
    if (code == 0) {
        // No server answer yet: this block came from the proxy.
        FProxyBlock = std::move(FBlock);
        FProxyStatus = FBlockStatus;
        FBlock.clear();
    } else if (FBlockStatus < 100 || FBlockStatus >= 200) {
        FPhase = TPhase::HeadersDone;
        FStatus = FBlockStatus;
        FRequestBytesAtFinal = RequestBytes();
        if (HeadersReceived) {
            try {
                HeadersReceived();
            } catch (...) {
                CallbackError = std::current_exception();
                FStop = TStop::CallbackFailed;
                return false;
            }
        }
    }
    return true;
}

curl_off_t TCurlTransfer::RequestBytes() const {
    long bytes = 0;
    curl_easy_getinfo(FEasy, CURLINFO_REQUEST_SIZE, &bytes);
    return bytes;
}

bool TCurlTransfer::NewRequestSent() const {
    return RequestBytes() > FRequestBytesAtFinal;
}

// Called once the connection stands, just before the request goes out.
int TCurlTransfer::OnPrereq(void* user, char*, char*, int, int) {
    auto& t = *static_cast<TCurlTransfer*>(user);
    t.FPhase = TPhase::Sent;
    t.FLastActivity = Clock::now();
    t.FRate.Start(t.FLastActivity, t.FBytesArrived);
    if (!t.BeforeSend)
        return CURL_PREREQFUNC_OK;
    try {
        if (t.BeforeSend())
            return CURL_PREREQFUNC_OK;
        t.FStop = TStop::CertificateRefused;
    } catch (...) {
        t.CallbackError = std::current_exception();
        t.FStop = TStop::CallbackFailed;
    }
    return CURL_PREREQFUNC_ABORT;
}

size_t TCurlTransfer::OnBody(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<TCurlTransfer*>(user);
    const size_t length = size * count;
    try {
        return t.Body(data, length) ? length : 0;
    } catch (...) {
        t.WriteError = std::current_exception();
        return 0;
    }
}

bool TCurlTransfer::Body(const char* data, size_t length) {
    FLastActivity = Clock::now();
    FBytesArrived += length;
    if (FPhase != TPhase::ReceivingBody) {
        FPhase = TPhase::ReceivingBody;
        curl_off_t expected = -1;
        curl_easy_getinfo(FEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
        if (backend::ReserveForBody(FOwnStream, expected))
            PreferLargePages(FOwnStream->Memory(), FOwnStream->Capacity());
    }
    FBodyBytes += length;
    if (Decoding) {
        curl_off_t encoded = 0;
        curl_easy_getinfo(FEasy, CURLINFO_SIZE_DOWNLOAD_T, &encoded);
        if (!WithinInflateLimit(FBodyBytes,
                                static_cast<std::uint64_t>(std::max<curl_off_t>(0, encoded))))
            throw EZDecompressionError(std::string_view(zError(Z_BUF_ERROR)));
    }
    FStream.WriteBuffer(data, static_cast<std::int64_t>(length));
    if (BodyReceived && !BodyReceived(static_cast<std::int64_t>(FBodyBytes))) {
        FStop = TStop::Cancelled;
        return false;
    }
    return true;
}

int TCurlTransfer::OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<TCurlTransfer*>(user)->Progress() ? 0 : 1;
}

// Runs about once a second and on activity: cancellation and the silence timeouts.
bool TCurlTransfer::Progress() {
    if (FRequest.IsCancelled()) {
        FStop = TStop::Cancelled;
        return false;
    }
    const auto now = Clock::now();
    using std::chrono::milliseconds;
    if (FPhase == TPhase::Connecting) {
        // Until the connection stands, the connect timeout is in charge.
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(FEasy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        const bool connectOver = FRequest.ConnectionTimeout() > 0 &&
                                 now - FStart >= milliseconds(FRequest.ConnectionTimeout());
        if (pretransfer <= 0 && !connectOver)
            return true;
        FPhase = TPhase::Connected;
        FLastActivity = std::max(FLastActivity, now); // silence counts from here
        return true;
    }
    // While a body is awaited, the receiver hears from us even when nothing arrives.
    if (BodyReceived && HeadersDone()) {
        try {
            if (!BodyReceived(static_cast<std::int64_t>(FBodyBytes))) {
                FStop = TStop::Cancelled;
                return false;
            }
        } catch (...) {
            WriteError = std::current_exception();
            return false;
        }
    }
    const std::int32_t limit =
        RequestSent() ? FRequest.ResponseTimeout() : FRequest.EffectiveSendTimeout();
    const auto deadline = FRequest.Deadline();
    if ((limit > 0 && now - FLastActivity > milliseconds(limit)) ||
        FRate.TooSlow(now, FBytesArrived) || (deadline && now >= *deadline)) {
        FStop = TStop::TimedOut;
        return false;
    }
    return true;
}

} // namespace velora
