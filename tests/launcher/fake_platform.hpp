// A platform in memory: folders, files and settings texts are maps, and every operation the
// sequence makes is appended to one event log.
#pragma once

#include "launcher/platform.hpp"
#include "launcher/profile.hpp"
#include "rtl/exceptions.hpp"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace velora::test {

class FakePlatform : public IPlatform {
public:
    explicit FakePlatform(char16_t delimiter = u'/') : FDelimiter(delimiter) {}

    UnicodeString localAppData = u"/home/u/.local/share";
    std::set<UnicodeString> folders;
    std::set<UnicodeString> unmakeableFolders;
    std::map<UnicodeString, UnicodeString> settingsTexts;
    std::map<UnicodeString, Bytes> files;
    std::set<UnicodeString> uncreatableFiles;
    // A write that would pass this many bytes of one file fails; -1 = never.
    std::int64_t writeLimit = -1;
    // Closing a written file reports a failure, as some file systems only do then.
    bool closeFails = false;
    std::set<UnicodeString> unstartablePrograms;
    bool messageFails = false;
    // Runs while the message shows (what another process does meanwhile).
    std::function<void()> whileMessageShows;
    // Every byte any file took.
    std::int64_t bytesWritten = 0;
    bool startThrowsBadAlloc = false;
    std::vector<std::string> events;
    std::vector<std::pair<UnicodeString, UnicodeString>> started;
    int flushes = 0;

    UnicodeString ShellFolderPath(int csidl) override {
        events.push_back("folder " + std::to_string(csidl));
        return csidl == CSIDL_LOCAL_APPDATA ? localAppData : UnicodeString();
    }
    char16_t PathDelimiter() const override { return FDelimiter; }
    bool EndsParentPart(char16_t c) const override {
        return c == FDelimiter || (FDelimiter == u'\\' && c == u':');
    }
    bool FolderExists(const UnicodeString& path) override { return folders.count(path) != 0; }
    bool MakeFolder(const UnicodeString& path) override {
        events.push_back("mkdir " + ToUtf8(path));
        if (path.empty() || unmakeableFolders.count(path) != 0 || folders.count(path) != 0) {
            return false;
        }
        folders.insert(path);
        return true;
    }
    UnicodeString ReadProfileString(const UnicodeString& section, const UnicodeString& key,
                                    const UnicodeString& defaultValue,
                                    const UnicodeString& fileName) override {
        events.push_back("read " + ToUtf8(fileName));
        const auto it = settingsTexts.find(fileName);
        return ReadProfileValue(it == settingsTexts.end() ? u"" : it->second, section, key,
                                defaultValue);
    }
    void FlushProfile(const UnicodeString&) override { ++flushes; }
    bool RemoveFile(const UnicodeString& path) override {
        events.push_back("delete " + ToUtf8(path));
        return files.erase(path) != 0;
    }
    std::unique_ptr<TStream> CreateFileStream(const UnicodeString& path) override {
        events.push_back("create " + ToUtf8(path));
        if (uncreatableFiles.count(path) != 0 || files.count(path) != 0) {
            throw EFCreateError(u"Cannot create file \"" + path + u"\". Exists");
        }
        files[path].clear();
        return std::make_unique<FileStream>(*this, path);
    }
    bool RenameFile(const UnicodeString& from, const UnicodeString& to) override {
        events.push_back("rename " + ToUtf8(from) + " " + ToUtf8(to));
        if (files.count(from) == 0 || files.count(to) != 0) {
            return false;
        }
        files[to] = std::move(files[from]);
        files.erase(from);
        return true;
    }
    void ShowInformationMessage(const UnicodeString& text) override {
        events.push_back("message " + ToUtf8(text));
        if (whileMessageShows) {
            whileMessageShows();
        }
        if (messageFails) {
            throw Exception(u"no display");
        }
    }
    bool StartProgram(const UnicodeString& file, const UnicodeString& parameters) override {
        if (startThrowsBadAlloc) {
            throw std::bad_alloc();
        }
        events.push_back("start " + ToUtf8(file) + "|" + ToUtf8(parameters));
        started.emplace_back(file, parameters);
        return !file.empty() && unstartablePrograms.count(file) == 0;
    }

private:
    // Writes land in the file map as they happen; closing records the close.
    class FileStream : public TStream {
    public:
        FileStream(FakePlatform& owner, UnicodeString path)
            : FOwner(owner), FPath(std::move(path)) {}
        ~FileStream() override {
            if (!FClosed) {
                FOwner.events.push_back("close " + ToUtf8(FPath));
            }
        }
        void Close() override {
            FClosed = true;
            FOwner.events.push_back("close " + ToUtf8(FPath));
            if (FOwner.closeFails) {
                throw EWriteError(u"Cannot close file. Input/output error");
            }
        }
        void Flush() override { FOwner.events.push_back("flush " + ToUtf8(FPath)); }
        std::int64_t Read(void*, std::int64_t) override { return 0; }
        std::int64_t Write(const void* buffer, std::int64_t count) override {
            Bytes& data = FOwner.files[FPath];
            if (FOwner.writeLimit >= 0 &&
                static_cast<std::int64_t>(data.size()) + count > FOwner.writeLimit) {
                return 0;
            }
            const auto* p = static_cast<const std::uint8_t*>(buffer);
            data.insert(data.end(), p, p + count);
            FOwner.bytesWritten += count;
            return count;
        }
        std::int64_t Seek(std::int64_t, TSeekOrigin) override {
            return static_cast<std::int64_t>(FOwner.files[FPath].size());
        }
        void SetSize(std::int64_t size) override {
            FOwner.files[FPath].resize(static_cast<std::size_t>(size));
        }

    private:
        FakePlatform& FOwner;
        UnicodeString FPath;
        bool FClosed = false;
    };

    char16_t FDelimiter;
};

} // namespace velora::test
