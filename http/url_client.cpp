#include "http/url_client.hpp"

#include "http/http_headers.hpp"
#include "rtl/exceptions.hpp"

#include <map>

namespace velora {

UnicodeString TURLClient::GetUserAgent() const {
    return HeaderValue(FCustomHeaders, u"User-Agent");
}

void TURLClient::SetUserAgent(const UnicodeString& value) {
    for (auto& pair : FCustomHeaders) {
        if (SameText(pair.Name, u"User-Agent")) {
            pair.Value = value;
            return;
        }
    }
    FCustomHeaders.push_back({u"User-Agent", value});
}

TURLRequest::TURLRequest(TURLClient& client, UnicodeString method, TURI url)
    : FURL(std::move(url)), FMethodString(std::move(method)),
      FConnectionTimeout(client.ConnectionTimeout()), FSendTimeout(client.SendTimeout()),
      FResponseTimeout(client.ResponseTimeout()), FClient(&client) {
    FLocalCredential.AuthTarget = TAuthTargetType::Server;
    FLocalCredential.UserName = FURL.Username();
    FLocalCredential.Password = FURL.Password();
}

void TURLRequest::Cancel() {
    std::lock_guard lock(FLock);
    FCancelled = true;
    DoCancel();
}

TURLResponse::TURLResponse(std::shared_ptr<TURLRequest> request, TStream* content)
    : FRequest(std::move(request)) {
    if (content == nullptr) {
        FInternalStream = std::make_unique<TMemoryStream>();
        content = FInternalStream.get();
    }
    FStream = content;
}

namespace {

struct TSchemeEntry {
    UnicodeString ClassName;
    TURLSchemes::TFactory Factory;
};

struct TSchemeTable {
    std::mutex Lock;
    std::map<UnicodeString, TSchemeEntry> Entries;
};

TSchemeTable& Schemes() {
    static TSchemeTable table;
    return table;
}

} // namespace

void TURLSchemes::RegisterURLClientScheme(const UnicodeString& scheme,
                                          const UnicodeString& className, TFactory factory) {
    auto& table = Schemes();
    std::lock_guard lock(table.Lock);
    const UnicodeString key = UpperCase(scheme);
    if (auto it = table.Entries.find(key); it != table.Entries.end())
        throw ENetException(
            Format(u"Scheme \"%s\" already registered for %s", {key, it->second.ClassName}));
    table.Entries.emplace(key, TSchemeEntry{className, std::move(factory)});
}

void TURLSchemes::UnRegisterURLClientScheme(const UnicodeString& scheme) {
    auto& table = Schemes();
    std::lock_guard lock(table.Lock);
    table.Entries.erase(UpperCase(scheme));
}

std::unique_ptr<TURLClient> TURLSchemes::GetURLClientInstance(const UnicodeString& scheme) {
    TFactory factory;
    {
        auto& table = Schemes();
        std::lock_guard lock(table.Lock);
        auto it = table.Entries.find(UpperCase(scheme));
        if (it == table.Entries.end())
            return nullptr;
        factory = it->second.Factory;
    }
    return factory();
}

} // namespace velora
