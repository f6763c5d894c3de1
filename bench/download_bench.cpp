// The launcher's download step on its own (what the update path runs after the message, in a
// build without update keys): one client, the body streamed into a new file beside the target,
// which is checked, flushed and renamed into place. Used by launcher_vs_curl.py to compare
// wall time and peak memory with curl.
#include "launcher/platform.hpp"
#include "launcher/sequence.hpp"
#include "launcher/updater_download.hpp"
#include "rtl/exceptions.hpp"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL OUTFILE\n", argv[0]);
        return 2;
    }
    try {
        using namespace velora;
        const std::unique_ptr<IPlatform> platform = CreatePlatform();
        const UnicodeString target = U16(argv[2]);
        const UnicodeString part = target + u".part";
        platform->RemoveFile(target);
        platform->RemoveFile(part);
        const std::unique_ptr<ILauncherClient> client = CreateLauncherClient();
        TUpdaterSink sink(platform->CreateFileStream(part), kMaxUpdaterSize, nullptr);
        // With a display, the progress window shows as in the launcher.
        std::shared_ptr<IHTTPResponse> response;
        platform->RunWithDownloadProgress([&](IDownloadProgress& progress) {
            response = client->Download(
                U16(argv[1]), sink, UpdaterDownloadTimeout(kMaxUpdaterSize),
                [](IHTTPResponse& r, std::int32_t& timeout) {
                    CheckUpdaterHeaders(r, std::nullopt, kMaxUpdaterSize, timeout);
                },
                [&](std::int64_t length, std::int64_t, bool& abort) {
                    abort = !progress.Report(sink.Size(), length);
                });
        });
        if (response->GetStatusCode() != 200) {
            std::fprintf(stderr, "status %d\n", static_cast<int>(response->GetStatusCode()));
            return 1;
        }
        CheckWholeBody(*response, sink.Size());
        sink.Flush();
        sink.Close();
        if (!platform->RenameFile(part, target)) {
            std::fprintf(stderr, "cannot rename the download\n");
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
