// Wiping of sensitive bytes in a way the optimiser cannot remove.
#pragma once

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

} // namespace velora
