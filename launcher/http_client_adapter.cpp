#include "launcher/sequence.hpp"

#include "rtl/exceptions.hpp"

namespace velora {

namespace {

// The version document must be in within a minute, however busy a broken or hostile server
// keeps the connection, so that the player starts soon after it stops making progress.
constexpr std::int32_t kVersionDocumentTimeout = 60000;
// The updater may take long, within the limit the sequence sets, but a trickle is not
// progress: fewer than 1,024 bytes in any minute counts as silence.
constexpr TMinimumRate kDownloadMinimumRate{1024, 60000};
// The version and signature documents are a few bytes; a server that sends more without end
// must not make the launcher grow until the system ends it.
constexpr std::int64_t kDocumentSizeLimit = 64 * 1024;

class TLauncherClient final : public ILauncherClient {
public:
    TLauncherClient() : FClient(THTTPClient::Create()) {
        if (!FClient) {
            throw ENetHTTPClientException(u"No HTTP client is available");
        }
    }
    std::shared_ptr<IHTTPResponse> Get(const UnicodeString& url) override {
        FClient->SetExchangeTimeout(kVersionDocumentTimeout);
        FClient->SetMinimumRate(TMinimumRate{});
        FClient->SetMaxContentSize(kDocumentSizeLimit);
        FClient->SetReceiveHeadersCallback(nullptr);
        return FClient->Get(url);
    }

    std::shared_ptr<IHTTPResponse> Download(const UnicodeString& url, TStream& destination,
                                            std::int32_t exchangeTimeout,
                                            const TReceiveHeadersCallback& onHeaders,
                                            const TReceiveDataCallback& onData) override {
        FClient->SetExchangeTimeout(exchangeTimeout);
        FClient->SetMinimumRate(kDownloadMinimumRate);
        FClient->SetMaxContentSize(0);
        FClient->SetReceiveHeadersCallback(onHeaders);
        FClient->SetReceiveDataCallback(onData);
        struct TForget {
            THTTPClient& Client;
            ~TForget() {
                Client.SetReceiveHeadersCallback(nullptr);
                Client.SetReceiveDataCallback(nullptr);
            }
        } forget{*FClient};
        return FClient->Get(url, &destination);
    }

private:
    std::unique_ptr<THTTPClient> FClient;
};

} // namespace

std::unique_ptr<ILauncherClient> CreateLauncherClient() {
    return std::make_unique<TLauncherClient>();
}

} // namespace velora
