// Fuzzes the command line: any argument vector through ProcessArguments.
//
// Input: the arguments after the program name, separated by zero bytes (so an argument may be
// empty and may hold any other byte). Files named by the arguments are opened for real; the
// target works in a private scratch folder that holds a few firmware files of its own, so that
// relative names reach good images, bad sizes, an empty file and a folder. Everything the tool
// prints goes to /dev/null.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/firmware_image.h"

namespace {

void WriteFile(const char* name, std::size_t size) {
    std::FILE* file = std::fopen(name, "wb");
    if (file == nullptr) {
        std::abort();
    }
    for (std::size_t i = 0; i < size; ++i) {
        std::fputc(static_cast<int>((i + 1) & 0xFF), file);
    }
    std::fclose(file);
}

char scratch_folder[] = "/tmp/korvane-fuzz-cli-XXXXXX";

void RemoveScratchFolder() {
    for (const char* name : {"a", "b", "e", "o"}) {
        unlink(name);
    }
    rmdir("d");
    rmdir(scratch_folder);
}

// A scratch folder with the files that short names refer to: "a" (16 bytes), "b" (8),
// "e" (empty), "o" (5 bytes, not a multiple of 8), "d" (a folder). Removed at exit.
void PrepareScratchFolder() {
    if (mkdtemp(scratch_folder) == nullptr || chdir(scratch_folder) != 0) {
        std::abort();
    }
    std::atexit(RemoveScratchFolder);
    WriteFile("a", 16);
    WriteFile("b", 8);
    WriteFile("e", 0);
    WriteFile("o", 5);
    mkdir("d", 0700);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PrepareScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The arguments as separate heap blocks, so that a read past the end of one is caught.
    std::vector<std::string> arguments(1, "korvane-loader");
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);

    CommandLine command_line{0, false, {}};
    FirmwareImage image{nullptr, 0};
    const int argc = static_cast<int>(arguments.size());
    const int result = ProcessArguments(argc, argv.data(), command_line, image);

    // What the entry relies on afterwards.
    if (result != 0 && result != 1) {
        std::abort();
    }
    if (image.size % kImageBlockSize != 0 || (image.size != 0 && image.bytes == nullptr)) {
        std::abort();
    }
    if (result == 1 && !command_line.file_name.empty()) {
        // The image is the last file named, read whole: every block inside it is readable and
        // the first one past its end is refused.
        uint8_t block[8];
        if (image.size >= kImageBlockSize &&
            ReadImageBlock(image, image.size - kImageBlockSize, block) != 1) {
            std::abort();
        }
        if (ReadImageBlock(image, image.size, block) != 0) {
            std::abort();
        }
    }
    if (command_line.address_given) {
        // An address argument was accepted: it was "0x" and two hexadecimal digits.
        bool found = false;
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            uint8_t address = 0;
            if (argv[i][0] == '0' && ParseAddressArgument(argv[i], address) == 1) {
                found = true;
            }
        }
        if (!found) {
            std::abort();
        }
    }
    ReleaseFirmwareImage(image);
    if (image.bytes != nullptr || image.size != 0) {
        std::abort();
    }
    return 0;
}
