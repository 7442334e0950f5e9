// The station's parts: the console moving a load's state, the record read back by a strict JSON
// parser, the devices resolved, the live line, the options and the record file.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "station/devices.h"
#include "station/display.h"
#include "station/load.h"
#include "station/options.h"
#include "station/record.h"
#include "station/system.h"

using namespace station;  // NOLINT(google-build-using-namespace)

namespace {

// Console pieces as they may come (cut anywhere), the state they leave, and the console kept.
TEST(LoadState, ConsoleMovesTheLoad) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        bool dies_by_signal;
        const char* stage;
        std::int64_t acknowledged;
        const char* meaning;
        const char* console;
    };
    const Case cases[] = {
        {"data line rewritten after CR, cut mid-number",
         {"      Sending data: 8 of 24 bytes.\r      Sending data: 1", "6 of 24 bytes.\r",
          "      Sending data: 24 of 24 bytes.\r\n      SUCCESS!\n"},
         false,
         "sending",
         24,
         "success",
         "      Sending data: 24 of 24 bytes.\n      SUCCESS!\n"},
        {"CR LF line ends",
         {"   Opening and configuring CAN port.\r\n", "*** ERROR: Could not open CAN port.  ",
          "Error = E0010003\r\n"},
         false,
         "opening port",
         0,
         "no CAN device found (or an unknown handle)",
         "   Opening and configuring CAN port.\n*** ERROR: Could not open CAN port.  Error = "
         "E0010003\n"},
        {"console cut off mid-line: the last line taken at the end",
         {"      Flush RX.\n*** ERROR: Flash programming failed.  Error = -5"},
         false,
         "flushing",
         0,
         "an erase was not acknowledged within 2 s",
         "      Flush RX.\n*** ERROR: Flash programming failed.  Error = -5"},
        {"a loader that dies before its first line",
         {},
         false,
         "waiting",
         0,
         "the loader ended without a result",
         ""},
        {"a loader ended by Ctrl-C mid-stream",
         {"      Sending data: 8 of 24 bytes.\r      Sending data: 16 of 24 bytes."},
         true,
         "sending",
         16,
         "interrupted",
         "      Sending data: 16 of 24 bytes."},
    };
    for (const Case& c : cases) {
        Load load;
        std::vector<std::string> stages;
        for (const std::string& piece : c.pieces) {
            TakeOutput(load, piece, &stages);
        }
        load.child.stopped_by_signal = c.dies_by_signal;
        Conclude(load, false);
        EXPECT_EQ(load.stage, c.stage) << c.name;
        EXPECT_EQ(load.acknowledged, c.acknowledged) << c.name;
        EXPECT_EQ(load.meaning, c.meaning) << c.name;
        EXPECT_EQ(load.console, c.console) << c.name;
        EXPECT_LE(stages.size(), 1u) << c.name;  // each stage said once
    }
}

TEST(LoadState, PromptsAndTheImageSize) {
    Load load;
    TakeOutput(load, "Korvane Algorithm Demo 2.2\n   File is 4096 bytes.\n");
    EXPECT_EQ(load.loader_version, "2.2");
    EXPECT_EQ(load.file_size, 4096);
    TakeOutput(load, "CAN devices:\n  1  sim0     virtual\nChoose a device (1-2, Enter to ");
    EXPECT_FALSE(load.asked_for_device);
    TakeOutput(load, "cancel): ");  // no line end: it waits
    EXPECT_TRUE(load.asked_for_device);
    TakeOutput(load, "\n--PRESS ENTER TO EXIT--\n");
    EXPECT_TRUE(load.wants_enter);
}

