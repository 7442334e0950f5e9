#include "app/command_line.h"

#include <cstdio>

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

int ParseAddressArgument(const char* argument, uint8_t& address) {
    if (argument[0] != '0' || argument[1] != 'x') {
        return 0;
    }
    int high = HexDigitValue(argument[2]);
    if (high < 0) {
        return 0;
    }
    int low = HexDigitValue(argument[3]);
    if (low < 0) {
        return 0;
    }
    address = static_cast<uint8_t>(high * 16 + low);
    return 1;
}

int ProcessArguments(int argc, const char* const* argv, CommandLine& command_line,
                     FirmwareImage& image) {
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] == '0') {
            if (ParseAddressArgument(argument, command_line.target_address) == 0) {
                std::printf(
                    "*** ERROR: Address must be specified as 0xNN (with two nibbles).  Address "
                    "was %s.\n",
                    argument);
                return 0;
            }
            command_line.address_given = true;
        } else {
            command_line.file_name = argument;
            if (LoadFirmwareFile(argument, image) == 0) {
                return 0;
            }
        }
    }
    return 1;
}
