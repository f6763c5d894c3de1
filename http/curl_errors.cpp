#include "http/curl_errors.hpp"

namespace velora::curlerrors {

UnicodeString Text(CURLcode code) {
    return U16(curl_easy_strerror(code));
}

// By libcurl result code (the "(%d) %s" of the messages is that code and its text):
//
//   code                                  | kind          | outcome / message
//   --------------------------------------+---------------+-------------------------------------
//   60 PEER_FAILED_VERIFICATION           | SecureChannel | CertificateRejected; the reasons
//                                         |               | come from the verify result
//   35 SSL_CONNECT_ERROR, a stapled OCSP  | SecureChannel | CertificateRejected, reason
//      answer says the certificate is     |               | CertRevoked
//      revoked                            |               |
//   35 SSL_CONNECT_ERROR, the server      | ClientCert-   | ClientCertificateRequested (the
//      asked for a client certificate     | Requested     | handshake was stopped for it)
//   35 SSL_CONNECT_ERROR otherwise (no    | SecureChannel | reasons = SecurityChannelError only:
//      common version or cipher, ...)     |               | send message
//   90 SSL_PINNEDPUBKEYNOTMATCH (another  | SecureChannel | the accepted certificate is not the
//      key after a certificate accepted)  |               | one presented: send message
//   42 ABORTED_BY_CALLBACK                | Cancelled     | cancelled: Completed; refused by the
//                                         |               | certificate callback: "Server
//                                         |               | Certificate not accepted"
//   56 RECV_ERROR with the proxy's 407 to | -             | Completed: the proxy's challenge is
//      CONNECT                            |               | the response (without its cookies
//                                         |               | and Location); any other answer in
//                                         |               | place of a tunnel: send message
//   any, after the response headers       | -             | Completed; the body read then fails
//                                         |               | with "Error reading data"
//   5, 6 (resolving), 7 (refused), 28     | Other         | before the request went out: send
//   (timeout), 55, 56 (reset), 52, others |               | message; after: receive message
TPlatformError Classify(CURLcode rc, long verifyResult, TCurlTransfer::TStop stop,
                        const curltls::TPeer& peer, THTTPSecureFailureReasons& reasons) {
    TPlatformError error{rc, Text(rc), TPlatformError::TKind::Other};
    switch (rc) {
    case CURLE_PEER_FAILED_VERIFICATION:
        error.Kind = TPlatformError::TKind::SecureChannel;
        // A failed host name check leaves the verify result at 0 or "unspecified".
        reasons = verifyResult == 0 || verifyResult == 1
                      ? THTTPSecureFailureReasons{}
                      : curltls::ReasonsFromVerifyResult(verifyResult);
        if (peer.NameMismatch)
            reasons.Include(THTTPSecureFailureReason::CertCNInvalid);
        else if (reasons.Empty())
            reasons = curltls::ReasonsFromVerifyResult(verifyResult);
        break;
    case CURLE_SSL_CONNECT_ERROR:
        if (peer.Revoked) {
            error.Kind = TPlatformError::TKind::SecureChannel;
            reasons = {THTTPSecureFailureReason::CertRevoked};
        } else if (peer.ClientCertificateRequested && !peer.ClientCertificateDecided) {
            error.Kind = TPlatformError::TKind::ClientCertificateRequested;
        } else {
            error.Kind = TPlatformError::TKind::SecureChannel;
            reasons = {THTTPSecureFailureReason::SecurityChannelError};
        }
        break;
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        error.Kind = TPlatformError::TKind::SecureChannel;
        reasons = {THTTPSecureFailureReason::InvalidCert};
        break;
    case CURLE_ABORTED_BY_CALLBACK:
        if (stop == TCurlTransfer::TStop::Cancelled ||
            stop == TCurlTransfer::TStop::CertificateRefused)
            error.Kind = TPlatformError::TKind::Cancelled;
        break;
    default:
        break;
    }
    return error;
}

} // namespace velora::curlerrors
