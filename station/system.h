// What the station needs of the operating system: the loaders as child processes with their
// console on a pipe, Ctrl-C, the terminal, the CAN library's device list and the record file.
// One implementation per system: system_posix.cpp (fork, exec, poll), system_win32.cpp
// (CreateProcess, pipes, VCINPL.dll loaded at run time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "station/devices.h"

namespace station {

struct Child {
    std::intptr_t process = -1;      // pid, or the process handle
    std::intptr_t output = -1;       // read end of its stdout and stderr, -1 once at its end
    std::intptr_t input = -1;        // write end of its stdin, -1 once closed
    bool running = false;            // started and not yet reaped
    bool stopped_by_signal = false;  // it ended from Ctrl-C (or the station's stop request)
};

// The loader beside this program's executable, else the one found on PATH (never the current
// folder unless PATH names it); empty if none.
std::string FindLoader();

// Starts the loader with these arguments and KORVANE_DEVICE=device in its environment (an empty
// device leaves the environment as it is). On failure, error says why (also when the program
// could not be executed).
bool StartChild(const std::string& loader, const std::vector<std::string>& arguments,
                const std::string& device, Child& child, std::string& error);

// Waits up to timeout_ms for output of any child, hands each what came, and reaps the children
// whose output has ended.
void Pump(std::vector<Child*>& children, int timeout_ms,
          const std::function<void(std::size_t, std::string_view)>& on_output);

// Answers the Enter prompt: a newline, then the end of its input.
void SendEnter(Child& child);

// Asks the child to stop as Ctrl-C would (on Windows the console's Ctrl-C has reached it
// already, and this does nothing); hard: ends it at once.
void StopChild(Child& child, bool hard);

// Sets the signals (on Windows the console's events) the station relies on, whatever it was
// started with: Ctrl-C, SIGTERM, a hang-up, a closed console window, log-off and shutdown count
// here instead of ending the station; children are reaped; a write to a closed pipe or beyond a
// file size limit fails instead of ending it. Loaders are started without error dialogs.
void PrepareSignals();
int InterruptCount();
// Every load is recorded: on Windows, a console that is closing may end the station now.
void StationDone();

// True when standard output is a terminal that takes cursor movements; then its size.
bool StdoutIsTerminal();
void TerminalSize(std::size_t& columns, std::size_t& rows);

// Text from the loader's console (from), or the command line, as UTF-8 where the system's code
// page says what it is (Windows); as it is on Linux.
std::string ConsoleText(std::string_view text);
std::string ArgumentText(std::string_view text);

enum class CanLibrary { kOurs, kAdapterMakers, kMissing };

// Whose CAN library the loader takes and, with devices, the devices that library lists.
CanLibrary ListDevices(std::vector<ListedDevice>* devices);

// The record file, opened for appending only (each line one append, so that two stations on
// one file never write over each other), not inherited by the loaders.
struct RecordFile {
    std::intptr_t handle = -1;
    bool syncable = false;  // a file on a disk: flushed to it after each line
    bool mid_line = false;  // a failed write left part of a line: the next begins a new one
};
bool OpenRecordFile(const std::string& path, RecordFile& file, std::string& error);
// The whole line appended and on the disk; false with the reason in error.
bool AppendRecordLine(RecordFile& file, const std::string& line, std::string& error);

}  // namespace station
