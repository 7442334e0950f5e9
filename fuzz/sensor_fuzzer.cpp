// Fuzzes the simulated sensor's request handling: any configuration of its faults, then any
// sequence of frames, timer wakes and power switching at any timing.
//
// Input: an 8-byte configuration header, then events. Each event starts with a byte whose low
// three bits say what it is (0 to 3: a frame, 4: time passes, 5: a timer wake, 6: a power cycle,
// 7: power off or on) and whose high bits help to shape a frame: most frames are made to look
// like the loader's (command channel, J1939 requests), so that the fuzzer reaches the deep states.
// Besides crashes and sanitizer reports the target stops on:
//   - a frame sent that does not fit CAN (more than 8 bytes, an identifier too wide);
//   - a timer that is due but not handled (a second wake at the same instant that still sends
//     something), which would make the program spin;
//   - a flash whose size changes, or whose programmed part outgrows it.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sensor_sim/sensor.h"
#include "wire/can_id.h"

namespace {

using namespace sensor_sim;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

class Reader {
  public:
    Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t Word() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= uint32_t{Byte()} << (8 * i);
        }
        return value;
    }

  private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

Config ReadConfig(Reader& in) {
    Config config;
    const uint8_t flags = in.Byte();
    Faults& f = config.faults;
    f.no_check_reply = (flags & 0x01) != 0;
    f.no_bootloader = (flags & 0x02) != 0;
    f.start_in_bootloader = (flags & 0x04) != 0;
    f.no_erase_ack = (flags & 0x08) != 0;
    f.no_begin_echo = (flags & 0x10) != 0;
    f.no_end_echo = (flags & 0x20) != 0;
    f.wrong_terminator_echo = (flags & 0x40) != 0;
    f.power_loss_at_end = (flags & 0x80) != 0;
    const uint8_t numbers = in.Byte();
    f.version_answers = numbers & 0x03;
    f.wrong_echo_block = (numbers >> 2) & 0x03;
    f.no_echo_block = (numbers >> 4) & 0x03;
    f.silent_from_block = (numbers >> 6) & 0x03;
    const uint8_t more = in.Byte();
    f.power_loss_at_erase = more & 0x03;
    if ((more & 0x04) != 0) {
        f.contend_up_to = static_cast<uint8_t>(in.Byte() % 254);
    }
    f.contend_bootloader_address = (more & 0x08) != 0;
    f.background_period = std::chrono::milliseconds((more >> 4) & 0x03);
    f.flood_rate = (more & 0x40) != 0 ? 1 + in.Byte() * 400u : 0;  // up to 100001 frames/s
    config.address = static_cast<uint8_t>(in.Byte() % 254);
    const uint8_t version_length = in.Byte() % 9;
    config.version = std::string(">VER 7.1", version_length);
    config.boot_delay = std::chrono::milliseconds(in.Byte());
    config.erase_time = std::chrono::milliseconds(in.Byte() * 10);
    // Small sectors, so that the stream reaches their ends.
    const uint8_t sizes = in.Byte();
    config.flash.sector1_size = 8u * (1 + (sizes & 0x0F));
    config.flash.sector2_size = 8u * (1 + (sizes >> 4));
    return config;
}

CanFrame ReadFrame(uint8_t shape, Reader& in) {
    CanFrame frame;
    const uint8_t kind = shape >> 3;
    frame.length = static_cast<uint8_t>(in.Byte() & 0x0F);  // 9 to 15 too: a length field can
    frame.extended = true;
    switch (kind % 8) {
        case 0:
        case 1:  // the command channel, data channel or another
            frame.id = 0x00FFF0B1u + ((uint32_t{in.Byte()} & 0xF) << 8);
            break;
        case 2:  // a J1939 PDU1 frame to the sensor (Proprietary A, Request, Address Claimed)
            frame.id = (6u << 26) | (static_cast<uint32_t>(0xEA + in.Byte() % 6) << 16) |
                       (uint32_t{in.Byte()} << 8) | in.Byte();
            break;
        case 3:  // an 11-bit frame
            frame.extended = false;
            frame.id = in.Word() & wire::kCanStandardMask;
            break;
        default:  // anything at all
            frame.id = in.Word() & wire::kCanExtendedMask;
            break;
    }
    const uint8_t fill = in.Byte();
    if ((fill & 0x80) != 0 && kind % 8 < 2) {
        // A command text the bootloader knows, or an erase of a real sector.
        static const char* const kTexts[] = {"V", "BOOT_BEG", "BOOT_END", "REBOOTME"};
        const uint8_t pick = fill & 0x07;
        if (pick < 4) {
            const std::size_t n = std::strlen(kTexts[pick]);
            std::memcpy(frame.data.data(), kTexts[pick], n);
            frame.length = static_cast<uint8_t>(n);
        } else {
            const uint8_t erase[5] = {0x45, 0x08, static_cast<uint8_t>(pick == 4 ? 1 : 2), 0, 0};
            std::memcpy(frame.data.data(), erase, sizeof erase);
            frame.length = 5;
        }
    } else {
        for (auto& byte : frame.data) {
            byte = (fill & 0x40) != 0 ? 0 : in.Byte();
        }
    }
    return frame;
}

void CheckOutput(const Output& out) {
    for (const CanFrame& frame : out.frames) {
        Check(frame.length <= 8);
        Check(frame.extended ? frame.id <= wire::kCanExtendedMask
                             : frame.id <= wire::kCanStandardMask);
    }
    for (const Notice& notice : out.notices) {
        Check(!notice.text.empty() && notice.text.find('\n') == std::string::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Sensor sensor(ReadConfig(in));
    const std::size_t flash_size = sensor.flash().size();
    // About 51 days at most: the program's clock is a steady clock from its start.
    constexpr int64_t kLatest = int64_t{1} << 42;
    Micros now{0};
    Output out;
    sensor.Start(now, out);
    CheckOutput(out);
    int events = 0;
    while (!in.empty() && ++events <= 4096) {
        out = Output{};
        const uint8_t shape = in.Byte();
        switch (shape & 0x07) {
            case 4: {  // time passes, from microseconds to hours
                const uint32_t step = in.Word();
                const int shift = (shape >> 3) & 0x0F;
                now = std::min(Micros(kLatest), now + Micros(int64_t{step & 0xFFFFF} << shift));
                break;
            }
            case 5: {  // the wake the sensor asked for, as the program does it
                if (const auto wake = sensor.NextWake()) {
                    now = std::max(now, std::min(*wake, Micros(kLatest)));
                }
                sensor.OnTimer(now, out);
                CheckOutput(out);
                Output again;
                sensor.OnTimer(now, again);
                Check(again.frames.empty());  // nothing left due at this instant
                break;
            }
            case 6:
                sensor.PowerOff(now, out);
                sensor.PowerOn(now, out);
                break;
            case 7:
                if ((shape & 0x08) != 0) {
                    sensor.PowerOff(now, out);
                } else {
                    sensor.PowerOn(now, out);
                }
                break;
            default:
                sensor.OnFrame(ReadFrame(shape, in), now, out);
                break;
        }
        CheckOutput(out);
        Check(sensor.flash().size() == flash_size);
        Check(sensor.flash().Programmed().size() <= flash_size);
        (void)sensor.Status();
    }
    return 0;
}
