#include "http/system_proxy.hpp"

#include <cstdlib>
#include <mutex>
#include <optional>

namespace velora {
namespace {

UnicodeString Variable(const char* lower, const char* upper) {
    for (const char* name : {lower, upper}) {
        if (name == nullptr)
            continue;
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return Trim(U16(value));
    }
    return {};
}

// The process-wide lock and the configuration it guards.
std::mutex& ProxyLock() {
    static std::mutex lock;
    return lock;
}
std::optional<TProxyEnvironment>& CachedEnvironment() {
    static std::optional<TProxyEnvironment> cached;
    return cached;
}

std::u16string_view WithoutBrackets(std::u16string_view host) {
    if (host.size() >= 2 && host.front() == u'[' && host.back() == u']')
        return host.substr(1, host.size() - 2);
    return host;
}

} // namespace

TProxyEnvironment TProxyEnvironment::FromProcess() {
    TProxyEnvironment e;
    e.HttpsProxy = Variable("https_proxy", "HTTPS_PROXY");
    e.HttpProxy = Variable("http_proxy", nullptr);
    e.AllProxy = Variable("all_proxy", "ALL_PROXY");
    e.NoProxy = Variable("no_proxy", "NO_PROXY");
    return e;
}

bool BypassesProxy(std::u16string_view noProxy, std::u16string_view host) {
    const UnicodeString name = LowerCase(WithoutBrackets(host));
    std::size_t start = 0;
    while (start < noProxy.size()) {
        std::size_t end = start;
        while (end < noProxy.size() && noProxy[end] != u',' && noProxy[end] != u' ' &&
               noProxy[end] != u'\t')
            ++end;
        UnicodeString entry = LowerCase(noProxy.substr(start, end - start));
        start = end + 1;
        if (entry == u"*")
            return true;
        if (entry.starts_with(u"*"))
            entry.erase(0, 1);
        if (entry.starts_with(u"."))
            entry.erase(0, 1);
        if (entry.starts_with(u"[")) {
            const auto close = entry.find(u']');
            entry = close == UnicodeString::npos ? UnicodeString() : entry.substr(1, close - 1);
        } else if (const auto colon = entry.find(u':');
                   colon != UnicodeString::npos &&
                   entry.find(u':', colon + 1) == UnicodeString::npos) {
            entry.erase(colon);
        }
        while (entry.ends_with(u"."))
            entry.pop_back();
        if (entry.empty())
            continue;
        if (name == entry)
            return true;
        // Only names have parents: 10.0.0.1 does not lie under 0.0.1.
        const bool address = name.find_first_not_of(u"0123456789.") == UnicodeString::npos ||
                             name.find(u':') != UnicodeString::npos;
        if (!address && name.size() > entry.size() && name.ends_with(entry) &&
            name[name.size() - entry.size() - 1] == u'.')
            return true;
    }
    return false;
}

UnicodeString ProxyFromEnvironment(const TProxyEnvironment& environment, const TURI& url) {
    UnicodeString proxy;
    if (url.Scheme() == u"https")
        proxy = environment.HttpsProxy;
    else if (url.Scheme() == u"http")
        proxy = environment.HttpProxy;
    if (proxy.empty())
        proxy = environment.AllProxy;
    if (proxy.empty() || BypassesProxy(environment.NoProxy, url.Host()))
        return {};
    return proxy;
}

bool IsIntranetHost(const TProxyEnvironment& environment, std::u16string_view host) {
    const std::u16string_view name = WithoutBrackets(host);
    if (name.empty())
        return false;
    // A dotless name is on the intranet; a dotless address (IPv6, or a number such as
    // 134744072, which is 8.8.8.8) says nothing about where it is.
    const bool number =
        name.find_first_not_of(u"0123456789") == std::u16string_view::npos ||
        ((name.starts_with(u"0x") || name.starts_with(u"0X")) &&
         name.find_first_not_of(u"0123456789abcdefABCDEF", 2) == std::u16string_view::npos);
    if (name.find(u'.') == std::u16string_view::npos &&
        name.find(u':') == std::u16string_view::npos && !number)
        return true;
    return BypassesProxy(environment.NoProxy, host);
}

namespace {
TProxyEnvironment SystemEnvironment() {
    std::lock_guard lock(ProxyLock());
    auto& cached = CachedEnvironment();
    if (!cached)
        cached = TProxyEnvironment::FromProcess();
    return *cached;
}
} // namespace

bool IsSystemIntranetHost(std::u16string_view host) {
    return IsIntranetHost(SystemEnvironment(), host);
}

UnicodeString SystemProxyFor(const TURI& url) {
    return ProxyFromEnvironment(SystemEnvironment(), url);
}

void ForgetSystemProxyConfiguration() {
    std::lock_guard lock(ProxyLock());
    CachedEnvironment().reset();
}

} // namespace velora
