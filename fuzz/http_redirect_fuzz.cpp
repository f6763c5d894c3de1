// A redirect: the first line is the current URL, the rest the Location value. Resolution either
// fails with the URL message or keeps the rules: a relative target stays on the current host
// and carries no dot segments.
#include "http/http_headers.hpp"
#include "http/uri.hpp"
#include "rtl/exceptions.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace velora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto newline = input.find('\n');
    if (newline == std::string_view::npos)
        return 0;
    TURI base;
    try {
        base = TURI(DecodeHeaderBytes(input.substr(0, newline)));
    } catch (const ENetURIException&) {
        return 0;
    }
    const UnicodeString location = Trim(DecodeHeaderBytes(input.substr(newline + 1)));
    TURI target;
    try {
        target = TURI::PathRelativeToAbs(location, base);
    } catch (const ENetURIException& e) {
        if (!e.Message().starts_with(u"Invalid URL: \""))
            std::abort();
        return 0;
    }
    const auto colon = location.find(u':');
    const auto slash = location.find(u'/');
    const bool complete =
        colon != UnicodeString::npos && (slash == UnicodeString::npos || colon < slash);
    if (complete || location.starts_with(u"//"))
        return 0;
    if (target.Scheme() != base.Scheme() || target.Host() != base.Host() ||
        target.Port() != base.Port())
        std::abort();
    const UnicodeString path = location.substr(0, location.find_first_of(u"?#"));
    if (!path.empty()) {
        const UnicodeString& p = target.Path();
        if (p.find(u"/./") != UnicodeString::npos || p.find(u"/../") != UnicodeString::npos ||
            p.ends_with(u"/.") || p.ends_with(u"/.."))
            std::abort();
    }
    if (target.Fragment().empty() && !base.Fragment().empty())
        std::abort();
    return 0;
}
