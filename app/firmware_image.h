// The firmware image: the whole firmware file in memory, sent in 8-byte blocks in file order.
#pragma once

#include <cstdint>

inline constexpr uint32_t kImageBlockSize = 8;

struct FirmwareImage {
    uint8_t* bytes;  // the file's content, or null before a file was loaded
    uint32_t size;   // a multiple of 8 once loaded (0 included)
};

// Loads the named file as the image, replacing (and releasing) an earlier one. Prints the size
// line and, on failure, one error line. 1 when loaded, 0 on failure (a buffer already taken
// stays in the image for ReleaseFirmwareImage).
int LoadFirmwareFile(const char* file_name, FirmwareImage& image);

// Releases the image's buffer, if any.
void ReleaseFirmwareImage(FirmwareImage& image);

// Copies the 8 bytes at offset into block and returns 1 when they all lie inside the image;
// otherwise returns 0 and leaves block untouched.
int ReadImageBlock(const FirmwareImage& image, uint32_t offset, uint8_t block[8]);
