#include "base/shared_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace base {

#ifdef _WIN32

namespace {

void* Load(const char* name) {
    HMODULE module = ::LoadLibraryExA(
        name, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        // A Windows without those flags: the system folder alone, named in full.
        char folder[MAX_PATH];
        const UINT length = ::GetSystemDirectoryA(folder, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            module = ::LoadLibraryA((std::string(folder, length) + "\\" + name).c_str());
        }
    }
    return reinterpret_cast<void*>(module);
}

void* Lookup(void* handle, const char* symbol) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle), symbol));
}

}  // namespace

#else

namespace {

void* Load(const char* name) {
    return ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* Lookup(void* handle, const char* symbol) {
    return ::dlsym(handle, symbol);
}

}  // namespace

#endif

SharedLibrary::SharedLibrary(const char* name) : name_(name), handle_(Load(name)) {
    if (handle_ == nullptr) {
        missing_ = name_ + " could not be loaded";
    }
}

void* SharedLibrary::Symbol(const char* symbol) {
    void* found = handle_ != nullptr ? Lookup(handle_, symbol) : nullptr;
    if (found == nullptr && missing_.empty()) {
        missing_ = name_ + " has no " + symbol;
    }
    return found;
}

}  // namespace base
