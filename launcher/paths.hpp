// Path rules of the sequence, written against the platform's delimiter.
#pragma once

#include "launcher/platform.hpp"

namespace velora {

// Appends the delimiter unless the text already ends with it; empty text becomes the delimiter.
UnicodeString IncludeTrailingPathDelimiter(const IPlatform& platform, const UnicodeString& path);

// Creates a folder and its missing parents; true when the folder exists afterwards.
// An empty path is EInOutError "Unable to create directory" (code 3).
bool ForceDirectories(IPlatform& platform, const UnicodeString& path);

} // namespace velora
