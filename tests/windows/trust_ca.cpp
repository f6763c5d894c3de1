// Adds a certificate (DER, or PEM as the test CA script writes it) to the current user's "Root"
// store, so that the Windows test programs trust the local test server inside their Wine prefix
// and nowhere else.
// Usage: velora_trust_ca <certificate file>
#include <windows.h>

#include <wincrypt.h>

#include <cstring>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: velora_trust_ca <certificate file>\n");
        return 2;
    }
    const HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"cannot open %ls (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    std::vector<BYTE> der(GetFileSize(file, nullptr));
    DWORD read = 0;
    const BOOL ok = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != der.size()) {
        fwprintf(stderr, L"cannot read %ls\n", argv[1]);
        return 1;
    }
    static const char kPemStart[] = "-----BEGIN";
    if (der.size() > sizeof kPemStart && std::memcmp(der.data(), kPemStart, 10) == 0) {
        DWORD size = 0;
        const auto* pem = reinterpret_cast<const char*>(der.data());
        const auto length = static_cast<DWORD>(der.size());
        std::vector<BYTE> decoded;
        if (CryptStringToBinaryA(pem, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                 nullptr)) {
            decoded.resize(size);
            if (!CryptStringToBinaryA(pem, length, CRYPT_STRING_BASE64HEADER, decoded.data(), &size,
                                      nullptr, nullptr))
                decoded.clear();
        }
        if (decoded.empty()) {
            fwprintf(stderr, L"%ls holds no readable certificate\n", argv[1]);
            return 1;
        }
        der = std::move(decoded);
    }
    const HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store) {
        fwprintf(stderr, L"cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                        static_cast<DWORD>(der.size()),
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fwprintf(stderr, L"cannot add the certificate (%lu)\n", error);
        return 1;
    }
    return 0;
}
