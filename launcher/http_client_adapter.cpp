#include "launcher/sequence.hpp"

#include "rtl/exceptions.hpp"

namespace velora {

namespace {

class TLauncherClient final : public ILauncherClient {
public:
    TLauncherClient() : FClient(THTTPClient::Create()) {
        if (!FClient) {
            throw ENetHTTPClientException(u"No HTTP client is available");
        }
    }
    std::shared_ptr<IHTTPResponse> Get(const UnicodeString& url) override {
        return FClient->Get(url);
    }

private:
    std::unique_ptr<THTTPClient> FClient;
};

} // namespace

std::unique_ptr<ILauncherClient> CreateLauncherClient() {
    return std::make_unique<TLauncherClient>();
}

} // namespace velora
