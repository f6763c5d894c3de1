// Text rules for response headers, kept apart from the client so they can be fuzzed alone.
#pragma once

#include "http/net_types.hpp"

#include <string>
#include <string_view>

namespace velora {

// A request header's name or value as it may go on the wire: each CR and LF becomes a blank,
// since a line break inside it would start a header of the peer's choosing.
UnicodeString WithoutLineBreaks(UnicodeString text);

// Header bytes as text: UTF-8 when the bytes are valid UTF-8, Latin-1 otherwise.
UnicodeString DecodeHeaderBytes(std::string_view raw);

// Builds a response's header list from the block of all its header lines. Request lines and
// lines without a name (the status line, empty lines) are skipped; "Set-Cookie" values go to
// setCookies instead of the list; a repeated name gets ", " and the new value appended.
void ParseHeaderBlock(std::u16string_view block, TNetHeaders& headers,
                      std::vector<UnicodeString>& setCookies);

// Whether a response's body ends where the connection does: a status and method that have a
// body, no Content-Length and no chunked transfer coding.
bool BodyEndsWithConnection(std::int32_t status, bool head, const TNetHeaders& headers);

// The value of the first header named name (ASCII case ignored), or empty text.
UnicodeString HeaderValue(const TNetHeaders& headers, std::u16string_view name);

// The charset parameter of a Content-Type value, unquoted; empty when there is none or when
// the parameter does not split into exactly one name and one value.
UnicodeString ContentCharSet(std::u16string_view contentType);

// The realm of an authentication challenge: the text after the parameter name "realm" (any
// case), its '=' and its opening double quote, up to the next double quote. An unquoted value
// runs to the next ',' or blank. Empty when there is no realm parameter.
UnicodeString ChallengeRealm(std::u16string_view challenge);

// Whether the challenge carries the parameter charset with the value "UTF-8" (any case).
bool ChallengeWantsUtf8(std::u16string_view challenge);

// Standard Base64 of bytes, without line breaks.
std::string Base64Encode(std::string_view bytes);

} // namespace velora
