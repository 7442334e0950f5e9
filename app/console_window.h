// The console window of the process, the owner of the CAN library's device-selection dialog.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

// The console window's handle; null where there is none (no console, output redirected under
// some hosts, or a platform without windows).
inline void* ConsoleWindowHandle() {
#ifdef _WIN32
    return GetConsoleWindow();
#else
    return nullptr;
#endif
}
