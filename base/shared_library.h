// A library loaded at run time, and the functions looked up in it: for the system libraries and
// the adapter makers' libraries that the CAN library uses only where they are installed.
//
// Where a library is looked for: on Windows the program's folder, then the system folder, never
// the current folder or PATH (a library planted there must not be loaded); elsewhere the dynamic
// loader's search path. A loaded library stays loaded for the life of the process, so that the
// functions found in it stay valid however long they are kept.
#pragma once

#include <string>

namespace base {

class SharedLibrary {
  public:
    // Loads `name` ("winusb.dll", "libcanlib.so"); loaded() tells whether it was found.
    explicit SharedLibrary(const char* name);

    bool loaded() const { return handle_ != nullptr; }

    // Looks up the function `symbol` into *function (nullptr when it is not there). The first
    // one missing, or the library itself, is named by missing().
    template <typename Function>
    bool Find(const char* symbol, Function* function) {
        *function = reinterpret_cast<Function>(Symbol(symbol));
        return *function != nullptr;
    }

    // Why the functions looked up so far cannot all be used: "NAME could not be loaded" or
    // "NAME has no SYMBOL"; empty while every one was found.
    const std::string& missing() const { return missing_; }

  private:
    void* Symbol(const char* symbol);

    std::string name_;
    void* handle_ = nullptr;
    std::string missing_;
};

}  // namespace base
