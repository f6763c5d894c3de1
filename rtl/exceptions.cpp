#include "rtl/exceptions.hpp"

namespace velora {

Exception::Exception(UnicodeString message)
    : FMessage(std::move(message)), FWhat(ToUtf8(FMessage)) {}

Exception::Exception(std::string_view utf8Message)
    : FMessage(U16(utf8Message)), FWhat(utf8Message) {}

} // namespace velora
