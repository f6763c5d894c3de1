// The platform operations the launcher needs, behind one interface so that the sequence is the
// same on every platform and can run against a fake.
#pragma once

#include "rtl/streams.hpp"
#include "rtl/ustring.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace velora {

inline constexpr int CSIDL_LOCAL_APPDATA = 28;

// What a download tells the window that shows its progress.
class IDownloadProgress {
public:
    virtual ~IDownloadProgress() = default;
    // received of total bytes (total negative: not known); false once the user asked to stop.
    virtual bool Report(std::int64_t received, std::int64_t total) = 0;
};

class IPlatform {
public:
    virtual ~IPlatform() = default;

    // A shell special folder without trailing delimiter; empty text when it cannot be found.
    virtual UnicodeString ShellFolderPath(int csidl) = 0;
    virtual char16_t PathDelimiter() const = 0;
    // Whether the unit ends the parent part of a path (the delimiter; on Windows also ':').
    virtual bool EndsParentPart(char16_t c) const = 0;

    virtual bool FolderExists(const UnicodeString& path) = 0;
    virtual bool MakeFolder(const UnicodeString& path) = 0;

    // One value as the platform's profile reader gives it: at most 2,047 units, or the default
    // when the file, section or key is missing.
    virtual UnicodeString ReadProfileString(const UnicodeString& section, const UnicodeString& key,
                                            const UnicodeString& defaultValue,
                                            const UnicodeString& fileName) = 0;
    // Drops the platform's cached copy of a profile file.
    virtual void FlushProfile(const UnicodeString& fileName) = 0;

    // False when the file cannot be deleted, also when it is a program that runs or a file that
    // another process holds open without sharing.
    virtual bool RemoveFile(const UnicodeString& path) = 0;
    // A new file, read and write, no sharing; EFCreateError when anything is at the path, a
    // link included (none is followed). Its Close reports what the system reports only on
    // closing, its Flush makes the data durable.
    virtual std::unique_ptr<TStream> CreateFileStream(const UnicodeString& path) = 0;
    // Renames a closed file; false when it cannot, also when anything (a link included) is at
    // the new path, which stays as it was.
    virtual bool RenameFile(const UnicodeString& from, const UnicodeString& to) = 0;

    // Modal; returns once the user has closed it. Fails when it cannot be shown.
    virtual void ShowInformationMessage(const UnicodeString& text) = 0;

    // Runs download while a progress window with a Cancel button shows, and closes the window
    // before it returns; what download raises comes through. Where no window can be shown the
    // download runs without one.
    virtual void RunWithDownloadProgress(const std::function<void(IDownloadProgress&)>& download) {
        struct TNoWindow final : IDownloadProgress {
            bool Report(std::int64_t, std::int64_t) override { return true; }
        } noWindow;
        download(noWindow);
    }

    // Starts a program and does not wait for it; false when it could not be started. An empty
    // file name starts nothing. The program inherits none of the launcher's open files.
    virtual bool StartProgram(const UnicodeString& file, const UnicodeString& parameters) = 0;
};

// The implementation for the platform this build runs on.
std::unique_ptr<IPlatform> CreatePlatform();

} // namespace velora
