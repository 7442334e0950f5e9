// The command line: the firmware file's name and, optionally, the sensor's J1939 address.
#pragma once

#include <cstdint>
#include <string>

#include "app/firmware_image.h"

inline constexpr uint8_t kDefaultTargetAddress = 0xC3;

struct CommandLine {
    uint8_t target_address;  // the sensor's address; 0 selects the resume of an unfinished load
    bool address_given;      // a valid address argument was seen
    std::string file_name;   // the last file argument, in full; empty when none was seen
};

// Parses an address argument ("0x" and two hexadecimal digits; anything after them is ignored).
// 1 with the address, 0 when the argument is not of that form.
int ParseAddressArgument(const char* argument, uint8_t& address);

// Processes the arguments after the program name in order: an argument that begins with '0' is
// an address, any other is a firmware file, loaded at once into image (a later one replaces an
// earlier one). Prints the size line of each file and, on the first error, its error line.
// 1 when every argument was good (there may still be no file), 0 after an error.
int ProcessArguments(int argc, const char* const* argv, CommandLine& command_line,
                     FirmwareImage& image);
