#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "can/can_library.h"
#include "station/system.h"

extern char** environ;

namespace station {

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
    int exec_status[2] = {-1, -1};  // the child's errno when its exec fails; closed by an exec
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(input, O_CLOEXEC) != 0 ||
        pipe2(exec_status, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        for (int descriptor : {output[0], output[1], input[0], input[1], exec_status[0]}) {
            if (descriptor >= 0) {
                close(descriptor);
            }
        }
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL);  // ignored in the station, which an exec would keep
        signal(SIGXFSZ, SIG_DFL);
        // A hang-up reaches the whole terminal's group: the station stops the loaders as for
        // Ctrl-C, and they must not die of it mid-flash before.
        signal(SIGHUP, SIG_IGN);
        execve(argv[0], argv.data(), environment.data());
        int reason = errno;
        [[maybe_unused]] ssize_t written = write(exec_status[1], &reason, sizeof reason);
        _exit(127);
    }
    close(output[1]);
    close(input[0]);
    close(exec_status[1]);
    if (pid < 0) {
        error = std::strerror(errno);
        close(output[0]);
        close(input[1]);
        close(exec_status[0]);
        return false;
    }
    int reason = 0;
    ssize_t got = 0;
    do {
        got = read(exec_status[0], &reason, sizeof reason);
    } while (got < 0 && errno == EINTR);
    close(exec_status[0]);
    if (got == static_cast<ssize_t>(sizeof reason)) {
        error = loader + ": " + std::strerror(reason);
        close(output[0]);
        close(input[1]);
        waitpid(pid, nullptr, 0);
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
        if (!child->running || child->output >= 0) {
            continue;
        }
        pid_t reaped = waitpid(static_cast<pid_t>(child->process), &status, WNOHANG);
        // ECHILD: reaped by someone else (SIGCHLD set to be ignored after all): it has ended.
        if (reaped > 0 || (reaped < 0 && errno == ECHILD)) {
            child->running = false;
            child->stopped_by_signal |= reaped > 0 && WIFSIGNALED(status) != 0 &&
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

void PrepareSignals() {
    // Started from a service manager or a shell, the station may have been given signals
    // ignored or blocked: SIGCHLD ignored would reap the loaders before the station sees how
    // they ended (and waitpid then fails for ever).
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &action, nullptr);
    action.sa_handler = OnInterrupt;  // no SA_RESTART: a signal ends Pump's wait at once
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);  // a loader that ended before its Enter was written
    sigaction(SIGXFSZ, &action, nullptr);  // a record beyond the file size limit: EFBIG
    sigset_t relied_on;
    sigemptyset(&relied_on);
    for (int signal_number : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&relied_on, signal_number);
    }
    sigprocmask(SIG_UNBLOCK, &relied_on, nullptr);
}

void StationDone() {}

int InterruptCount() {
    return interrupts;
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

void TerminalSize(std::size_t& columns, std::size_t& rows) {
    winsize size{};
    columns = 80;
    rows = 24;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        columns = size.ws_col;
        rows = size.ws_row;
    }
}

std::string ConsoleText(std::string_view text) {
    return std::string(text);
}

std::string ArgumentText(std::string_view text) {
    return std::string(text);
}

CanLibrary ListDevices(std::vector<ListedDevice>* devices) {
    VciHandle list = nullptr;
    if (devices != nullptr && VciDeviceListOpen(&list) == kVciOk &&
        VciDeviceListReset(list) == kVciOk) {
        VciDeviceInfo info{};
        while (VciDeviceListNext(list, &info) == kVciOk) {
            devices->push_back({std::string(info.name, strnlen(info.name, sizeof info.name)),
                                std::string(info.description,
                                            strnlen(info.description, sizeof info.description))});
        }
    }
    if (list != nullptr) {
        VciDeviceListClose(list);
    }
    return CanLibrary::kOurs;
}

bool OpenRecordFile(const std::string& path, RecordFile& file, std::string& error) {
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    struct stat status {};
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        error = std::strerror(errno);
        if (descriptor >= 0) {
            close(descriptor);
        }
        return false;
    }
    file.handle = descriptor;
    // A pipe or a device (/dev/null) takes no fsync: what it was given is written.
    file.syncable = S_ISREG(status.st_mode);
    return true;
}

bool AppendRecordLine(RecordFile& file, const std::string& line, std::string& error) {
    // One write of the whole line: with O_APPEND it lands whole after every earlier line. After
    // a line cut short (a full disk), this one begins on a line of its own.
    const std::string text = file.mid_line ? "\n" + line : line;
    const int descriptor = static_cast<int>(file.handle);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(descriptor, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            error = written < 0 ? std::strerror(errno) : "nothing written";
            file.mid_line = done != 0 || file.mid_line;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    file.mid_line = false;
    if (file.syncable && fsync(descriptor) != 0 && errno != EINVAL) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace station
