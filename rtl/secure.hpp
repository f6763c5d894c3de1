// Wiping of sensitive bytes in a way the optimiser cannot remove.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace velora {

void SecureZero(void* data, std::size_t size) noexcept;

template <class T> void SecureZero(std::vector<T>& v) noexcept {
    SecureZero(v.data(), v.size() * sizeof(T));
}
inline void SecureZero(std::u16string& s) noexcept {
    SecureZero(s.data(), s.size() * sizeof(char16_t));
}
inline void SecureZero(std::string& s) noexcept {
    SecureZero(s.data(), s.size());
}

// Appends to a container that holds secrets. When it has to grow, the block it leaves behind is
// wiped before it is released.
template <class Container>
void SecureAppend(Container& c, const typename Container::value_type* data, std::size_t count) {
    if (c.capacity() - c.size() < count) {
        Container grown;
        grown.reserve(std::max(c.size() + count, 2 * c.capacity()));
        grown.assign(c.begin(), c.end());
        SecureZero(c);
        c.swap(grown);
    }
    c.insert(c.end(), data, data + count);
}

} // namespace velora
