#include "rtl/codepages.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/streams.hpp"
#include "rtl/win32.hpp"

#include <atomic>
#include <cstdio>
#include <limits>

namespace velora {

namespace win32 {
UnicodeString SysErrorMessage(DWORD code, HMODULE module) {
    wchar_t* buffer = nullptr;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
    flags |= module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD length =
        ::FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    UnicodeString text;
    if (length > 0 && buffer) {
        text = FromW(buffer, length);
    }
    if (buffer) {
        ::LocalFree(buffer);
    }
    while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) {
        text.pop_back();
    }
    return text;
}
} // namespace win32

struct TFileStream::Handle : win32::THandle {
    using THandle::THandle;
};

TFileStream::TFileStream(UnicodeString fileName, std::unique_ptr<Handle> handle)
    : FFileName(std::move(fileName)), FHandle(std::move(handle)) {}

TFileStream::~TFileStream() = default;

std::unique_ptr<TFileStream> TFileStream::Create(const UnicodeString& fileName) {
    auto handle = std::make_unique<Handle>(
        ::CreateFileW(win32::W(fileName), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle->Valid()) {
        const DWORD error = ::GetLastError();
        throw EFCreateError(
            Format(u"Cannot create file \"%s\". %s", {fileName, win32::SysErrorMessage(error)}));
    }
    return std::unique_ptr<TFileStream>(new TFileStream(fileName, std::move(handle)));
}

std::unique_ptr<TFileStream> TFileStream::CreateNew(const UnicodeString& fileName) {
    auto handle = std::make_unique<Handle>(
        ::CreateFileW(win32::W(fileName), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle->Valid()) {
        const DWORD error = ::GetLastError();
        throw EFCreateError(
            Format(u"Cannot create file \"%s\". %s", {fileName, win32::SysErrorMessage(error)}));
    }
    return std::unique_ptr<TFileStream>(new TFileStream(fileName, std::move(handle)));
}

std::unique_ptr<TFileStream> TFileStream::CreateBeside(const UnicodeString& target) {
    static std::atomic<unsigned> counter{0};
    std::unique_ptr<Handle> handle;
    UnicodeString name;
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
        const auto tag = static_cast<unsigned>(::GetTickCount64()) ^
                         (static_cast<unsigned>(::GetCurrentProcessId()) << 20) ^
                         (counter++ * 0x9E3779B9u);
        char suffix[32];
        std::snprintf(suffix, sizeof(suffix), ".%08x.tmp", tag);
        name = target + U16(suffix);
        handle = std::make_unique<Handle>(
            ::CreateFileW(win32::W(name), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        error = handle->Valid() ? ERROR_SUCCESS : ::GetLastError();
    }
    if (!handle->Valid()) {
        throw EFCreateError(
            Format(u"Cannot create file \"%s\". %s", {target, win32::SysErrorMessage(error)}));
    }
    return std::unique_ptr<TFileStream>(new TFileStream(name, std::move(handle)));
}

namespace {
bool SameFileId(const BY_HANDLE_FILE_INFORMATION& a, HANDLE other) {
    BY_HANDLE_FILE_INFORMATION b{};
    return ::GetFileInformationByHandle(other, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}
} // namespace

bool TFileStream::IsFile(const UnicodeString& path) const {
    BY_HANDLE_FILE_INFORMATION own{};
    if (!::GetFileInformationByHandle(FHandle->Get(), &own)) {
        return false;
    }
    // The link itself, then what it leads to.
    const DWORD flagSets[] = {FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              FILE_FLAG_BACKUP_SEMANTICS};
    for (const DWORD flags : flagSets) {
        const win32::THandle other(
            ::CreateFileW(win32::W(path), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, flags, nullptr));
        if (other.Valid() && SameFileId(own, other.Get())) {
            return true;
        }
    }
    return false;
}

void TFileStream::FlushToDisk() {
    if (!::FlushFileBuffers(FHandle->Get())) {
        const DWORD error = ::GetLastError();
        throw EWriteError(
            Format(u"Cannot write file \"%s\". %s", {FFileName, win32::SysErrorMessage(error)}));
    }
}

UnicodeString RenameOverFile(const UnicodeString& from, const UnicodeString& to) {
    if (!::MoveFileExW(win32::W(from), win32::W(to),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return win32::SysErrorMessage(::GetLastError());
    }
    return {};
}

void RemoveFileQuietly(const UnicodeString& fileName) noexcept {
    try {
        ::DeleteFileW(win32::W(fileName));
    } catch (...) {
    }
}

std::unique_ptr<TFileStream> TFileStream::OpenRead(const UnicodeString& fileName) {
    auto handle = std::make_unique<Handle>(
        ::CreateFileW(win32::W(fileName), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle->Valid()) {
        const DWORD error = ::GetLastError();
        throw EFOpenError(
            Format(u"Cannot open file \"%s\". %s", {fileName, win32::SysErrorMessage(error)}));
    }
    return std::unique_ptr<TFileStream>(new TFileStream(fileName, std::move(handle)));
}

namespace {
// ReadFile and WriteFile take 32-bit counts; larger requests move in several calls' worth.
DWORD ClampCount(std::int64_t count) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    return static_cast<DWORD>(count < 0 ? 0 : (count > kMax ? kMax : count));
}
} // namespace

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    DWORD done = 0;
    if (!::ReadFile(FHandle->Get(), buffer, ClampCount(count), &done, nullptr)) {
        return 0;
    }
    return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
    DWORD done = 0;
    if (!::WriteFile(FHandle->Get(), buffer, ClampCount(count), &done, nullptr)) {
        return 0;
    }
    return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    const DWORD method = origin == TSeekOrigin::soBeginning ? FILE_BEGIN
                         : origin == TSeekOrigin::soCurrent ? FILE_CURRENT
                                                            : FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!::SetFilePointerEx(FHandle->Get(), distance, &position, method)) {
        return -1;
    }
    return position.QuadPart;
}

void TFileStream::SetSize(std::int64_t newSize) {
    const std::int64_t position = Position();
    if (Seek(newSize, TSeekOrigin::soBeginning) < 0 || !::SetEndOfFile(FHandle->Get())) {
        throw EStreamError(u"Stream write error");
    }
    // The position stays where it was unless that now lies past the end.
    Seek(position < newSize ? position : newSize, TSeekOrigin::soBeginning);
}

void TFileStream::Flush() {
    const HANDLE handle = FHandle->Get();
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && !::FlushFileBuffers(handle)) {
        const DWORD error = ::GetLastError();
        throw EWriteError(
            Format(u"Cannot flush file \"%s\". %s", {FFileName, win32::SysErrorMessage(error)}));
    }
}

void TFileStream::Close() {
    const HANDLE handle = FHandle->Release();
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && !::CloseHandle(handle)) {
        const DWORD error = ::GetLastError();
        throw EWriteError(
            Format(u"Cannot close file \"%s\". %s", {FFileName, win32::SysErrorMessage(error)}));
    }
}

int SystemAnsiCodePage() {
    return static_cast<int>(::GetACP());
}

} // namespace velora
