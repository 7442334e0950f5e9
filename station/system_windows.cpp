#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "can/can_library.h"
#include "station/system.h"

namespace {

volatile LONG interrupts = 0;

// A console's Ctrl-C reaches every program attached to it: the loaders end by themselves, and
// the station records them.
BOOL WINAPI OnControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        InterlockedIncrement(&interrupts);
        return TRUE;
    }
    return FALSE;
}

constexpr DWORD kControlCExit = 0xC000013A;  // the exit code of a program ended by Ctrl-C

HANDLE AsHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

void CloseOnce(std::intptr_t& handle) {
    if (handle != -1) {
        CloseHandle(AsHandle(handle));
        handle = -1;
    }
}

// One argument as the C runtime's command-line parser reads it back.
std::string Quote(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

std::string OwnFolder() {
    std::array<char, MAX_PATH> path{};
    DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::string text(path.data(), length);
    std::size_t slash = text.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

// Our VCINPL.dll says in its version information that it is korvane-loader's.
bool IsOurLibrary(HMODULE library) {
    std::array<char, MAX_PATH> path{};
    GetModuleFileNameA(library, path.data(), static_cast<DWORD>(path.size()));
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.data(), &ignored);
    if (size == 0) {
        return false;
    }
    std::string data(size, '\0');
    char* product = nullptr;
    UINT product_length = 0;
    return GetFileVersionInfoA(path.data(), 0, size, data.data()) != 0 &&
           VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\ProductName",
                          reinterpret_cast<void**>(&product), &product_length) != 0 &&
           std::strcmp(product, "korvane-loader") == 0;
}

}  // namespace

std::string FindLoader() {
    std::string beside = OwnFolder() + "korvane-loader.exe";
    if (GetFileAttributesA(beside.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return beside;
    }
    std::array<char, MAX_PATH> found{};
    DWORD length = SearchPathA(nullptr, "korvane-loader.exe", nullptr,
                               static_cast<DWORD>(found.size()), found.data(), nullptr);
    return length > 0 && length < found.size() ? std::string(found.data(), length) : std::string();
}

bool StartChild(const std::string& loader, const std::vector<std::string>& arguments,
                const std::string& device, Child& child, std::string& error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output_read = nullptr;
    HANDLE output_write = nullptr;
    HANDLE input_read = nullptr;
    HANDLE input_write = nullptr;
    if (!CreatePipe(&output_read, &output_write, &inherit, 0) ||
        !CreatePipe(&input_read, &input_write, &inherit, 0)) {
        error = "no pipe";
        return false;
    }
    // The station's ends stay out of every child.
    SetHandleInformation(output_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);
    std::string command = Quote(loader);
    for (const std::string& argument : arguments) {
        command += " " + Quote(argument);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input_read;
    startup.hStdOutput = output_write;
    startup.hStdError = output_write;
    PROCESS_INFORMATION process{};
    // The child takes the environment as it is now: one child at a time gets its device.
    std::array<char, 512> before{};
    DWORD had =
        GetEnvironmentVariableA("KORVANE_DEVICE", before.data(), static_cast<DWORD>(before.size()));
    if (!device.empty()) {
        SetEnvironmentVariableA("KORVANE_DEVICE", device.c_str());
    }
    BOOL started = CreateProcessA(loader.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
    if (!device.empty()) {
        SetEnvironmentVariableA("KORVANE_DEVICE",
                                had > 0 && had < before.size() ? before.data() : nullptr);
    }
    CloseHandle(output_write);
    CloseHandle(input_read);
    if (!started) {
        error = "error " + std::to_string(GetLastError());
        CloseHandle(output_read);
        CloseHandle(input_write);
        return false;
    }
    CloseHandle(process.hThread);
    child.process = reinterpret_cast<std::intptr_t>(process.hProcess);
    child.output = reinterpret_cast<std::intptr_t>(output_read);
    child.input = reinterpret_cast<std::intptr_t>(input_write);
    child.running = true;
    return true;
}

void Pump(std::vector<Child*>& children, int timeout_ms,
          const std::function<void(std::size_t, std::string_view)>& on_output) {
    // Anonymous pipes cannot be waited on: look every 10 ms until something came.
    static std::array<char, 1 << 16> buffer;
    const LONG interrupts_before = interrupts;
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        bool any = false;
        for (std::size_t i = 0; i < children.size(); ++i) {
            Child& child = *children[i];
            DWORD available = 0;
            if (child.output == -1) {
                continue;
            }
            if (!PeekNamedPipe(AsHandle(child.output), nullptr, 0, nullptr, &available, nullptr)) {
                CloseOnce(child.output);  // the child's end is closed: it has ended
                any = true;
                continue;
            }
            DWORD size = 0;
            if (available > 0 &&
                ReadFile(AsHandle(child.output), buffer.data(),
                         std::min<DWORD>(available, static_cast<DWORD>(buffer.size())), &size,
                         nullptr) &&
                size > 0) {
                on_output(i, std::string_view(buffer.data(), size));
                any = true;
            }
        }
        if (any || interrupts != interrupts_before) {
            break;
        }
        Sleep(10);
    }
    for (Child* child : children) {
        DWORD code = 0;
        if (child->running && child->output == -1 &&
            WaitForSingleObject(AsHandle(child->process), 0) == WAIT_OBJECT_0) {
            GetExitCodeProcess(AsHandle(child->process), &code);
            child->stopped_by_signal |= code == kControlCExit;
            child->running = false;
            CloseOnce(child->process);
            CloseOnce(child->input);
        }
    }
}

void SendEnter(Child& child) {
    if (child.input != -1) {
        DWORD written = 0;
        WriteFile(AsHandle(child.input), "\n", 1, &written, nullptr);
        CloseOnce(child.input);
    }
}

void StopChild(Child& child, bool hard) {
    // The console's Ctrl-C has reached the loaders already; one that still runs is ended (a
    // console program in the station's group has no gentler request to take).
    (void)hard;
    if (child.running) {
        TerminateProcess(AsHandle(child.process), kControlCExit);
        child.stopped_by_signal = true;
    }
}

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnControl, TRUE);
}

