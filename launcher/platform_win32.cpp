#include "launcher/platform_win32.hpp"

#include "launcher/download_progress.hpp"
#include "launcher/platform.hpp"
#include "rtl/exceptions.hpp"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

namespace velora {

namespace win32 {

namespace {

constexpr wchar_t kApplicationWindowClass[] = L"TVeloraApplication";

LRESULT CALLBACK ApplicationWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(window, message, wParam, lParam);
}

UnicodeString LastErrorText(std::u16string_view what) {
    const DWORD error = ::GetLastError();
    return Format(u"%s: (%d) %s",
                  {UnicodeString(what), static_cast<std::int64_t>(error), SysErrorMessage(error)});
}

using TTaskDialogIndirect = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// Present only in version 6 of the common controls, which the manifest asks for.
TTaskDialogIndirect FindTaskDialogIndirect() {
    HMODULE comctl = ::GetModuleHandleW(L"comctl32.dll");
    if (!comctl) {
        comctl = ::LoadLibraryW(L"comctl32.dll");
    }
    if (!comctl) {
        return nullptr;
    }
    return reinterpret_cast<TTaskDialogIndirect>(
        reinterpret_cast<void*>(::GetProcAddress(comctl, "TaskDialogIndirect")));
}

} // namespace

TApplicationWindow::TApplicationWindow() {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ApplicationWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kApplicationWindowClass;
    // A second instance in the same process finds the class registered already.
    ::RegisterClassExW(&windowClass);
    // Top-level and never shown: the owner of the message and of started programs.
    FWindow =
        ::CreateWindowExW(0, kApplicationWindowClass, L"Velora_Launcher",
                          WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX, 0,
                          0, 0, 0, nullptr, nullptr, instance, nullptr);
}

TApplicationWindow::~TApplicationWindow() {
    if (FWindow) {
        ::DestroyWindow(FWindow);
    }
}

void ShowInformationMessage(HWND owner, const UnicodeString& text, TMessageMechanism mechanism) {
    const TTaskDialogIndirect taskDialog =
        mechanism == TMessageMechanism::MessageBox ? nullptr : FindTaskDialogIndirect();
    if (taskDialog) {
        TASKDIALOGCONFIG config{};
        config.cbSize = sizeof config;
        config.hwndParent = owner;
        // Centred on the screen (no TDF_POSITION_RELATIVE_TO_WINDOW); Escape and the close
        // button end it too.
        config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
        config.dwCommonButtons = TDCBF_OK_BUTTON;
        config.pszWindowTitle = L"Information";
        config.pszMainIcon = TD_INFORMATION_ICON;
        config.pszContent = W(text);
        config.nDefaultButton = IDOK;
        int button = -1;
        const HRESULT result = taskDialog(&config, &button, nullptr, nullptr);
        if (FAILED(result)) {
            throw Exception(Format(
                u"TaskDialogIndirect: (%d) %s",
                {static_cast<std::int64_t>(result), SysErrorMessage(static_cast<DWORD>(result))}));
        }
        // Without a desktop the call can succeed although nobody saw anything.
        if (button <= 0) {
            throw Exception(u"The information message could not be shown");
        }
        return;
    }
    if (::MessageBoxW(owner, W(text), L"Information", MB_OK | MB_ICONINFORMATION) == 0) {
        throw Exception(LastErrorText(u"MessageBoxW"));
    }
}

namespace {

// What the download on the worker thread and the dialog on this one share: like the WinHTTP
// watchdog, the second thread only counts, is told to stop, and says when it is done.
struct TProgressShared final : IDownloadProgress {
    std::atomic<std::int64_t> Received{0};
    std::atomic<std::int64_t> Total{-1};
    std::atomic<bool> Cancelled{false};
    std::atomic<bool> Done{false};
    std::atomic<HWND> Dialog{nullptr};
    bool Marquee = false;
    int Position = -1;

