#include "launcher/platform_win32.hpp"

#include "launcher/platform.hpp"
#include "rtl/exceptions.hpp"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

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
