// What the station needs of the operating system: the loaders as child processes with their
// console on a pipe, Ctrl-C, the terminal, the CAN library's device list and the record file.
// One implementation per system: system_posix.cpp (fork, exec, poll), system_windows.cpp
// (CreateProcess, pipes, VCINPL.dll loaded at run time).
#ifndef KORVANE_STATION_SYSTEM_H
#define KORVANE_STATION_SYSTEM_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct Child {
    std::intptr_t process = -1;      // pid, or the process handle
    std::intptr_t output = -1;       // read end of its stdout and stderr, -1 once at its end
    std::intptr_t input = -1;        // write end of its stdin, -1 once closed
    bool running = false;            // started and not yet reaped
    bool stopped_by_signal = false;  // it ended from Ctrl-C (or the station's stop request)
};

// The loader beside this program's executable, else the one found on PATH; empty if none.
std::string FindLoader();

// Starts the loader with these arguments and KORVANE_DEVICE=device in its environment (an empty
// device leaves the environment as it is).
bool StartChild(const std::string& loader, const std::vector<std::string>& arguments,
                const std::string& device, Child& child, std::string& error);

// Waits up to timeout_ms for output of any child, hands each what came, and reaps the children
// whose output has ended.
void Pump(std::vector<Child*>& children, int timeout_ms,
          const std::function<void(std::size_t, std::string_view)>& on_output);

// Answers the Enter prompt: a newline, then the end of its input.
void SendEnter(Child& child);

// Asks the child to stop as Ctrl-C would; hard: ends it at once.
void StopChild(Child& child, bool hard);

// Ctrl-C (and, on Linux, SIGTERM) counts here instead of ending the station.
void InstallInterruptHandler();
int InterruptCount();

// True when standard output is a terminal that takes cursor movements.
bool StdoutIsTerminal();

enum class CanLibrary { kOurs, kAdapterMakers, kMissing };

// Whose CAN library the loader takes and, with names, the devices that library lists.
CanLibrary ListDevices(std::vector<std::string>* names);

// The record file, opened for appending; -1 on failure. Each line is one write.
std::intptr_t OpenRecordFile(const std::string& path);
bool AppendRecordLine(std::intptr_t file, const std::string& line);

#endif  // KORVANE_STATION_SYSTEM_H
