// An absolute URL split into its parts.
#pragma once

#include "http/net_types.hpp"

namespace velora {

class TURI {
public:
    TURI() = default;
    // Parses an absolute URL; ENetURIException "Invalid URL: \"%s\"" when it is not one.
    explicit TURI(std::u16string_view url);

    const UnicodeString& Scheme() const { return FScheme; }
    const UnicodeString& Username() const { return FUsername; }
    const UnicodeString& Password() const { return FPassword; }
    const UnicodeString& Host() const { return FHost; }
    std::int32_t Port() const { return FPort; }
    const UnicodeString& Path() const { return FPath; }
    const UnicodeString& Query() const { return FQuery; }
    const TNetHeaders& Params() const { return FParams; }
    const UnicodeString& Fragment() const { return FFragment; }
    void SetFragment(UnicodeString fragment) { FFragment = std::move(fragment); }

    // Path plus "?" and the query when there is one: what the request line carries.
    UnicodeString PathAndQuery() const;
    // scheme://host[:port], the port left out when it is the scheme's default.
    UnicodeString Origin() const;
    // The URL a transport is given: no user information, no fragment.
    UnicodeString RequestURL() const;
    // The whole URL again.
    UnicodeString ToString() const;

    static std::int32_t DefaultPort(std::u16string_view scheme);
    // Resolves a reference (a redirect's Location) against base: a value with a ':' before its
    // first '/' is a complete URL; otherwise scheme, host and port (and, for relative paths,
    // the directory of the path) come from base, with "." and ".." segments removed. The old
    // fragment carries over when the new URL has none.
    static TURI PathRelativeToAbs(std::u16string_view reference, const TURI& base);

private:
    UnicodeString FScheme;
    UnicodeString FUsername;
    UnicodeString FPassword;
    UnicodeString FHost;
    std::int32_t FPort = -1;
    UnicodeString FPath;
    UnicodeString FQuery;
    TNetHeaders FParams;
    UnicodeString FFragment;

    void SetPathAndQuery(std::u16string_view pathAndQuery);
};

} // namespace velora
