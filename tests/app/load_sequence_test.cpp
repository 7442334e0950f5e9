// The load sequence against a scripted sensor on the fake CAN library: every result code, the
// order of the stages, and the frames that reach the sensor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/load_sequence.h"
#include "app/progress.h"
#include "can/can_frame_io.h"
#include "tests/fake_can_library/fake_can_library.h"

namespace {

using fake_can::Op;
using Bytes = std::vector<uint8_t>;

Bytes Text(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

// What the scripted sensor does. It answers through the fake library's receive queue as soon as
// the tool's request is sent.
struct Sensor {
    uint8_t address = 0xC3;
    bool answers_check = true;
    bool in_bootloader = false;      // its bootloader already runs
    bool bootloader_starts = true;   // the start request starts it
    int silent_version_queries = 0;  // "V" requests it ignores after starting
    int version_answers = -1;        // how many "V" requests it answers at all (-1: every one)
    Bytes version = Text(">VER 7.0");
    int failing_erase = 0;  // 1 or 2: that erase is not acknowledged
    bool echoes_begin = true;
    bool echoes_end = true;
    int bad_echo_block = -1;      // this block (counting from 0, the terminating one last)
    int silent_block = -1;        // this block is not echoed at all
    int contended_addresses = 0;  // addresses 0 .. n-1 are held by nodes with lower NAMEs
    bool bootloader_address_held = false;

    // Observed
    int blocks = 0;
    int version_queries = 0;
    int sensor_checks = 0;
    bool reboot_requested = false;
    Bytes flash;
    std::vector<uint32_t> budgets;  // ReceiveTimeout when each frame was sent
};

Sensor* sensor = nullptr;

// A sensor with one thing changed, for the tables.
const auto with = [](auto change) {
    Sensor s;
    change(s);
    return s;
};

void Reply(uint32_t id, const Bytes& data) {
    fake_can::QueueMessage(fake_can::DataMessage(id, true, data));
}

void OnToolFrame(const VciMessage& m) {
    Sensor& s = *sensor;
    s.budgets.push_back(ReceiveTimeout);
    Bytes data(m.data, m.data + (m.flags & 0x0F));
    uint32_t pf = (m.identifier >> 16) & 0xFF;
    uint32_t ps = (m.identifier >> 8) & 0xFF;
    uint32_t sa = m.identifier & 0xFF;
    if (pf == 0xEE) {  // a claim: defended with a lower NAME where the address is held
        bool held = sa < static_cast<uint32_t>(s.contended_addresses) ||
                    (sa == 0xB1 && s.bootloader_address_held);
        if (held) {
            Reply(0x18EEFF00u | sa, {1, 0, 0, 0, 0, 0, 0, 0});
        }
        return;
    }
    if (pf == 0xEF && ps == s.address && !s.in_bootloader) {
        if (data[0] == 0xE0) {
            ++s.sensor_checks;
            if (s.answers_check) {
                Reply(0x18EF0000u | (sa << 8) | s.address, {0, 0, 0, 0, 0x5A, 0, 0, 0});
            }
        } else if (data[0] == 0xF0 && s.bootloader_starts) {
            s.in_bootloader = true;
        }
        return;
    }
    if (!s.in_bootloader || (m.identifier & 0x1FFFF0FFu) != 0x00FFF0B1u) {
        return;
    }
    uint32_t channel = (m.identifier >> 8) & 0xF;
    if (channel == 15) {
        int index = s.blocks++;
        if (index == s.silent_block) {
            return;
        }
        if (index == s.bad_echo_block) {
            data[3] ^= 0x01;
        } else if (data != Bytes(8, 0)) {
            s.flash.insert(s.flash.end(), data.begin(), data.end());
        }
        Reply(m.identifier, data);
        return;
    }
    if (data == Text("V")) {
        ++s.version_queries;
        if (s.silent_version_queries > 0) {
            --s.silent_version_queries;
        } else if (s.version_answers != 0) {
            --s.version_answers;
            Reply(m.identifier, s.version);
        }
    } else if (data.size() == 5 && data[0] == 'E') {
        int sector = data[2];  // 0x08010000 is sector 1, 0x08020000 sector 2
        if (sector != s.failing_erase) {
            Reply(m.identifier, Bytes(data.begin() + 1, data.end()));
        }
    } else if (data == Text("BOOT_BEG")) {
        if (s.echoes_begin) {
            Reply(m.identifier, data);
        }
    } else if (data == Text("BOOT_END")) {
        if (s.echoes_end) {
            Reply(m.identifier, data);
        }
    } else if (data == Text("REBOOTME")) {
        s.reboot_requested = true;
    }
}

struct LoadRun {
    int result;
    std::string printed;
};

LoadRun Load(Sensor& s, uint8_t target, uint32_t size) {
    fake_can::Reset();
    sensor = &s;
    fake_can::OnSend(OnToolFrame);
    RebootIssued = 0;
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 5 + 1);
    }
    FirmwareImage image{bytes.data(), size};
    ProgressTotal = size;
    testing::internal::CaptureStdout();
    int result = RunLoadSequence(fake_can::ChannelHandle(), target, image);
    std::string printed = testing::internal::GetCapturedStdout();
    if (result == 0) {
        EXPECT_EQ(s.flash, bytes) << "the sensor holds the image";
    }
    return {result, printed};
}

