// One libcurl transfer of the backend: what its callbacks share while curl_easy_perform runs,
// the header blocks it receives, where the body goes, and when it must stop.
#pragma once

#include "http/rate_window.hpp"
#include "http/url_client.hpp"

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace velora {

class TCurlTransfer {
public:
    using Clock = std::chrono::steady_clock;

    // How far the transfer got. Each phase has its own timeout: the connect timeout until the
    // connection stands, then the send timeout until the request is out, then the response
    // timeout for each silence.
    enum class TPhase {
        Connecting,
        Connected,     // the connection stands (or its timeout is over); the request is not out
        Sent,          // the request is out; the final response's headers are not complete
        HeadersDone,   // the final response's headers are complete
        ReceivingBody, // body bytes have arrived
    };
    // Why the transfer was told to stop, if it was.
    enum class TStop { None, TimedOut, Cancelled, CertificateRefused, CallbackFailed };

    // The body goes to stream; ownStream is the same stream when it is the response's own
    // memory, which may then be sized for the body up front.
    TCurlTransfer(CURL* easy, TURLRequest& request, TStream& stream, TMemoryStream* ownStream);

    // Installs the callbacks on the easy handle.
    void Install();

    // Asked just before the request goes out; false stops the transfer (a refused certificate).
    std::function<bool()> BeforeSend;
    // libcurl decodes the body: what it writes is bounded as ContentAsString bounds inflating.
    bool Decoding = false;
    // Told when a response's header block is complete, before its body; what it raises stops
    // the transfer and is kept in CallbackError.
    std::function<void()> HeadersReceived;
    // Told of the final response's body bytes so far, as they arrive and at each progress tick
    // after the headers; false stops the transfer as cancelled.
    std::function<bool(std::int64_t)> BodyReceived;

    TPhase Phase() const { return FPhase; }
    TStop Stop() const { return FStop; }
    bool RequestSent() const { return FPhase >= TPhase::Sent; }
    bool HeadersDone() const { return FPhase >= TPhase::HeadersDone; }

    // The final response's header block (status line first) and status.
    std::string& Block() { return FBlock; }
    std::int32_t Status() const { return FStatus; }
    // A proxy's answer to CONNECT.
    std::string& ProxyBlock() { return FProxyBlock; }
    std::int32_t ProxyStatus() const { return FProxyStatus; }

    // A failure of the content stream, or one a callback raised.
    std::exception_ptr WriteError;
    std::exception_ptr CallbackError;

private:
    static size_t OnHeader(char* data, size_t size, size_t count, void* user);
    static int OnPrereq(void* user, char*, char*, int, int);
    static size_t OnBody(char* data, size_t size, size_t count, void* user);
    static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    bool Header(std::string_view line);
    bool Body(const char* data, size_t length);
    bool Progress();
    curl_off_t RequestBytes() const;
    bool NewRequestSent() const;

    CURL* FEasy;
    TURLRequest& FRequest;
    TStream& FStream;
    TMemoryStream* FOwnStream;
    Clock::time_point FStart = Clock::now();
    Clock::time_point FLastActivity = FStart;
    TPhase FPhase = TPhase::Connecting;
    TStop FStop = TStop::None;

    // Header and body bytes received, judged by the minimum-rate rule once the request is out.
    std::uint64_t FBytesArrived = 0;
    TRateWindow FRate;

    // The header block being received and the one that ended.
    std::string FBlock;
    bool FBlockEnded = true;
    // The request bytes libcurl had sent when the final block ended: only a new request brings
    // a new response; header lines before that are a chunked body's trailers.
    curl_off_t FRequestBytesAtFinal = 0;
    std::uint64_t FBodyBytes = 0;
    std::int32_t FBlockStatus = 0;
    std::int32_t FStatus = 0;
    std::string FProxyBlock;
    std::int32_t FProxyStatus = 0;
};

} // namespace velora
