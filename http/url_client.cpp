#include "http/url_client.hpp"

#include "http/http_headers.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <algorithm>
#include <map>
#include <optional>

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

namespace {

// User information in a URL is percent-encoded UTF-8; the credential is the text it stands for.
UnicodeString PercentDecoded(std::u16string_view text) {
    if (text.find(u'%') == std::u16string_view::npos)
        return UnicodeString(text);
    std::string bytes = ToUtf8(text);
    std::string out;
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '%' && i + 2 < bytes.size() && hex(bytes[i + 1]) >= 0 &&
            hex(bytes[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex(bytes[i + 1]) * 16 + hex(bytes[i + 2])));
            i += 2;
        } else {
            out.push_back(bytes[i]);
        }
    }
    UnicodeString result = U16(out);
    SecureZero(bytes);
    SecureZero(out);
    return result;
}

std::optional<TURI> ParsedURL(std::u16string_view url) {
    try {
        return TURI(url);
    } catch (const ENetURIException&) {
        return std::nullopt;
    }
}

} // namespace

bool TCredentialsStorage::TCredential::Serves(std::u16string_view url) const {
    if (URL.empty())
        return true;
    // Origins compared as parsed, so that no text prefix ("h.com" of "h.com.evil.net") counts.
    const std::optional<TURI> base = ParsedURL(URL);
    const std::optional<TURI> target = ParsedURL(url);
    if (!base || !target || base->Scheme() != target->Scheme() || base->Host() != target->Host() ||
        base->Port() != target->Port())
        return false;
    const UnicodeString& path = target->Path();
    const UnicodeString& prefix = base->Path();
    return path.starts_with(prefix) &&
           (path.size() == prefix.size() || prefix.ends_with(u"/") || path[prefix.size()] == u'/');
}

namespace {} // namespace

TProxyAddress SplitProxyCredentials(std::u16string_view proxy) {
    TProxyAddress address;
    const auto scheme = proxy.find(u"://");
    const std::size_t start = scheme == std::u16string_view::npos ? 0 : scheme + 3;
    const auto end = proxy.find(u'/', start);
    const std::u16string_view authority = proxy.substr(
        start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    const auto at = authority.rfind(u'@');
    if (at == std::u16string_view::npos) {
        address.Proxy = UnicodeString(proxy);
        return address;
    }
    const std::u16string_view user = authority.substr(0, at);
    const auto colon = user.find(u':');
    address.UserName = PercentDecoded(user.substr(0, colon));
    if (colon != std::u16string_view::npos)
        address.Password = PercentDecoded(user.substr(colon + 1));
    address.Proxy =
        UnicodeString(proxy.substr(0, start)) + UnicodeString(proxy.substr(start + at + 1));
    return address;
}

void TCredentialsStorage::Clear() {
    for (auto& credential : FCredentials)
        SecureZero(credential.Password);
    FCredentials.clear();
}

std::vector<TCredentialsStorage::TCredential>
TCredentialsStorage::FindCredentials(TAuthTargetType target, std::u16string_view realm,
                                     std::u16string_view url) const {
    std::vector<TCredential> found;
    for (const auto& c : FCredentials) {
        if (c.AuthTarget != target)
            continue;
        if (!c.Realm.empty() && !SameText(c.Realm, realm))
            continue;
        if (!c.Serves(url))
            continue;
        found.push_back(c);
    }
    std::stable_sort(found.begin(), found.end(), [](const TCredential& a, const TCredential& b) {
        if (a.Realm.empty() != b.Realm.empty())
            return !a.Realm.empty();
        return a.URL.size() > b.URL.size();
    });
    return found;
}

std::size_t TCredentialsStorage::Count(TAuthTargetType target) const {
    return static_cast<std::size_t>(
        std::count_if(FCredentials.begin(), FCredentials.end(),
                      [target](const TCredential& c) { return c.AuthTarget == target; }));
}

TURLRequest::TURLRequest(TURLClient& client, UnicodeString method, TURI url)
    : FURL(std::move(url)), FMethodString(std::move(method)),
      FConnectionTimeout(client.ConnectionTimeout()), FSendTimeout(client.SendTimeout()),
      FResponseTimeout(client.ResponseTimeout()), FExchangeTimeout(client.ExchangeTimeout()),
      FMinimumRate(client.MinimumRate()), FMaxContentSize(client.MaxContentSize()),
      FClient(&client) {
    FURLCredential.AuthTarget = TAuthTargetType::Server;
    FURLCredential.UserName = PercentDecoded(FURL.Username());
    FURLCredential.Password = PercentDecoded(FURL.Password());
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
        if (FRequest && FRequest->MaxContentSize() > 0)
            FInternalStream->SetSizeLimit(FRequest->MaxContentSize());
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
