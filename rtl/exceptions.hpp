// The program's failure classes. Every failure carries its message as UTF-16 text.
#pragma once

#include "rtl/ustring.hpp"

#include <exception>
#include <string>

namespace velora {

class Exception : public std::exception {
public:
    explicit Exception(UnicodeString message);
    explicit Exception(std::string_view utf8Message);
    const UnicodeString& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FWhat.c_str(); }

private:
    UnicodeString FMessage;
    std::string FWhat;
};

#define VELORA_DECLARE_EXCEPTION(Name, Base)                                                       \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    }

VELORA_DECLARE_EXCEPTION(EConvertError, Exception);
VELORA_DECLARE_EXCEPTION(ERangeError, Exception);
VELORA_DECLARE_EXCEPTION(EEncodingError, Exception);
VELORA_DECLARE_EXCEPTION(EStreamError, Exception);
VELORA_DECLARE_EXCEPTION(EFileStreamError, EStreamError);
VELORA_DECLARE_EXCEPTION(EFCreateError, EFileStreamError);
VELORA_DECLARE_EXCEPTION(EFOpenError, EFileStreamError);
VELORA_DECLARE_EXCEPTION(EReadError, EStreamError);
VELORA_DECLARE_EXCEPTION(EWriteError, EStreamError);
VELORA_DECLARE_EXCEPTION(EZLibError, Exception);
VELORA_DECLARE_EXCEPTION(EZDecompressionError, EZLibError);
VELORA_DECLARE_EXCEPTION(EInvalidCast, Exception);
VELORA_DECLARE_EXCEPTION(EArgumentException, Exception);

// HTTP client family.
VELORA_DECLARE_EXCEPTION(ENetException, Exception);
VELORA_DECLARE_EXCEPTION(ENetURIException, ENetException);
VELORA_DECLARE_EXCEPTION(ENetURIClientException, ENetException);
VELORA_DECLARE_EXCEPTION(ENetURIRequestException, ENetException);
VELORA_DECLARE_EXCEPTION(ENetURIResponseException, ENetException);
VELORA_DECLARE_EXCEPTION(ENetHTTPException, ENetURIException);
VELORA_DECLARE_EXCEPTION(ENetHTTPCertificateException, ENetURIException);
VELORA_DECLARE_EXCEPTION(ENetHTTPClientException, ENetURIClientException);
VELORA_DECLARE_EXCEPTION(ENetHTTPRequestException, ENetURIRequestException);
VELORA_DECLARE_EXCEPTION(ENetHTTPResponseException, ENetURIResponseException);

// A platform I/O failure that carries the system's error code.
class EInOutError : public Exception {
public:
    EInOutError(UnicodeString message, int errorCode)
        : Exception(std::move(message)), FErrorCode(errorCode) {}
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    int FErrorCode;
};

// The message shared by the strict decoders.
inline constexpr std::u16string_view SNoMappingForUnicode =
    u"No mapping for the Unicode character exists in the target multi-byte code page";

} // namespace velora
