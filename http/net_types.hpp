// Value types shared by the URL layer, the HTTP layer and the platform backends.
#pragma once

#include "rtl/ustring.hpp"

#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace velora {

struct TNameValuePair {
    UnicodeString Name;
    UnicodeString Value;

    bool operator==(const TNameValuePair&) const = default;
};

using TNetHeaders = std::vector<TNameValuePair>;

// A set of enumeration values, as the option sets of the client are.
template <class E> class TEnumSet {
    static_assert(std::is_enum_v<E>);
    using Bits = std::uint32_t;

public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> values) {
        for (E v : values)
            Include(v);
    }
    constexpr bool Contains(E v) const { return (FBits & Bit(v)) != 0; }
    constexpr void Include(E v) { FBits |= Bit(v); }
    constexpr void Exclude(E v) { FBits &= ~Bit(v); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr void Clear() { FBits = 0; }
    constexpr bool operator==(const TEnumSet&) const = default;

private:
    static constexpr Bits Bit(E v) { return Bits{1} << static_cast<unsigned>(v); }
    Bits FBits = 0;
};

// Receiving fewer than Bytes in any WindowMs milliseconds counts as silence; a window of 0 or
// less means no such rule.
struct TMinimumRate {
    std::int32_t Bytes = 0;
    std::int32_t WindowMs = 0;

    bool Active() const { return Bytes > 0 && WindowMs > 0; }
};

enum class THTTPProtocolVersion { UNKNOWN_HTTP, HTTP_1_0, HTTP_1_1, HTTP_2_0 };

// The result of one send by a backend.
enum class TSendOutcome {
    Completed = 0,
    UnknownFailure = 1,
    CertificateRejected = 2,
    ClientCertificateRequested = 3,
    ResendRequested = 4
};

enum class THTTPSecureFailureReason {
    CertRevFailed,
    InvalidCert,
    CertRevoked,
    InvalidCA,
    CertCNInvalid,
    CertDateInvalid,
    CertWrongUsage,
    SecurityChannelError,
    CertNotAccepted
};
using THTTPSecureFailureReasons = TEnumSet<THTTPSecureFailureReason>;

enum class THTTPSecureProtocol { SSL2, SSL3, TLS1, TLS11, TLS12, TLS13 };
using THTTPSecureProtocols = TEnumSet<THTTPSecureProtocol>;

enum class THTTPCompressionMethod { Deflate, GZip, Brotli, Any };
using THTTPCompressionMethods = TEnumSet<THTTPCompressionMethod>;

enum class THTTPRedirectWithGET {
    Post301,
    Post302,
    Post303,
    Post307,
    Post308,
    Put301,
    Put302,
    Put303,
    Put307,
    Put308,
    Delete301,
    Delete302,
    Delete303,
    Delete307,
    Delete308
};
using THTTPRedirectsWithGET = TEnumSet<THTTPRedirectWithGET>;

enum class TAuthTargetType { Proxy = 0, Server = 1 };
enum class TAuthPersistenceType { Request = 0, Client = 1 };

// Credentials kept by a client for authentication challenges.
class TCredentialsStorage {
public:
    struct TCredential {
        TAuthTargetType AuthTarget = TAuthTargetType::Server;
        UnicodeString Realm; // empty: any realm
        UnicodeString URL;   // empty: any URL; else the origin and path it serves
        UnicodeString UserName;
        UnicodeString Password;

        bool IsEmpty() const { return UserName.empty() && Password.empty(); }
        // URL is empty, or has url's scheme, host and port and a path that url's path equals
        // or continues after a '/'.
        bool Serves(std::u16string_view url) const;
    };

    TCredentialsStorage() = default;
    TCredentialsStorage(const TCredentialsStorage&) = delete;
    TCredentialsStorage& operator=(const TCredentialsStorage&) = delete;
    ~TCredentialsStorage() { Clear(); }

    void Add(TCredential credential) { FCredentials.push_back(std::move(credential)); }
    void Clear();
    const std::vector<TCredential>& Credentials() const { return FCredentials; }

    // The credentials that serve a challenge of target from realm at url: those with the same
    // target whose realm is empty or equal (ignoring case) and that serve url. The most
    // specific come first: a named realm before none, then the longer URL; otherwise the order
    // they were added in.
    std::vector<TCredential> FindCredentials(TAuthTargetType target, std::u16string_view realm,
                                             std::u16string_view url) const;
    std::size_t Count(TAuthTargetType target) const;

private:
    std::vector<TCredential> FCredentials;
};

// An explicit proxy; an empty host means the user's system proxy.
struct TProxySettings {
    UnicodeString FHost;
    std::int32_t FPort = 0;
    UnicodeString FScheme;
    UnicodeString FUserName;
    UnicodeString FPassword;

    TCredentialsStorage::TCredential Credential() const {
        return {TAuthTargetType::Proxy, {}, {}, FUserName, FPassword};
    }
};

} // namespace velora