const char* const kUpToStream =
    "      Claim address for this software.\n"
    "      Claim address for the bootloader.\n"
    "      Flush RX.\n"
    "      Checking for active bootloader.\n"
    "      Checking for sensor.\n"
    "      Starting bootloader.\n"
    "      Checking bootloader version.\n"
    "      Erasing sector 1.\n"
    "      Erasing sector 2.\n"
    "      Bootloader begin data stream.\n";

TEST(LoadSequenceTest, TheWorkedLoadOfSixteenBytes) {
    Sensor s;
    LoadRun run = Load(s, 0xC3, 16);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.printed, std::string(kUpToStream) +
                               "      Sending data: 0 of 16 bytes."
                               "\r      Sending data: 8 of 16 bytes."
                               "\r      Sending data: 16 of 16 bytes."
                               "\n      Bootloader ending data stream.\n");
    EXPECT_EQ(s.blocks, 3) << "two blocks and the terminating one";
    EXPECT_FALSE(s.reboot_requested);
    EXPECT_EQ(RebootIssued, 0);
    EXPECT_EQ(ReceiveTimeout, 100u);

    // The frames, in order, as the worked trace has them (identifier, data).
    std::vector<std::pair<uint32_t, Bytes>> expected = {
        {0x18EEFF00, {0x00, 0x00, 0x60, 0x37, 0x00, 0x00, 0x00, 0x80}},
        {0x18EEFFB1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
        {0x00FFF2B1, Text("V")},
        {0x18EFC300, {0xE0, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},
        {0x18EFC300, {0xF0, 0xFF, 0xFF, 0x80, 0x42, 0x4F, 0x4F, 0x54}},
        {0x00FFF2B1, Text("V")},
        {0x00FFF2B1, Text("V")},
        {0x00FFF2B1, {0x45, 0x08, 0x01, 0x00, 0x00}},
        {0x00FFF2B1, {0x45, 0x08, 0x02, 0x00, 0x00}},
        {0x00FFF2B1, Text("BOOT_BEG")},
        {0x00FFFFB1, {1, 6, 11, 16, 21, 26, 31, 36}},
        {0x00FFFFB1, {41, 46, 51, 56, 61, 66, 71, 76}},
        {0x00FFFFB1, Bytes(8, 0)},
        {0x00FFF2B1, Text("BOOT_END")},
    };
    auto sent = fake_can::SentMessages();
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].identifier, expected[i].first) << "frame " << i;
        EXPECT_EQ(Bytes(sent[i].data, sent[i].data + (sent[i].flags & 0x0F)), expected[i].second)
            << "frame " << i;
    }
}

