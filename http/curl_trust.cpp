#include "http/curl_trust.hpp"

#include "rtl/build_config.hpp"

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

namespace velora::curltrust {
namespace {

std::string ReadWholeFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// With the system's hashed certificate folder the extra file is the CA file and the folder
// supplies the rest, looked up by need; otherwise both are joined into one PEM block. Nothing to
// do when the build names no extra file.
struct TTrust {
    std::string CaFile;
    std::string CaPath;
    std::string Bundle;
};

const TTrust& Trust() {
    static std::once_flag once;
    static TTrust trust;
    std::call_once(once, [] {
        if (kExtraCaFile == nullptr || *kExtraCaFile == '\0' || !std::ifstream(kExtraCaFile))
            return;
        std::string systemFile, systemPath;
        if (CURL* probe = curl_easy_init()) {
            char* text = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &text) == CURLE_OK && text != nullptr)
                systemFile = text;
            text = nullptr;
            if (curl_easy_getinfo(probe, CURLINFO_CAPATH, &text) == CURLE_OK && text != nullptr)
                systemPath = text;
            curl_easy_cleanup(probe);
        }
        if (!systemPath.empty()) {
            trust.CaFile = kExtraCaFile;
            trust.CaPath = systemPath;
        } else {
            trust.Bundle = ReadWholeFile(systemFile.c_str()) + "\n" + ReadWholeFile(kExtraCaFile);
        }
    });
    return trust;
}

} // namespace

void Apply(CURL* easy) {
    const TTrust& trust = Trust();
    if (!trust.CaFile.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, trust.CaFile.c_str());
        curl_easy_setopt(easy, CURLOPT_CAPATH, trust.CaPath.c_str());
    } else if (!trust.Bundle.empty()) {
        // libcurl copies the blob unless told not to; the bundle lives as long as the process.
        curl_blob blob{const_cast<char*>(trust.Bundle.data()), trust.Bundle.size(),
                       CURL_BLOB_NOCOPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    }
}

} // namespace velora::curltrust
