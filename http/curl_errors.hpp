// How the libcurl backend reports a failed transfer: libcurl's result code and its text, and
// the kind of failure the HTTP layer's send-error classification takes it for.
#pragma once

#include "http/curl_tls.hpp"
#include "http/curl_transfer.hpp"
#include "http/http_client.hpp"

#include <curl/curl.h>

namespace velora::curlerrors {

// curl_easy_strerror's text for the code.
UnicodeString Text(CURLcode code);

// The failure a transfer ended with, before the response headers were complete. The reasons
// of a secure-channel failure go to reasons.
TPlatformError Classify(CURLcode rc, long verifyResult, TCurlTransfer::TStop stop,
                        const curltls::TPeer& peer, THTTPSecureFailureReasons& reasons);

} // namespace velora::curlerrors
