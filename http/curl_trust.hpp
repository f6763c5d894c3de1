// What the libcurl backend trusts: the system store, plus the build's extra CA file when it
// names one.
#pragma once

#include <curl/curl.h>

namespace velora::curltrust {

// Points the transfer at the system store and the build's extra CA file. Read once per
// process; a named file that cannot be read leaves the system store alone in charge.
void Apply(CURL* easy);

} // namespace velora::curltrust
