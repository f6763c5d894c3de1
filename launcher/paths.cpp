#include "launcher/paths.hpp"

#include "rtl/exceptions.hpp"

namespace velora {

UnicodeString IncludeTrailingPathDelimiter(const IPlatform& platform, const UnicodeString& path) {
    const char16_t delimiter = platform.PathDelimiter();
    if (!path.empty() && path.back() == delimiter) {
        return path;
    }
    return path + delimiter;
}

bool ForceDirectories(IPlatform& platform, const UnicodeString& path) {
    if (path.empty()) {
        throw EInOutError(u"Unable to create directory", 3);
    }
    UnicodeString dir = path;
    if (dir.back() == platform.PathDelimiter()) {
        dir.pop_back();
    }
    if (platform.FolderExists(dir)) {
        return true;
    }
    std::size_t cut = dir.size();
    while (cut > 0 && !platform.EndsParentPart(dir[cut - 1])) {
        --cut;
    }
    const UnicodeString parent = dir.substr(0, cut);
    if (dir.size() < 3 || parent == dir) {
        return platform.MakeFolder(dir);
    }
    return ForceDirectories(platform, parent) && platform.MakeFolder(dir);
}

} // namespace velora