// Each record line parsed by a strict parser (one that refuses invalid UTF-8): the path and the
// console as decoded, bytes that are no UTF-8 as Latin-1.
TEST(Record, EveryLineIsValidJsonAndUtf8) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string decoded;  // UTF-8
    };
    const Case cases[] = {
        {"valid UTF-8 kept", "fw-\xc3\xa9-\xf0\x9f\x98\x80.bin",
         "fw-\xc3\xa9-\xf0\x9f\x98\x80.bin"},
        {"a Latin-1 byte", "fw-\xe9.bin", "fw-\xc3\xa9.bin"},
        {"an encoded surrogate", "\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
        {"an overlong form", "\xc0\xaf\xe0\x80\xaf", "\xc3\x80\xc2\xaf\xc3\xa0\xc2\x80\xc2\xaf"},
        {"above U+10FFFF, and a lead byte of 0xF8", "\xf4\x90\x80\x80-\xf8\x80\x80",
         "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80-\xc3\xb8\xc2\x80\xc2\x80"},
        {"a sequence cut short at the end", "ok\xe2\x82", "ok\xc3\xa2\xc2\x82"},
        {"control characters and quotes", std::string("a\x01\x1b\t\"\\\x7f\n\0z", 10),
         std::string("a\x01\x1b\t\"\\\x7f\n\0z", 10)},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        Load load;
        load.device = "sim0";
        load.console = c.bytes;
        load.result = 0;
        RecordImage image{c.bytes, 8, std::string(64, 'a'), 0xC3};
        std::string line = RecordLine(load, image);
        ASSERT_EQ(line.back(), '\n') << c.name;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << c.name;
        nlohmann::json record;
        ASSERT_NO_THROW(record = nlohmann::json::parse(line)) << c.name << ": " << line;
        EXPECT_EQ(record["image"], c.decoded) << c.name;
        EXPECT_EQ(record["console"], c.decoded) << c.name;
        EXPECT_EQ(record["address"], "0xC3");
        EXPECT_EQ(record["result"], 0);
        EXPECT_EQ(record["port_error"], nullptr);
    }
}