TEST(LoadSequenceTest, ResultCodes) {
    struct Case {
        const char* what;
        Sensor sensor;
        uint8_t target;
        uint32_t size;
        int result;
        const char* ends_with;  // the last text printed
    };
    const std::vector<Case> cases = {
        {"empty image", Sensor{}, 0xC3, 0, 0,
         "      Sending data: 0 of 0 bytes.\n      Bootloader ending data stream.\n"},
        {"one block", Sensor{}, 0xC3, 8, 0,
         "\r      Sending data: 8 of 8 bytes.\n      Bootloader ending data stream.\n"},
        {"version 7.1 reboots", with([](Sensor& s) { s.version = Text(">VER 7.1"); }), 0xC3, 8, 0,
         "\n      Bootloader ending data stream.\n\n      Rebooting sensor.\n"},
        {"short version reply", with([](Sensor& s) { s.version = Text(">VER7"); }), 0xC3, 8, 0,
         "\n      Bootloader ending data stream.\n"},
        {"empty version reply", with([](Sensor& s) { s.version = {}; }), 0xC3, 8, 0,
         "\n      Bootloader ending data stream.\n"},
        // A length field of 9 to 15 is a classic frame with 8 data bytes: not compared either.
        {"version reply with length field 12",
         with([](Sensor& s) { s.version = Text(">VER 7.2    "); }), 0xC3, 8, 0,
         "\n      Bootloader ending data stream.\n"},
        {"unknown version", with([](Sensor& s) { s.version = Text(">VER 7.2"); }), 0xC3, 8, -3,
         "      Checking bootloader version.\n"},
        {"no sensor", with([](Sensor& s) { s.answers_check = false; }), 0xC3, 8, -1,
         "      Checking for sensor.\n"},
        {"bootloader never starts", with([](Sensor& s) { s.bootloader_starts = false; }), 0xC3, 8,
         -4, "      Starting bootloader.\n"},
        {"answers the wait but not the version query",
         with([](Sensor& s) { s.version_answers = 1; }), 0xC3, 8, -4,
         "      Checking bootloader version.\n"},
        {"first erase", with([](Sensor& s) { s.failing_erase = 1; }), 0xC3, 8, -5,
         "      Erasing sector 1.\n"},
        {"second erase", with([](Sensor& s) { s.failing_erase = 2; }), 0xC3, 8, -5,
         "      Erasing sector 2.\n"},
        {"BOOT_BEG", with([](Sensor& s) { s.echoes_begin = false; }), 0xC3, 8, -6,
         "      Bootloader begin data stream.\n"},
        {"second block echoed wrong", with([](Sensor& s) { s.bad_echo_block = 1; }), 0xC3, 24, -7,
         "\r      Sending data: 8 of 24 bytes."},
        {"terminating block echoed wrong", with([](Sensor& s) { s.bad_echo_block = 2; }), 0xC3, 16,
         -7, "\r      Sending data: 16 of 16 bytes."},
        {"BOOT_END", with([](Sensor& s) { s.echoes_end = false; }), 0xC3, 8, -8,
         "\n      Bootloader ending data stream.\n"},
        {"bootloader already active", with([](Sensor& s) { s.in_bootloader = true; }), 0xC3, 8, -9,
         "      Checking for active bootloader.\n"},
        {"every address held", with([](Sensor& s) { s.contended_addresses = 254; }), 0xC3, 8, -11,
         "      Claim address for this software.\n"},
        {"bootloader address held", with([](Sensor& s) { s.bootloader_address_held = true; }), 0xC3,
         8, -12, "      Claim address for the bootloader.\n"},
    };
    for (auto c : cases) {
        LoadRun run = Load(c.sensor, c.target, c.size);
        EXPECT_EQ(run.result, c.result) << c.what;
        std::string tail = c.ends_with;
        EXPECT_EQ(
            run.printed.substr(run.printed.size() - std::min(run.printed.size(), tail.size())),
            tail)
            << c.what << ": printed\n"
            << run.printed;
        EXPECT_EQ(RebootIssued, c.sensor.version == Text(">VER 7.1") && c.result == 0 ? 1 : 0)
            << c.what;
    }
}

