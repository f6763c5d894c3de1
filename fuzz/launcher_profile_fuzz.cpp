// The profile reader on arbitrary files: decoding never fails, and a value comes back within
// the buffer, free of NUL and of line ends.
#include "launcher/profile.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the buffer size, so that short cuts are explored too.
    const std::size_t buffer = data[0] % 2 == 0 ? 2048 : 1 + data[0] % 16;
    const velora::UnicodeString text = velora::DecodeProfileText({data + 1, size - 1});
    for (const auto& [section, key] :
         {std::pair<std::u16string_view, std::u16string_view>{u"Velora Player", u"LocalVersion"},
          {u"a", u"b"},
          {u"", u""}}) {
        const velora::UnicodeString value =
            velora::ReadProfileValue(text, section, key, u"\x01", buffer);
        if (value.size() > buffer - 1 || value.find(u'\0') != velora::UnicodeString::npos) {
            std::abort();
        }
        if (value == u"\x01") {
            continue;
        }
        // A value never reaches past its line.
        if (value.find_first_of(u"\r\n") != velora::UnicodeString::npos) {
            std::abort();
        }
    }
    return 0;
}
