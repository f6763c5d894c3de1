// Pieces of the Win32 platform that the entry and the tests reach directly.
#pragma once

#include "launcher/platform.hpp"
#include "rtl/win32.hpp"

namespace velora::win32 {

// The application's hidden top-level window, created at start-up and kept until exit.
class TApplicationWindow {
public:
    TApplicationWindow();
    ~TApplicationWindow();
    TApplicationWindow(const TApplicationWindow&) = delete;
    TApplicationWindow& operator=(const TApplicationWindow&) = delete;

    HWND Handle() const noexcept { return FWindow; }

private:
    HWND FWindow = nullptr;
};

enum class TMessageMechanism {
    TaskDialog, // the task dialog where the common controls have one, else the message box
    MessageBox, // the plain message box
};

// The modal information message, owned by the given window. Throws when it was not shown.
void ShowInformationMessage(HWND owner, const UnicodeString& text, TMessageMechanism mechanism);

// Runs download on a worker thread while a task dialog owned by the given window shows its
// progress; the dialog's Cancel stops it. Without a task dialog, runs it on this thread.
void RunWithDownloadProgress(HWND owner, const std::function<void(IDownloadProgress&)>& download);

} // namespace velora::win32