    bool Report(std::int64_t received, std::int64_t total) override {
        Received = received;
        Total = total;
        return !Cancelled;
    }
};

std::wstring ProgressContent(std::int64_t received, std::int64_t total) {
    const UnicodeString text =
        UnicodeString(kProgressText) + u"\n" + DownloadProgressText(received, total);
    return std::wstring(text.begin(), text.end());
}

void ShowProgress(HWND dialog, TProgressShared& shared) {
    const std::int64_t received = shared.Received;
    const std::int64_t total = shared.Total;
    const bool marquee = total <= 0;
    if (marquee != shared.Marquee) {
        shared.Marquee = marquee;
        ::SendMessageW(dialog, TDM_SET_MARQUEE_PROGRESS_BAR, marquee, 0);
        ::SendMessageW(dialog, TDM_SET_PROGRESS_BAR_MARQUEE, marquee, 30);
        if (!marquee) {
            ::SendMessageW(dialog, TDM_SET_PROGRESS_BAR_RANGE, 0, MAKELPARAM(0, 100));
            shared.Position = -1;
        }
    }
    if (!marquee) {
        const int position = static_cast<int>(std::min(received, total) * 100 / total);
        if (position != shared.Position) {
            shared.Position = position;
            ::SendMessageW(dialog, TDM_SET_PROGRESS_BAR_POS, static_cast<WPARAM>(position), 0);
        }
    }
    const std::wstring content = ProgressContent(received, total);
    ::SendMessageW(dialog, TDM_UPDATE_ELEMENT_TEXT, TDE_CONTENT,
                   reinterpret_cast<LPARAM>(content.c_str()));
}

// Wine places an owned task dialog at the owner's corner; Windows centres it on the screen.
void CentreOnMonitor(HWND dialog) {
    RECT window{};
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!::GetWindowRect(dialog, &window) ||
        !::GetMonitorInfoW(::MonitorFromWindow(dialog, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
        return;
    }
    const RECT& area = monitor.rcWork;
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    ::SetWindowPos(dialog, nullptr, area.left + (area.right - area.left - width) / 2,
                   area.top + (area.bottom - area.top - height) / 2, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Close(HWND dialog) {
    // A click the callback does not count as the user's Cancel, since the download is done.
    ::PostMessageW(dialog, TDM_CLICK_BUTTON, IDCANCEL, 0);
}

HRESULT CALLBACK ProgressCallback(HWND dialog, UINT notification, WPARAM wParam, LPARAM,
                                  LONG_PTR data) {
    auto& shared = *reinterpret_cast<TProgressShared*>(data);
    switch (notification) {
    case TDN_CREATED:
        CentreOnMonitor(dialog);
        shared.Dialog = dialog;
        [[fallthrough]];
    case TDN_TIMER:
        if (shared.Done) {
            Close(dialog);
        } else {
            ShowProgress(dialog, shared);
        }
        break;
    case TDN_BUTTON_CLICKED:
        // Cancel, Escape and the close button.
        if (wParam == IDCANCEL && !shared.Done) {
            shared.Cancelled = true;
        }
        break;
    default:
        break;
    }
    return S_OK;
}

} // namespace

void RunWithDownloadProgress(HWND owner, const std::function<void(IDownloadProgress&)>& download) {
    TProgressShared shared;
    const TTaskDialogIndirect taskDialog = FindTaskDialogIndirect();
    if (!taskDialog) {
        download(shared);
        return;
    }
    // The task dialog runs its own message loop on this thread, so the download runs on a
    // worker until it ends, and then closes the dialog.
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            download(shared);
        } catch (...) {
            failure = std::current_exception();
        }
        shared.Done = true;
        if (const HWND dialog = shared.Dialog) {
            Close(dialog);
        }
    });
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_SHOW_PROGRESS_BAR | TDF_CALLBACK_TIMER;
    config.dwCommonButtons = TDCBF_CANCEL_BUTTON;
    const std::wstring title(kProgressTitle.begin(), kProgressTitle.end());
    // Both lines from the start: an update in place keeps the dialog's size.
    const std::wstring content = ProgressContent(0, -1);
    config.pszWindowTitle = title.c_str();
    config.pszContent = content.c_str();
    config.pfCallback = ProgressCallback;
    config.lpCallbackData = reinterpret_cast<LONG_PTR>(&shared);
    taskDialog(&config, nullptr, nullptr, nullptr);
    // Shown or not, the download runs to its end (or its abort) before anything is started.
    worker.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace win32

namespace {

class TWin32Platform final : public IPlatform {
public:
    UnicodeString ShellFolderPath(int csidl) override {
        wchar_t buffer[MAX_PATH + 1] = {};
        const HRESULT result = ::SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer);
        if (result < 0) {
            return UnicodeString();
        }
        std::size_t length = 0;
        while (length < MAX_PATH + 1 && buffer[length] != L'\0') {
            ++length;
        }
        return win32::FromW(buffer, length);
    }

    char16_t PathDelimiter() const override { return u'\\'; }
    bool EndsParentPart(char16_t c) const override { return c == u'\\' || c == u':'; }

    bool FolderExists(const UnicodeString& path) override {
        const DWORD attributes = ::GetFileAttributesW(win32::W(path));
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    bool MakeFolder(const UnicodeString& path) override {
        return ::CreateDirectoryW(win32::W(path), nullptr) != FALSE;
    }

    UnicodeString ReadProfileString(const UnicodeString& section, const UnicodeString& key,
                                    const UnicodeString& defaultValue,
                                    const UnicodeString& fileName) override {
        std::vector<wchar_t> buffer(2048);
        const DWORD length = ::GetPrivateProfileStringW(
            win32::W(section), win32::W(key), win32::W(defaultValue), buffer.data(),
            static_cast<DWORD>(buffer.size()), win32::W(fileName));
        return win32::FromW(buffer.data(), length);
    }

    void FlushProfile(const UnicodeString& fileName) override {
        ::WritePrivateProfileStringW(nullptr, nullptr, nullptr, win32::W(fileName));
    }

    bool RemoveFile(const UnicodeString& path) override {
        return ::DeleteFileW(win32::W(path)) != FALSE;
    }

    std::unique_ptr<TStream> CreateFileStream(const UnicodeString& path) override {
        // CREATE_NEW, and a reparse point at the path is opened as itself, never followed.
        return TFileStream::CreateNew(path);
    }

    bool RenameFile(const UnicodeString& from, const UnicodeString& to) override {
        // No MOVEFILE_REPLACE_EXISTING: what appeared at the new path stays.
        return ::MoveFileExW(win32::W(from), win32::W(to), 0) != FALSE;
    }

    void ShowInformationMessage(const UnicodeString& text) override {
        win32::ShowInformationMessage(FApplication.Handle(), text,
                                      win32::TMessageMechanism::TaskDialog);
    }

    void RunWithDownloadProgress(const std::function<void(IDownloadProgress&)>& download) override {
        win32::RunWithDownloadProgress(FApplication.Handle(), download);
    }

    bool StartProgram(const UnicodeString& file, const UnicodeString& parameters) override {
        const HINSTANCE result =
            ::ShellExecuteW(FApplication.Handle(), L"open", win32::W(file),
                            parameters.empty() ? nullptr : win32::W(parameters), nullptr, SW_SHOW);
        return reinterpret_cast<INT_PTR>(result) > 32;
    }

private:
    win32::TApplicationWindow FApplication;
};

} // namespace

std::unique_ptr<IPlatform> CreatePlatform() {
    return std::make_unique<TWin32Platform>();
}

} // namespace velora