int InterruptCount() {
    return static_cast<int>(interrupts);
}

bool StdoutIsTerminal() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(output, &mode) != 0 &&
           SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

CanLibrary ListDevices(std::vector<std::string>* names) {
    // Found as the loader finds it: beside the program first.
    HMODULE library = LoadLibraryA("VCINPL.dll");
    if (library == nullptr) {
        return CanLibrary::kMissing;
    }
    if (!IsOurLibrary(library)) {
        FreeLibrary(library);
        return CanLibrary::kAdapterMakers;
    }
    using ListFunction = VciResult (*)(VciHandle*);
    using CloseFunction = VciResult (*)(VciHandle);
    using NextFunction = VciResult (*)(VciHandle, VciDeviceInfo*);
    // The ordinals of can/VCINPL.def: 2000 open, 2001 close, 2002 next, 2003 reset.
    auto open = reinterpret_cast<ListFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(2000))));
    auto close = reinterpret_cast<CloseFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(2001))));
    auto next = reinterpret_cast<NextFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(2002))));
    auto reset = reinterpret_cast<CloseFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(2003))));
    VciHandle list = nullptr;
    if (names != nullptr && open != nullptr && close != nullptr && next != nullptr &&
        reset != nullptr && open(&list) == kVciOk && reset(list) == kVciOk) {
        VciDeviceInfo info{};
        while (next(list, &info) == kVciOk) {
            names->emplace_back(info.name, strnlen(info.name, sizeof info.name));
        }
    }
    if (list != nullptr) {
        close(list);
    }
    FreeLibrary(library);
    return CanLibrary::kOurs;
}

std::intptr_t OpenRecordFile(const std::string& path) {
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool AppendRecordLine(std::intptr_t file, const std::string& line) {
    int descriptor = static_cast<int>(file);
    return _write(descriptor, line.data(), static_cast<unsigned>(line.size())) ==
               static_cast<int>(line.size()) &&
           _commit(descriptor) == 0;
}
