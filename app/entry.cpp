#include "app/entry.h"

#include <cstdio>

#include "app/command_line.h"
#include "app/console_window.h"
#include "app/firmware_image.h"
#include "app/load_sequence.h"
#include "app/progress.h"
#include "can/can_port.h"

namespace {

// Reads one line of any length from standard input, up to and including its newline, or up to
// the end of input. Its content is not used.
void WaitForEnter() {
    int c = 0;
    do {
        c = std::getchar();
    } while (c != '\n' && c != EOF);
}

void PrintMissingFile() {
    std::printf("***ERROR: Need to provide firmware file name.\n");
}

// Everything between the banner and the clean-up. The image and the port are the caller's, so
// that the clean-up releases them on every path.
void Run(int argc, const char* const* argv, FirmwareImage& image, CanPort& port,
         void* console_window) {
    if (argc < 2) {
        PrintMissingFile();
        return;
    }
    CommandLine command_line{0, false, {}};
    if (ProcessArguments(argc, argv, command_line, image) == 0) {
        return;
    }
    if (command_line.file_name.empty()) {
        PrintMissingFile();
        return;
    }
    std::printf("   Firmware file is valid:\n     %s\n", command_line.file_name.c_str());
    if (!command_line.address_given) {
        command_line.target_address = kDefaultTargetAddress;
    }
    std::printf("   Loading firmware into sensor on address: 0x%02X.\n",
                static_cast<unsigned>(command_line.target_address));
    if (command_line.target_address == 0) {
        std::printf("   (Checking for previous sensor load that was incomplete.)\n");
    }

    std::printf("   Opening and configuring CAN port.\n");
    std::fflush(stdout);
    if (OpenCanPort(port, console_window) == 0) {
        return;
    }

    std::printf("   Starting firmware load.  This may take several minutes.\n");
    std::fflush(stdout);
    ProgressTotal = image.size;
    int result = RunLoadSequence(port.channel, command_line.target_address, image);
    if (result < 0) {
        std::printf("\n*** ERROR: Flash programming failed.  Error = %i\n", result);
        return;
    }
    std::printf("\n      SUCCESS!\n");
    if (RebootIssued != 0) {
        std::printf(
            "\n\nSensor should have rebooted and is now running.  No need for power-cycle.\n");
    } else {
        std::printf("\n\nSensor should be power-cycled before loading any other unit.\n");
    }
}

}  // namespace

int LoaderMain(int argc, const char* const* argv) {
    void* console_window = ConsoleWindowHandle();
    FirmwareImage image{nullptr, 0};
    CanPort port{nullptr, nullptr};

    std::printf("Korvane Algorithm Demo 2.2\n");
    Run(argc, argv, image, port, console_window);

    ReleaseFirmwareImage(image);
    CloseCanPort(port);
    std::printf("\n--PRESS ENTER TO EXIT--\n");
    std::fflush(stdout);
    WaitForEnter();
    return 0;
}
