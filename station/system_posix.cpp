#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "can/can_library.h"
#include "station/system.h"

extern char** environ;

namespace {

volatile sig_atomic_t interrupts = 0;

void OnInterrupt(int) {
    interrupts = interrupts + 1;
}

bool IsExecutable(const std::filesystem::path& path) {
    return !path.empty() && access(path.c_str(), X_OK) == 0 &&
           std::filesystem::is_regular_file(path);
}

void CloseDescriptor(std::intptr_t& descriptor) {
    if (descriptor >= 0) {
        close(static_cast<int>(descriptor));
        descriptor = -1;
    }
}

}  // namespace

std::string FindLoader() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::filesystem::path beside = self.parent_path() / "korvane-loader";
    if (!error && IsExecutable(beside)) {
        return beside;
    }
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "";
    while (!folders.empty()) {
        std::size_t colon = folders.find(':');
        std::filesystem::path candidate =
            std::filesystem::path(folders.substr(0, colon)) / "korvane-loader";
        if (IsExecutable(candidate)) {
            return candidate;
        }
        folders = colon == std::string_view::npos ? "" : folders.substr(colon + 1);
    }
    return {};
}

bool StartChild(const std::string& loader, const std::vector<std::string>& arguments,
                const std::string& device, Child& child, std::string& error) {
    // Everything the child needs is made before the fork: after it, only exec.
    std::vector<std::string> environment_text;
    if (!device.empty()) {
        environment_text.push_back("KORVANE_DEVICE=" + device);
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (device.empty() || std::strncmp(*entry, "KORVANE_DEVICE=", 15) != 0) {
            environment_text.emplace_back(*entry);
        }
    }
    std::vector<char*> environment;
    for (std::string& entry : environment_text) {
        environment.push_back(entry.data());
    }
    environment.push_back(nullptr);
    std::vector<std::string> argument_text = {loader};
    argument_text.insert(argument_text.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argument_text) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    int output[2] = {-1, -1};
    int input[2] = {-1, -1};
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(input, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL);  // ignored in the station, which an exec would keep
        execve(argv[0], argv.data(), environment.data());
        _exit(127);
    }
    close(output[1]);
    close(input[0]);
    if (pid < 0) {
        error = std::strerror(errno);
        close(output[0]);
        close(input[1]);
        return false;
    }
    child.process = pid;
    child.output = output[0];
    child.input = input[1];
    child.running = true;
    return true;
}

void Pump(std::vector<Child*>& children, int timeout_ms,
          const std::function<void(std::size_t, std::string_view)>& on_output) {
    std::vector<pollfd> waits;
    std::vector<std::size_t> owners;
    for (std::size_t i = 0; i < children.size(); ++i) {
        if (children[i]->output >= 0) {
            waits.push_back({static_cast<int>(children[i]->output), POLLIN, 0});
            owners.push_back(i);
        }
    }
    // A signal ends the wait early (no SA_RESTART); its count is looked at by the caller.
    if (poll(waits.data(), waits.size(), timeout_ms) > 0) {
        static std::array<char, 1 << 16> buffer;
        for (std::size_t w = 0; w < waits.size(); ++w) {
            if (waits[w].revents == 0) {
                continue;
            }
            Child& child = *children[owners[w]];
            ssize_t size = read(waits[w].fd, buffer.data(), buffer.size());
            if (size > 0) {
                on_output(owners[w], std::string_view(buffer.data(), static_cast<size_t>(size)));
            } else if (size == 0 || errno != EINTR) {
                CloseDescriptor(child.output);
            }
        }
    }
    for (Child* child : children) {
        int status = 0;
        if (child->running && child->output < 0 &&
            waitpid(static_cast<pid_t>(child->process), &status, WNOHANG) > 0) {
            child->running = false;
            child->stopped_by_signal |= WIFSIGNALED(status) != 0 &&
                                        (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGTERM);
            CloseDescriptor(child->input);
        }
    }
}

void SendEnter(Child& child) {
    if (child.input >= 0) {
        [[maybe_unused]] ssize_t written = write(static_cast<int>(child.input), "\n", 1);
        CloseDescriptor(child.input);
    }
}

void StopChild(Child& child, bool hard) {
    if (child.running) {
        kill(static_cast<pid_t>(child.process), hard ? SIGKILL : SIGINT);
        child.stopped_by_signal = true;
    }
}

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a loader that ended before its Enter was written
}

int InterruptCount() {
    return interrupts;
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

CanLibrary ListDevices(std::vector<std::string>* names) {
    VciHandle list = nullptr;
    if (names != nullptr && VciDeviceListOpen(&list) == kVciOk &&
        VciDeviceListReset(list) == kVciOk) {
        VciDeviceInfo info{};
        while (VciDeviceListNext(list, &info) == kVciOk) {
            names->emplace_back(info.name, strnlen(info.name, sizeof info.name));
        }
    }
    if (list != nullptr) {
        VciDeviceListClose(list);
    }
    return CanLibrary::kOurs;
}

std::intptr_t OpenRecordFile(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

bool AppendRecordLine(std::intptr_t file, const std::string& line) {
    // One write of the whole line: with O_APPEND it lands whole after every earlier line.
    ssize_t written = write(static_cast<int>(file), line.data(), line.size());
    return written == static_cast<ssize_t>(line.size()) && fsync(static_cast<int>(file)) == 0;
}
