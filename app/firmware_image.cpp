#include "app/firmware_image.h"

#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Size of the open file in bytes, or -1 when it cannot be told. 64-bit, so that a file of 4 GiB
// or more is seen for what it is.
long long FileSize(std::FILE* file) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return -1;
    }
    long long size = _ftelli64(file);
    _fseeki64(file, 0, SEEK_SET);
#else
    if (fseeko(file, 0, SEEK_END) != 0) {
        return -1;
    }
    long long size = ftello(file);
    fseeko(file, 0, SEEK_SET);
#endif
    return size;
}

// Only a regular file is a firmware file: a directory opens for reading on some systems, and a
// pipe or device has no size to take.
bool IsRegularFile(std::FILE* file) {
#ifdef _WIN32
    struct _stat64 info {};
    return _fstat64(_fileno(file), &info) == 0 && (info.st_mode & _S_IFREG) != 0;
#else
    struct stat info {};
    return fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

// Opens the file for reading in binary mode. A FIFO would block the open until some other
// program writes to it, so the open itself does not wait (a regular file reads as usual).
std::FILE* OpenForReading(const char* file_name) {
#ifdef _WIN32
    return std::fopen(file_name, "rb");
#else
    const int descriptor = open(file_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        close(descriptor);
    }
    return file;
#endif
}

}  // namespace

int LoadFirmwareFile(const char* file_name, FirmwareImage& image) {
    std::FILE* file = OpenForReading(file_name);
    if (file != nullptr && !IsRegularFile(file)) {
        std::fclose(file);
        file = nullptr;
    }
    if (file == nullptr) {
        std::printf("*** ERROR: Cannot open file %s.\n", file_name);
        return 0;
    }

    long long position = FileSize(file);
    // A size that cannot be told reads as all ones in 32 bits, which is refused below.
    unsigned long long size =
        position < 0 ? 0xFFFFFFFFull : static_cast<unsigned long long>(position);
    std::printf("   File is %llu bytes.\n", size);
    if ((size & 7u) != 0 || size > 0xFFFFFFFFull) {
        std::printf("*** ERROR: Invalid file size.\n");
        std::fclose(file);
        return 0;
    }

    ReleaseFirmwareImage(image);
    image.size = static_cast<uint32_t>(size);
    // An empty file still gets a valid (one-byte) buffer.
    image.bytes = static_cast<uint8_t*>(std::malloc(size != 0 ? size : 1));
    if (image.bytes == nullptr) {
        image.size = 0;
        std::printf("*** ERROR: Could not allocate memory for image.\n");
        std::fclose(file);
        return 0;
    }
    if (std::fread(image.bytes, 1, image.size, file) < image.size) {
        std::printf("*** ERROR: Could not read from file.\n");
        std::fclose(file);
        return 0;
    }
    std::fclose(file);
    return 1;
}

void ReleaseFirmwareImage(FirmwareImage& image) {
    std::free(image.bytes);
    image.bytes = nullptr;
    image.size = 0;
}

int ReadImageBlock(const FirmwareImage& image, uint32_t offset, uint8_t block[8]) {
    // offset + 8 <= size, without wrapping near the top of the 32-bit range
    if (image.size < kImageBlockSize || offset > image.size - kImageBlockSize) {
        return 0;
    }
    std::memcpy(block, image.bytes + offset, kImageBlockSize);
    return 1;
}
