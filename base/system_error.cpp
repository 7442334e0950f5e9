#include "base/system_error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstring>
#endif

namespace base {

#ifdef _WIN32

std::string ErrorText(int code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result;
    if (length != 0 && text != nullptr) {
        result.assign(text, length);
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                                   result.back() == ' ' || result.back() == '.')) {
            result.pop_back();
        }
    }
    ::LocalFree(text);
    if (result.empty()) {
        result = "error";
    }
    return result + " (" + std::to_string(code) + ")";
}

#else

std::string ErrorText(int code) {
    return std::strerror(code);
}

#endif

}  // namespace base