// Each stage's request goes out under its own receive budget, and a missing reply costs that
// many 1-ms reads before the stage gives up (a claim is won by that silence).
TEST(LoadSequenceTest, EachStageWaitsWithItsOwnBudget) {
    constexpr size_t kLast = SIZE_MAX;
    struct Case {
        const char* what;
        Sensor sensor;
        size_t request;     // among the frames sent; kLast: the last one
        Bytes starts_with;  // its data
        uint32_t budget;    // ReceiveTimeout when the request went out
        size_t reads;       // 1-ms reads after it, up to the next send or the end
    };
    const std::vector<Case> cases = {
        {"claim for the tool", Sensor{}, 0, {0, 0, 0x60}, 250, 250},
        {"claim for the bootloader", Sensor{}, 1, {0, 0, 0}, 250, 250},
        {"looking for an active bootloader", Sensor{}, 2, Text("V"), 100, 100},
        {"sensor check", with([](Sensor& s) { s.answers_check = false; }), kLast, {0xE0}, 100, 100},
        {"start request", Sensor{}, 4, {0xF0}, 100, 0},
        {"waiting for the bootloader", with([](Sensor& s) { s.bootloader_starts = false; }), kLast,
         Text("V"), 100, 100},
        {"version", with([](Sensor& s) { s.version_answers = 1; }), kLast, Text("V"), 100, 100},
        {"erase 1", with([](Sensor& s) { s.failing_erase = 1; }), kLast, Bytes{'E', 8, 1}, 2000,
         2000},
        {"erase 2", with([](Sensor& s) { s.failing_erase = 2; }), kLast, Bytes{'E', 8, 2}, 2000,
         2000},
        {"BOOT_BEG", with([](Sensor& s) { s.echoes_begin = false; }), kLast, Text("BOOT_BEG"), 100,
         100},
        {"first image block", with([](Sensor& s) { s.silent_block = 0; }), kLast, {1}, 100, 100},
        {"image block", with([](Sensor& s) { s.silent_block = 1; }), kLast, {41}, 100, 100},
        {"terminating block", with([](Sensor& s) { s.silent_block = 2; }), kLast, Bytes(8, 0), 100,
         100},
        {"BOOT_END", with([](Sensor& s) { s.echoes_end = false; }), kLast, Text("BOOT_END"), 100,
         100},
        {"REBOOTME", with([](Sensor& s) { s.version = Text(">VER 7.1"); }), kLast, Text("REBOOTME"),
         100, 0},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.what);
        Load(c.sensor, 0xC3, 16);
        const auto sent = fake_can::SentMessages();
        const size_t n = c.request == kLast ? sent.size() - 1 : c.request;
        ASSERT_LT(n, sent.size());
        ASSERT_EQ(c.sensor.budgets.size(), sent.size());
        EXPECT_EQ(Bytes(sent[n].data, sent[n].data + c.starts_with.size()), c.starts_with);
        EXPECT_EQ(c.sensor.budgets[n], c.budget);
        size_t sends = 0;
        size_t reads = 0;
        for (const auto& call : fake_can::Calls()) {
            sends += call.op == Op::kSend ? 1 : 0;
            reads += sends == n + 1 && call.op == Op::kRead && call.args[0] == 1 ? 1 : 0;
        }
        EXPECT_EQ(reads, c.reads);
    }
}

TEST(LoadSequenceTest, AnUnknownVersionErasesNothing) {
    Sensor s;
    s.version = Text(">VER 7.x");
    EXPECT_EQ(Load(s, 0xC3, 8).result, -3);
    for (const auto& m : fake_can::SentMessages()) {
        EXPECT_NE(m.data[0] == 'E' && (m.flags & 0x0F) == 5, true) << "an erase was sent";
    }
}

TEST(LoadSequenceTest, WaitingForTheBootloaderGivesUpAfterFortyOneQueries) {
    Sensor s;
    s.bootloader_starts = false;
    EXPECT_EQ(Load(s, 0xC3, 8).result, -4);
    // One "V" in stage 4, then 41 while waiting.
    EXPECT_EQ(s.version_queries, 0) << "the sensor's application ignores them";
    size_t queries = 0;
    for (const auto& m : fake_can::SentMessages()) {
        queries += (m.identifier == 0x00FFF2B1u && (m.flags & 0x0F) == 1) ? 1 : 0;
    }
    EXPECT_EQ(queries, 42u);

    // A bootloader that answers the 41st query of the wait is found.
    Sensor late;
    late.silent_version_queries = 40;
    EXPECT_EQ(Load(late, 0xC3, 8).result, 0);
}

TEST(LoadSequenceTest, ResumeGoesStraightToTheVersionCheck) {
    Sensor s;
    s.in_bootloader = true;
    LoadRun run = Load(s, 0x00, 8);
    EXPECT_EQ(run.result, 0);
    EXPECT_NE(run.printed.find("      Checking for active bootloader.\n"
                               "      Checking bootloader version.\n"),
              std::string::npos)
        << run.printed;
    EXPECT_EQ(s.sensor_checks, 0);
    for (const auto& m : fake_can::SentMessages()) {
        EXPECT_NE((m.identifier >> 16) & 0xFF, 0xEFu) << "nothing goes to the application";
    }
}

TEST(LoadSequenceTest, ResumeWithNoBootloaderChecksTheSensorAtAddressZero) {
    Sensor s;
    s.address = 0x00;
    LoadRun run = Load(s, 0x00, 8);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(s.sensor_checks, 1);
}

TEST(LoadSequenceTest, LostAddressesMoveTheToolToTheNextOne) {
    Sensor s;
    s.contended_addresses = 3;
    EXPECT_EQ(Load(s, 0xC3, 8).result, 0);
    // The sensor check comes from the first free address, 3.
    bool seen = false;
    for (const auto& m : fake_can::SentMessages()) {
        if ((m.identifier & 0xFFFFFF00u) == 0x18EFC300u) {
            EXPECT_EQ(m.identifier & 0xFF, 3u);
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
}

}  // namespace
