#include "http/winhttp_certificates.hpp"

#include "http/winhttp_handles.hpp"
#include "rtl/win32.hpp"

// After wincrypt.h, which it needs.
#include <schannel.h>

#include <chrono>

namespace velora::winhttp {
namespace {

TCertificate::TDateTime ToTimePoint(const FILETIME& time) {
    // 100-ns steps since 1601-01-01 to the system clock's epoch of 1970-01-01.
    const std::int64_t ticks =
        (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    const std::int64_t sinceEpoch = ticks - 116444736000000000LL;
    return TCertificate::TDateTime(std::chrono::duration_cast<TCertificate::TDateTime::duration>(
        std::chrono::nanoseconds(sinceEpoch * 100)));
}

UnicodeString NameText(CERT_NAME_BLOB& name) {
    const DWORD size = ::CertNameToStrW(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR, nullptr, 0);
    std::vector<wchar_t> text(size > 0 ? size : 1);
    ::CertNameToStrW(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR, text.data(), size);
    return win32::FromW(text.data());
}

TCertificate Describe(PCCERT_CONTEXT context) {
    TCertificate out;
    CERT_INFO& info = *context->pCertInfo;
    out.Start = ToTimePoint(info.NotBefore);
    out.Expiry = ToTimePoint(info.NotAfter);
    out.Subject = NameText(info.Subject);
    out.Issuer = NameText(info.Issuer);
    // The serial number is stored least significant byte first.
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    for (DWORD i = info.SerialNumber.cbData; i > 0; --i) {
        const BYTE b = info.SerialNumber.pbData[i - 1];
        out.SerialNum.push_back(kHex[b >> 4]);
        out.SerialNum.push_back(kHex[b & 0xF]);
    }
    wchar_t name[512] = {};
    ::CertGetNameStringW(context, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                         name, 512);
    out.CertName = win32::FromW(name);
    out.KeySize = static_cast<std::int32_t>(
        ::CertGetPublicKeyLength(X509_ASN_ENCODING, &info.SubjectPublicKeyInfo));
    return out;
}

bool SameCertificate(const TCertificate& a, const TCertificate& b) {
    return a.Subject == b.Subject && a.Issuer == b.Issuer && a.SerialNum == b.SerialNum;
}

// The user's personal store, opened once per process for client certificates.
HCERTSTORE PersonalStore() {
    static HCERTSTORE store = nullptr;
    std::lock_guard guard(ProcessLock());
    if (!store)
        store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    return store;
}

} // namespace

PCCERT_CONTEXT ServerCertificateContext(HINTERNET request) {
    PCCERT_CONTEXT context = nullptr;
    DWORD size = sizeof context;
    if (!request ||
        !::WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &size))
        return nullptr;
    return context;
}

std::vector<BYTE> ServerCertificateEncoding(HINTERNET request) {
    PCCERT_CONTEXT context = ServerCertificateContext(request);
    if (!context)
        return {};
    std::vector<BYTE> encoded(context->pbCertEncoded,
                              context->pbCertEncoded + context->cbCertEncoded);
    ::CertFreeCertificateContext(context);
    return encoded;
}

bool DescribeServerCertificate(HINTERNET request, TCertificate& certificate) {
    PCCERT_CONTEXT context = ServerCertificateContext(request);
    if (!context)
        return false;
    certificate = Describe(context);
    ::CertFreeCertificateContext(context);
    return true;
}

TClientCertificates::~TClientCertificates() {
    for (PCCERT_CONTEXT context : FContexts)
        ::CertFreeCertificateContext(context);
}

const TCertificateList& TClientCertificates::List(HINTERNET request) {
    if (FRead)
        return FList;
    FRead = true;
    std::vector<CERT_NAME_BLOB> issuers;
    SecPkgContext_IssuerListInfoEx* list = nullptr;
    DWORD size = sizeof list;
    if (request &&
        ::WinHttpQueryOption(request, WINHTTP_OPTION_CLIENT_CERT_ISSUER_LIST, &list, &size) &&
        list) {
        issuers.assign(list->aIssuers, list->aIssuers + list->cIssuers);
    }
    const HCERTSTORE store = PersonalStore();
    PCCERT_CONTEXT context = nullptr;
    while (store && (context = ::CertEnumCertificatesInStore(store, context)) != nullptr) {
        bool named = issuers.empty();
        for (auto& issuer : issuers)
            named = named || ::CertCompareCertificateName(X509_ASN_ENCODING, &issuer,
                                                          &context->pCertInfo->Issuer);
        if (!named)
            continue;
        FContexts.push_back(::CertDuplicateCertificateContext(context));
        FList.push_back(Describe(context));
    }
    if (list)
        ::GlobalFree(list);
    return FList;
}

bool TClientCertificates::Choose(HINTERNET request, const TCertificate* certificate) {
    if (!request)
        return false;
    if (!certificate)
        return ::WinHttpSetOption(request, WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                                  WINHTTP_NO_CLIENT_CERT_CONTEXT, 0) != FALSE;
    for (std::size_t i = 0; i < FList.size(); ++i)
        if (SameCertificate(FList[i], *certificate))
            return ::WinHttpSetOption(request, WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                                      const_cast<CERT_CONTEXT*>(FContexts[i]),
                                      sizeof(CERT_CONTEXT)) != FALSE;
    return false;
}

} // namespace velora::winhttp
