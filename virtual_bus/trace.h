// A candump-format log of every frame put on the bus, one line per frame:
//   (1700000000.000100) sim0 18EEFF00#0000603700000080
// 29-bit identifiers with exactly 8 hex digits, 11-bit with 3, data in upper-case hex, no
// direction suffix, so that candump-log readers (tshark, log2asc, python-can) accept the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "virtual_bus/frame.h"

namespace vbus {

std::string FormatTraceLine(std::uint64_t seconds, std::uint32_t microseconds, std::string_view bus,
                            const Frame& frame);
void Flush();

// Writes trace lines to a file; they reach the file at Flush (and at the end).
class TraceWriter {
  public:
    bool Open(const std::string& path, std::string* error);
    bool is_open() const { return file_ != nullptr; }
    void Write(std::uint64_t seconds, std::uint32_t microseconds, std::string_view bus,
               const Frame& frame);
    void Flush();

  private:
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
};

}  // namespace vbus
