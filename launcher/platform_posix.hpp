// Pieces of the POSIX platform that tests reach directly.
#pragma once

#include "launcher/platform.hpp"
#include "rtl/ustring.hpp"

#include <functional>
#include <string>

namespace velora::posix {

// $XDG_DATA_HOME when set and absolute, else <home>/.local/share with $HOME when absolute, else
// the home from the password database; empty text when no home is known. No trailing "/".
UnicodeString LocalDataFolder(const char* xdgDataHome, const char* home,
                              const std::function<std::string()>& passwordHome);

// Shows the information message through GTK 3, loaded on first use. Throws when GTK or a
// display is missing.
void ShowGtkInformationMessage(const UnicodeString& text);

// Runs download while the progress window shows; without GTK or a display, without a window.
void RunGtkDownloadProgress(const std::function<void(IDownloadProgress&)>& download);

} // namespace velora::posix
