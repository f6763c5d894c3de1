// The launcher's download step on its own (steps the update path runs after the message):
// one client, a GET of the updater, the file created and the body copied in 1 MiB chunks.
// Used by launcher_vs_curl.py to compare wall time and peak memory with curl.
#include "http/http_client.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/streams.hpp"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL OUTFILE\n", argv[0]);
        return 2;
    }
    try {
        auto client = velora::THTTPClient::Create();
        // As the launcher asks for its download.
        client->SetMinimumRate({1024, 60000});
        auto response = client->Get(velora::U16(argv[1]));
        if (response->GetStatusCode() != 200) {
            std::fprintf(stderr, "status %d\n", static_cast<int>(response->GetStatusCode()));
            return 1;
        }
        auto file = velora::TFileStream::Create(velora::U16(argv[2]));
        file->CopyFrom(response->GetContentStream(), response->GetContentLength(), 1048576);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