TEST(Devices, ArgumentsResolvedToOneListedDeviceEach) {
    const std::vector<ListedDevice> listed = {
        {"sim0", "virtual CAN bus sim0 at 1000 kbit/s on 127.0.0.1:29536"},
        {"gsusb-1-2",
         "gs_usb adapter candleLight at USB port 1-2, serial 0042 (taken from can0 "
         "while it is down)"},
        {"gsusb-1-3", "gs_usb adapter candleLight at USB port 1-3, serial 0042"},
        {"ttyACM0", "SLCAN adapter on /dev/ttyACM0, version 1.0, serial A1"},
    };
    struct Case {
        std::vector<std::string> arguments;
        const char* names_or_error;
    };
    const Case cases[] = {
        {{}, "sim0 gsusb-1-2 gsusb-1-3 ttyACM0"},
        {{"ttyACM0", "sim0"}, "ttyACM0 sim0"},
        {{"A1", "can0"}, "ttyACM0 gsusb-1-2"},
        {{"sim0", ""}, "an empty DEVICE"},
        {{"sim1"},
         "sim1 is no CAN device here; the library lists sim0, gsusb-1-2, gsusb-1-3, "
         "ttyACM0"},
        {{"0042"}, "0042 is 2 devices (gsusb-1-2, gsusb-1-3): name one by its name"},
        {{"ttyACM0", "A1"}, "ttyACM0 and A1 are one device, ttyACM0"},
        {{"can0", "gsusb-1-2"}, "can0 and gsusb-1-2 are one device, gsusb-1-2"},
        {{"sim"},
         "sim is no CAN device here; the library lists sim0, gsusb-1-2, gsusb-1-3, "
         "ttyACM0"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> names;
        std::string error;
        std::string got;
        if (ResolveDevices(c.arguments, listed, names, error)) {
            for (const std::string& name : names) {
                got += (got.empty() ? "" : " ") + name;
            }
        } else {
            got = error;
        }
        EXPECT_EQ(got, c.names_or_error);
    }
    std::vector<std::string> names;
    std::string error;
    EXPECT_FALSE(ResolveDevices({}, {{"sim0", ""}, {"sim0", ""}}, names, error));
}

// A device name of any length: the line stays within the terminal (the sanitizers' build runs
// this too).
TEST(Display, LiveLineFitsAnyNameAndWidth) {
    std::vector<Load> loads(2);
    loads[0].device = std::string(200, 'd') + "-tail";
    loads[1].device = "sim1";
    for (Load& load : loads) {
        load.stage = "sending";
        load.acknowledged = 123456789;
        load.total = 987654321;
        load.data_started = Clock::now() - std::chrono::seconds(2);
    }
    for (std::size_t columns : {20u, 40u, 80u, 300u}) {
        const std::size_t width = DeviceWidth(loads, columns);
        for (const Load& load : loads) {
            std::string line = LiveLine(load, width, columns);
            EXPECT_LT(line.size(), columns) << columns;
            EXPECT_NE(line.find(load.device == "sim1" ? "sim1" : "ail  "), std::string::npos)
                << line;
        }
    }
    EXPECT_NE(LiveLine(loads[1], 6, 300).find("KiB/s"), std::string::npos);
}

TEST(Options, OneParserForEveryForm) {
    struct Case {
        std::vector<const char*> arguments;
        bool parsed;
        const char* result;  // record|address|watchdog|help|image|devices, or the error
    };
    const Case cases[] = {
        {{"fw.bin"}, true, "korvane-loads.jsonl|195|120|0|fw.bin|"},
        {{"--record", "r.jsonl", "fw.bin", "sim0", "--address", "0x00", "sim1"},
         true,
         "r.jsonl|0|120|0|fw.bin|sim0 sim1 "},
        {{"--watchdog=30", "--", "fw.bin", "--record"},
         true,
         "korvane-loads.jsonl|195|30|0|fw.bin|--record "},
        {{"fw.bin", "sim0", "--help"}, true, "korvane-loads.jsonl|195|120|1||"},
        {{"--address", "0xC"}, false, "the address is 0xNN, as 0xC3"},
        {{"--watchdog", "0", "fw.bin"}, false, "the watchdog is 1 to 86400 seconds"},
        {{"--address"}, false, "a value is missing after --address"},
        {{"--records", "r", "fw.bin"}, false, "unknown option --records"},
        {{"-r", "fw.bin"}, false, "unknown option -r"},
        {{"--help=yes"}, false, "no value is taken by --help=yes"},
        {{}, false, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> text = {"korvane-station"};
        text.insert(text.end(), c.arguments.begin(), c.arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : text) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        Options options;
        std::string error;
        bool parsed = ParseOptions(static_cast<int>(text.size()), argv.data(), options, error);
        std::string got = error;
        if (parsed) {
            std::ostringstream out;
            out << options.record << '|' << options.address << '|' << options.watchdog_seconds
                << '|' << options.help << '|' << options.image << '|';
            for (const std::string& device : options.devices) {
                out << device << ' ';
            }
            got = out.str();
        }
        EXPECT_EQ(parsed, c.parsed) << text.size();
        EXPECT_EQ(got, c.result);
    }
}

// A line cut short (here by the file size limit, as a full disk cuts it) is said with its
// reason, and the next line still begins a line of its own; a device takes no fsync.
TEST(RecordFile, LinesStayWholeAfterAShortWrite) {
    signal(SIGXFSZ, SIG_IGN);  // as the station has it: the write fails with EFBIG instead
    char path[] = "/tmp/station-record-XXXXXX";
    int made = mkstemp(path);
    ASSERT_GE(made, 0);
    close(made);
    RecordFile file;
    std::string error;
    ASSERT_TRUE(OpenRecordFile(path, file, error)) << error;
    EXPECT_TRUE(file.syncable);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit limit = before;
    limit.rlim_cur = 30;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const std::string line = "{\"line\":\"one of twenty\"}\n";  // 25 bytes
    EXPECT_TRUE(AppendRecordLine(file, line, error)) << error;
    EXPECT_FALSE(AppendRecordLine(file, line, error));
    EXPECT_EQ(error, "File too large");
    EXPECT_TRUE(file.mid_line);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    EXPECT_TRUE(AppendRecordLine(file, line, error)) << error;
    close(static_cast<int>(file.handle));
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string read; std::getline(in, read);) {
        lines.push_back(read);
    }
    unlink(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0] + "\n", line);
    EXPECT_EQ(lines[1], line.substr(0, 5));
    EXPECT_EQ(lines[2] + "\n", line);

    RecordFile null_device;
    ASSERT_TRUE(OpenRecordFile("/dev/null", null_device, error));
    EXPECT_FALSE(null_device.syncable);
    EXPECT_TRUE(AppendRecordLine(null_device, line, error)) << error;
    close(static_cast<int>(null_device.handle));
}

// A loader that cannot be executed: the start fails with the system's reason.
TEST(Children, AFailedExecSaysWhy) {
    char path[] = "/tmp/station-loader-XXXXXX";
    int made = mkstemp(path);
    ASSERT_GE(made, 0);
    ASSERT_EQ(write(made,
                    "\x7f"
                    "ELF garbage",
                    12),
              12);
    close(made);
    chmod(path, 0755);
    Child child;
    std::string error;
    EXPECT_FALSE(StartChild(path, {"image.bin"}, "sim0", child, error));
    unlink(path);
    EXPECT_EQ(error, std::string(path) + ": Exec format error");
    EXPECT_FALSE(child.running);
}

}  // namespace
