// The text of a system error code, for messages: errno's text, or on Windows the system's
// message for any GetLastError / WSAGetLastError code (one message table serves both), followed
// there by the code.
#pragma once

#include <string>

namespace base {

std::string ErrorText(int code);

}  // namespace base
