#include "launcher/command_line.hpp"

namespace velora {

std::vector<UnicodeString> SplitCommandLine(std::u16string_view parameters) {
    std::vector<UnicodeString> args;
    const std::size_t n = parameters.size();
    std::size_t i = 0;
    for (;;) {
        while (i < n && (parameters[i] == u' ' || parameters[i] == u'\t')) {
            ++i;
        }
        if (i >= n) {
            break;
        }
        UnicodeString arg;
        bool quoted = false;
        while (i < n) {
            const char16_t c = parameters[i];
            if (!quoted && (c == u' ' || c == u'\t')) {
                break;
            }
            if (c == u'\\') {
                std::size_t slashes = 0;
                while (i < n && parameters[i] == u'\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && parameters[i] == u'"') {
                    arg.append(slashes / 2, u'\\');
                    if (slashes % 2 == 1) {
                        arg.push_back(u'"');
                        ++i;
                    }
                } else {
                    arg.append(slashes, u'\\');
                }
                continue;
            }
            if (c == u'"') {
                if (quoted && i + 1 < n && parameters[i + 1] == u'"') {
                    arg.push_back(u'"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            arg.push_back(c);
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

} // namespace velora
