#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "can/can_library.h"
#include "station/system.h"

namespace station {

namespace {

volatile LONG interrupts = 0;
HANDLE station_done = nullptr;  // set when every load is recorded

// A console's Ctrl-C reaches every program attached to it: the loaders end by themselves, and
// the station records them. A closed console window, log-off and shutdown are taken alike; as
// the station ends when this returns from those, it returns once every load is recorded (or
// when the system's own time for it is up).
BOOL WINAPI OnControl(DWORD event) {
    InterlockedIncrement(&interrupts);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && station_done != nullptr) {
        WaitForSingleObject(station_done, INFINITE);
    }
    return TRUE;
}

// The system's text for an error code, without its line end.
std::string ErrorText(DWORD code) {
    std::array<char, 512> text{};
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text.data(), static_cast<DWORD>(text.size()), nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    return length > 0 ? std::string(text.data(), length) : "error " + std::to_string(code);
}

// Text in the ANSI code page (the command line's, and so the image path's in the loader's
// console) as UTF-8; as it is when it is no text of that code page.
std::string FromAnsiCodePage(std::string_view text) {
    if (text.empty() || GetACP() == CP_UTF8) {
        return std::string(text);
    }
    int wide_length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                                          static_cast<int>(text.size()), nullptr, 0);
    if (wide_length <= 0) {
        return std::string(text);
    }
    std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), wide_length);
    int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, utf8.data(), length, nullptr,
                        nullptr);
    return utf8;
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

bool IsFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string FindLoader() {
    std::string beside = OwnFolder() + "korvane-loader.exe";
    if (IsFile(beside)) {
        return beside;
    }
    // The folders of PATH in order, and no other (SearchPath would look in the current folder
    // first).
    std::array<char, 32767> path{};
    DWORD length = GetEnvironmentVariableA("PATH", path.data(), static_cast<DWORD>(path.size()));
    std::string_view folders(path.data(), length < path.size() ? length : 0);
    while (!folders.empty()) {
        std::size_t semicolon = folders.find(';');
        std::string folder(folders.substr(0, semicolon));
        folders = semicolon == std::string_view::npos ? "" : folders.substr(semicolon + 1);
        if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
            folder = folder.substr(1, folder.size() - 2);
        }
        if (folder.empty()) {
            continue;
        }
        std::string candidate = folder +
                                (folder.back() == '\\' || folder.back() == '/' ? "" : "\\") +
                                "korvane-loader.exe";
        if (IsFile(candidate)) {
            return candidate;
        }
    }
    return {};
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
        error = "no pipe: " + ErrorText(GetLastError());
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
        error = loader + ": " + ErrorText(GetLastError());
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
    // The console's Ctrl-C has reached the loaders already (a console program in the station's
    // group has no gentler request to take): one that still runs after the grace is ended.
    if (hard && child.running) {
        TerminateProcess(AsHandle(child.process), kControlCExit);
        child.stopped_by_signal = true;
    }
}

void PrepareSignals() {
    station_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl-C taken, even when started with it ignored
    SetConsoleCtrlHandler(OnControl, TRUE);
    // Inherited by the loaders: one that crashes ends instead of waiting in an error dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

void StationDone() {
    if (station_done != nullptr) {
        SetEvent(station_done);
    }
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

void TerminalSize(std::size_t& columns, std::size_t& rows) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    columns = 80;
    rows = 24;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0) {
        columns = static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
        rows = static_cast<std::size_t>(info.srWindow.Bottom - info.srWindow.Top + 1);
    }
}

std::string ConsoleText(std::string_view text) {
    // The loader's own lines are ASCII; what else it prints (the image path) came to it in the
    // ANSI code page.
    return FromAnsiCodePage(text);
}

std::string ArgumentText(std::string_view text) {
    return FromAnsiCodePage(text);
}

CanLibrary ListDevices(std::vector<ListedDevice>* devices) {
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
    if (devices != nullptr && open != nullptr && close != nullptr && next != nullptr &&
        reset != nullptr && open(&list) == kVciOk && reset(list) == kVciOk) {
        VciDeviceInfo info{};
        while (next(list, &info) == kVciOk) {
            devices->push_back({std::string(info.name, strnlen(info.name, sizeof info.name)),
                                std::string(info.description,
                                            strnlen(info.description, sizeof info.description))});
        }
    }
    if (list != nullptr) {
        close(list);
    }
    FreeLibrary(library);
    return CanLibrary::kOurs;
}

bool OpenRecordFile(const std::string& path, RecordFile& file, std::string& error) {
    // Appending only: every write goes to the end as one piece, whoever else appends. Not
    // inherited by the loaders.
    SECURITY_ATTRIBUTES own{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &own, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = ErrorText(GetLastError());
        return false;
    }
    file.handle = reinterpret_cast<std::intptr_t>(handle);
    // A pipe or a device (NUL) takes no flush to the disk: what it was given is written.
    file.syncable = GetFileType(handle) == FILE_TYPE_DISK;
    return true;
}

bool AppendRecordLine(RecordFile& file, const std::string& line, std::string& error) {
    const std::string text = file.mid_line ? "\n" + line : line;
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(AsHandle(file.handle), text.data() + done,
                       static_cast<DWORD>(text.size() - done), &written, nullptr) ||
            written == 0) {
            error = ErrorText(GetLastError());
            file.mid_line = done != 0 || file.mid_line;
            return false;
        }
        done += written;
    }
    file.mid_line = false;
    if (file.syncable && !FlushFileBuffers(AsHandle(file.handle))) {
        error = ErrorText(GetLastError());
        return false;
    }
    return true;
}

}  // namespace station
