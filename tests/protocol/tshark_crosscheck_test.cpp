// Cross-check against an independent J1939 decoder: the frames that an address claim, a sensor
// check, the start request and a few bootloader commands put on the bus (captured from the
// scripted CAN library) are written as a candump log and decoded by tshark. PGN, priority,
// source, destination or group extension and data must read as intended.
//
// Skips (exit code 77) where tshark is not installed.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/bootloader_channel.h"
#include "protocol/j1939.h"
#include "tests/protocol/protocol_test_support.h"

namespace {

constexpr int kSkipCode = 77;

std::string FindTshark() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::filesystem::path candidate = std::filesystem::path(dir) / "tshark";
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return {};
}

std::string& Tshark() {
    static std::string tshark;
    return tshark;
}

// One candump line per frame sent: "(SEC.USEC) can0 IDENTIFIER#DATA".
std::string CandumpLog(const std::vector<VciMessage>& messages) {
    std::string log;
    int n = 0;
    for (const VciMessage& m : messages) {
        char line[80];
        int used = std::snprintf(line, sizeof line, "(0.%06d) can0 %08X#", 100 * n++,
                                 static_cast<unsigned>(m.identifier));
        log.append(line, static_cast<size_t>(used));
        for (int i = 0; i < (m.flags & kVciFlagLengthMask) && i < 8; ++i) {
            std::snprintf(line, sizeof line, "%02X", m.data[i]);
            log += line;
        }
        log += '\n';
    }
    return log;
}

std::vector<std::vector<std::string>> Decode(const std::string& log) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("korvane-tshark-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::path file = dir / "frames.log";
    std::ofstream(file) << log;
    std::string command = "HOME='" + dir.string() + "' '" + Tshark() + "' -r '" + file.string() +
                          "' -d can.subdissector,j1939 -T fields -e j1939.pgn -e j1939.priority"
                          " -e j1939.src_addr -e j1939.dst_addr -e j1939.group_extension"
                          " -e j1939.data 2>/dev/null";
    std::vector<std::vector<std::string>> rows;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe != nullptr) {
        std::string output;
        char buffer[512];
        size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            output.append(buffer, got);
        }
        pclose(pipe);
        std::stringstream lines(output);
        std::string line;
        while (std::getline(lines, line)) {
            std::vector<std::string> fields;
            std::stringstream cells(line);
            std::string cell;
            while (std::getline(cells, cell, '\t')) {
                fields.push_back(cell);
            }
            fields.resize(6);  // trailing empty fields
            rows.push_back(fields);
        }
    }
    std::filesystem::remove_all(dir);
    return rows;
}

class TsharkCrossCheck : public protocol_test::ProtocolTest {};

TEST_F(TsharkCrossCheck, FramesDecodeAsIntended) {
    using protocol_test::Port;
    ClaimAddress(Port(), 0, SoftwareName);
    ClaimAddress(Port(), BootloaderAddress, BootloaderName);
    SetReceiveTimeout(1);
    uint8_t reply_byte = 0;
    CheckForSensor(Port(), 0xC3, 0x00, reply_byte);
    StartBootloader(Port(), 0xC3, 0x00);
    uint8_t reply[8];
    uint8_t length = 0;
    QueryVersion(Port(), reply, length);
    EraseSector(Port(), 0x08010000);
    SendDataBlock(Port(), {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87});
    SendPgn(Port(), 0x55, 0xC3, 0xFF12, {1, 2, 3, 4, 5, 6, 7, 8});

    // PGN, priority, source, destination (PDU1), group extension (PDU2), data.
    const std::vector<std::vector<std::string>> expected = {
        {"60928", "6", "0", "255", "", "0000603700000080"},
        {"60928", "6", "177", "255", "", "0000000000000080"},
        {"61184", "6", "0", "195", "", "e014000100000000"},
        {"61184", "6", "0", "195", "", "f0ffff80424f4f54"},
        {"65522", "0", "177", "", "242", "56"},
        {"65522", "0", "177", "", "242", "4508010000"},
        {"65535", "0", "177", "", "255", "1021324354657687"},
        {"65298", "6", "195", "", "18", "0102030405060708"},
    };
    std::string log = CandumpLog(fake_can::SentMessages());
    auto rows = Decode(log);
    ASSERT_EQ(rows.size(), expected.size()) << log;
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i], expected[i]) << "frame " << i << " of\n" << log;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Tshark() = FindTshark();
    if (Tshark().empty()) {
        std::printf("tshark not found: skipping the cross-check against an independent decoder\n");
        return kSkipCode;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
