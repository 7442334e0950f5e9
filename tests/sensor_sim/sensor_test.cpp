#include "sensor_sim/sensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "tests/sensor_sim/loader_double.h"

namespace sensor_sim::testing {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 1) {
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return image;
}

std::vector<std::uint8_t> Programmed(const Sensor& sensor) {
    const auto bytes = sensor.flash().Programmed();
    return {bytes.begin(), bytes.end()};
}

bool HasNotice(const std::vector<Notice>& notices, std::string_view text) {
    return std::any_of(notices.begin(), notices.end(),
                       [&](const Notice& n) { return n.text.find(text) != std::string::npos; });
}

struct Powered {
    explicit Powered(Config config) : sensor(std::move(config)), loader(sensor) {
        sensor.Start(Micros(0), start);
    }
    Sensor sensor;
    LoaderDouble loader;
    Output start;
};

TEST(SensorTest, PowerUpClaimsItsAddressWithItsName) {
    Powered p{Config{}};
    ASSERT_EQ(p.start.frames.size(), 1u);
    const CanFrame& claim = p.start.frames[0];
    EXPECT_TRUE(claim.extended);
    EXPECT_EQ(claim.id, 0x18EEFFC3u);
    EXPECT_EQ(NameFromFrame(claim), kDefaultName);
    EXPECT_GT(kDefaultName, kSoftwareName);
    EXPECT_EQ(p.sensor.mode(), Mode::kApplication);
}

TEST(SensorTest, SensorCheckIsAnsweredToTheRequester) {
    Config config;
    config.check_status = 0x5A;
    Powered p{config};
    const auto reply = p.loader.Exchange(Ext(0x18EFC327, {0xE0, 0x14, 0x00, 0x01, 0, 0, 0, 0}),
                                         100ms, [](const CanFrame&) { return true; });
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 0x18EF27C3u);
    EXPECT_EQ(reply->length, 8);
    EXPECT_EQ(reply->data[4], 0x5A);
}

// A full load as the loader does it; the flash must then hold the image byte for byte.
TEST(SensorTest, FullLoadProgramsTheImage) {
    std::vector<std::uint8_t> zero_inside = Pattern(32);
    std::fill(zero_inside.begin() + 8, zero_inside.begin() + 24, 0);  // two zero blocks
    std::vector<std::uint8_t> zero_last = Pattern(24);
    std::fill(zero_last.begin() + 16, zero_last.end(), 0);
    const std::vector<std::vector<std::uint8_t>> images = {
        {}, Pattern(8), Pattern(16), zero_inside, zero_last, Pattern(0x10000 + 64)};
    for (const auto& image : images) {
        SCOPED_TRACE("image of " + std::to_string(image.size()) + " bytes");
        Powered p{Config{}};
        ASSERT_EQ(p.loader.Load(image), 0);
        EXPECT_EQ(Programmed(p.sensor), image);
        EXPECT_TRUE(p.sensor.application_valid());
        EXPECT_EQ(p.sensor.mode(), Mode::kBootloader);  // 7.0: no reboot, waits for power
        EXPECT_TRUE(HasNotice(p.loader.notices, "stream ended, " + std::to_string(image.size()) +
                                                    " bytes programmed"));
        // Power-up afterwards runs the new application.
        Output out;
        p.sensor.PowerOff(p.loader.now(), out);
        p.sensor.PowerOn(p.loader.now(), out);
        EXPECT_EQ(p.sensor.mode(), Mode::kApplication);
    }
}

TEST(SensorTest, LargerSectorsTakeALargeImage) {
    Config config;
    config.flash.sector2_size = 1u << 20;
    Powered p{config};
    const auto image = Pattern(1u << 20, 3);
    ASSERT_EQ(p.loader.Load(image), 0);
    EXPECT_EQ(Programmed(p.sensor), image);
}

TEST(SensorTest, Version71RebootsIntoTheApplication) {
    Config config;
    config.version = ">VER 7.1";
    Powered p{config};
    ASSERT_EQ(p.loader.Load(Pattern(16)), 0);
    EXPECT_TRUE(p.loader.rebooted);
    EXPECT_EQ(p.sensor.mode(), Mode::kApplication);
    // The rebooted application answers the sensor check again.
    EXPECT_TRUE(p.loader.Exchange(Ext(0x18EFC300, {0xE0, 0x14, 0x00, 0x01, 0, 0, 0, 0}), 100ms,
                                  [](const CanFrame& f) { return f.id == 0x18EF00C3; }));
}

// Each fault changes exactly what it names: the loader fails at that step, with what came
// before it done.
TEST(SensorTest, FaultsFailTheLoadWhereTheyShould) {
    struct Case {
        const char* name;
        std::function<void(Config&)> configure;
        std::uint8_t target;
        int result;
        std::uint32_t acknowledged;  // image bytes echoed before the failure
    };
    const auto image = Pattern(32);
    const std::vector<Case> cases = {
        {"no fault", [](Config&) {}, 0xC3, 0, 32},
        {"no check reply", [](Config& c) { c.faults.no_check_reply = true; }, 0xC3, -1, 0},
        {"no bootloader", [](Config& c) { c.faults.no_bootloader = true; }, 0xC3, -4, 0},
        {"bootloader too slow", [](Config& c) { c.boot_delay = 4200ms; }, 0xC3, -4, 0},
        {"bootloader slow but in time", [](Config& c) { c.boot_delay = 3900ms; }, 0xC3, 0, 32},
        {"starts in bootloader", [](Config& c) { c.faults.start_in_bootloader = true; }, 0xC3, -9,
         0},
        {"starts in bootloader, resume", [](Config& c) { c.faults.start_in_bootloader = true; },
         0x00, 0, 32},
        {"version 7.2", [](Config& c) { c.version = ">VER 7.2"; }, 0xC3, -3, 0},
        {"version query answered once", [](Config& c) { c.faults.version_answers = 1; }, 0xC3, -4,
         0},
        {"empty version", [](Config& c) { c.version = ""; }, 0xC3, 0, 32},
        {"short version", [](Config& c) { c.version = "7.0"; }, 0xC3, 0, 32},
        {"no erase ack", [](Config& c) { c.faults.no_erase_ack = true; }, 0xC3, -5, 0},
        {"erase too slow", [](Config& c) { c.erase_time = 2100ms; }, 0xC3, -5, 0},
        {"erase slow but in time", [](Config& c) { c.erase_time = 1900ms; }, 0xC3, 0, 32},
        {"BOOT_BEG not echoed", [](Config& c) { c.faults.no_begin_echo = true; }, 0xC3, -6, 0},
        {"block 2 echoed wrong", [](Config& c) { c.faults.wrong_echo_block = 2; }, 0xC3, -7, 8},
        {"block 3 not echoed", [](Config& c) { c.faults.no_echo_block = 3; }, 0xC3, -7, 16},
        {"terminator echoed wrong", [](Config& c) { c.faults.wrong_terminator_echo = true; }, 0xC3,
         -7, 32},
        {"terminator not echoed", [](Config& c) { c.faults.no_echo_block = 5; }, 0xC3, -7, 32},
        {"power loss at block 4", [](Config& c) { c.faults.silent_from_block = 4; }, 0xC3, -7, 24},
        {"BOOT_END not echoed", [](Config& c) { c.faults.no_end_echo = true; }, 0xC3, -8, 32},
        {"bootloader address held", [](Config& c) { c.faults.contend_bootloader_address = true; },
         0xC3, -12, 0},
        {"background traffic", [](Config& c) { c.faults.background_period = 1ms; }, 0xC3, 0, 32},
        {"flood", [](Config& c) { c.faults.flood_rate = 20000; }, 0xC3, 0, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Config config;
        c.configure(config);
        Powered p{config};
        EXPECT_EQ(p.loader.Load(image, c.target), c.result);
        EXPECT_EQ(p.loader.acknowledged, c.acknowledged);
        if (c.result == 0 || c.result == -8) {
            EXPECT_EQ(Programmed(p.sensor), image);
        }
    }
}

TEST(SensorTest, ContendedAddressesPushTheLoaderToTheNextFreeOne) {
    Config config;
    config.faults.contend_up_to = 3;
    Powered p{config};
    EXPECT_EQ(p.start.frames.size(), 5u);  // four other nodes and the sensor claim at power-up
    ASSERT_EQ(p.loader.Load(Pattern(8)), 0);
    EXPECT_EQ(p.loader.software_address, 4);

    // All of 0..253 held: the other nodes and a sensor whose NAME is low enough to defend its
    // address against the loader.
    Config all;
    all.name = 0x10;
    all.faults.contend_up_to = 253;
    Powered q{all};
    EXPECT_EQ(q.loader.Load(Pattern(8)), -11);
}

TEST(SensorTest, ApplicationDefendsItsAddress) {
    Powered p{Config{}};
    // A higher NAME is answered with the sensor's own claim.
    auto reply = p.loader.Exchange(
        Ext(0x18EEFFC3, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 250ms,
        [](const CanFrame& f) { return DecodeJ1939(f.id).pgn == kPgnAddressClaimed; });
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 0x18EEFFC3u);
    // A request for Address Claimed is answered too.
    reply = p.loader.Exchange(Ext(0x18EAFF00, {0x00, 0xEE, 0x00}), 250ms, [](const CanFrame& f) {
        return DecodeJ1939(f.id).pgn == kPgnAddressClaimed;
    });
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 0x18EEFFC3u);
    // A lower NAME wins: "Cannot Claim", then silence.
    reply = p.loader.Exchange(
        Ext(0x18EEFFC3, {0, 0, 0, 0, 0, 0, 0, 0}), 250ms,
        [](const CanFrame& f) { return DecodeJ1939(f.id).pgn == kPgnAddressClaimed; });
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 0x18EEFFFEu);
    EXPECT_FALSE(p.loader.Exchange(Ext(0x18EFC300, {0xE0, 0x14, 0x00, 0x01, 0, 0, 0, 0}), 100ms,
                                   [](const CanFrame&) { return true; }));
}

// Requests that break the protocol get no answer.
TEST(SensorTest, ProtocolViolationsAreNotAnswered) {
    Config config;
    config.faults.start_in_bootloader = true;
    const std::vector<std::pair<const char*, std::vector<CanFrame>>> cases = {
        {"block before BOOT_BEG", {Command(Text("ABCDEFGH"), kDataChannel)}},
        {"BOOT_END without a stream", {Command(Text("BOOT_END"))}},
        {"erase of no sector", {Command({0x45, 0x08, 0x03, 0x00, 0x00})}},
        {"erase with a short address", {Command({0x45, 0x08, 0x01, 0x00})}},
        {"V of two bytes", {Command({0x56, 0x00})}},
        {"V on another channel", {Command({0x56}, 3)}},
        {"V at priority 3", {Ext(CommandChannelId(2) | (3u << 26), {0x56})}},
        {"V from another source", {Ext(0x00FFF2B2, {0x56})}},
        {"short block", {Command(Text("BOOT_BEG")), Command({1, 2, 3}, kDataChannel)}},
        {"request while erasing", {Command({0x45, 0x08, 0x01, 0x00, 0x00}), Command({0x56})}},
    };
    for (const auto& [name, frames] : cases) {
        SCOPED_TRACE(name);
        Powered p{config};
        const CanFrame& last = frames.back();
        for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
            Output ignored;
            p.sensor.OnFrame(frames[i], p.loader.now(), ignored);
        }
        const auto reply = p.loader.Exchange(last, 5000ms, [&](const CanFrame& f) {
            const bool erase_ack = f.length == 4 && f.data[0] == 0x08 && f.data[1] == 0x01;
            return f.id == last.id && f.extended == last.extended && !erase_ack;
        });
        EXPECT_FALSE(reply) << "answered";
    }
}

TEST(SensorTest, ApplicationIgnoresTheCommandChannelAndBootloaderIgnoresJ1939) {
    Powered app{Config{}};
    EXPECT_FALSE(app.loader.Transact(Command({0x56})));
    Config config;
    config.faults.start_in_bootloader = true;
    Powered boot{config};
    EXPECT_FALSE(boot.loader.Exchange(Ext(0x18EFC300, {0xE0, 0x14, 0x00, 0x01, 0, 0, 0, 0}), 100ms,
                                      [](const CanFrame&) { return true; }));
}

// Streams that leave the flash without one whole stream written after both erases: "BOOT_END"
// is still echoed, but the application is not valid.
TEST(SensorTest, OnlyAWholeStreamOnErasedSectorsMakesAValidApplication) {
    const CanFrame erase1 = Command({0x45, 0x08, 0x01, 0x00, 0x00});
    const CanFrame erase2 = Command({0x45, 0x08, 0x02, 0x00, 0x00});
    const CanFrame begin = Command(Text("BOOT_BEG"));
    const auto block = [](std::uint8_t n) { return Command(Pattern(8, n), kDataChannel); };
    struct Case {
        const char* name;
        std::vector<std::pair<CanFrame, bool>> steps;  // request, answered
        const char* notice;
    };
    const std::vector<Case> cases = {
        {"second sector not erased",
         {{erase1, true}, {begin, true}, {block(1), true}, {block(2), true}, {block(3), false}},
         "block 3 refused at 0x08010010: not erased"},
        {"past the end of the flash",
         {{erase1, true},
          {erase2, true},
          {begin, true},
          {block(1), true},
          {block(2), true},
          {block(3), true},
          {block(4), true},
          {block(5), false}},
         "block 5 refused at 0x08010020: outside the flash"},
        {"one sector erased, the image fits in it",
         {{erase1, true}, {begin, true}, {block(1), true}},
         "begun without both sectors erased: application not valid"},
        {"a sector erased in the middle of the stream",
         {{erase1, true},
          {erase2, true},
          {begin, true},
          {block(1), true},
          {block(2), true},
          {erase1, true}},
         "erased during the stream: application not valid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Config config;
        config.flash = {16, 16};
        config.faults.start_in_bootloader = true;
        Powered p{config};
        for (const auto& [request, answered] : c.steps) {
            EXPECT_EQ(p.loader.Transact(request, 2000ms).has_value(), answered);
        }
        EXPECT_TRUE(p.loader.Echoed(Command(std::vector<std::uint8_t>(8, 0), kDataChannel)));
        EXPECT_TRUE(p.loader.Echoed(Command(Text("BOOT_END"))));
        EXPECT_TRUE(HasNotice(p.loader.notices, c.notice));
        EXPECT_FALSE(p.sensor.application_valid());
    }
}

// A load cut short by a power loss leaves no valid application: at the next power-up the
// bootloader runs, and a load with target 0 resumes and completes it.
TEST(SensorTest, PowerLossThenResume) {
    Config config;
    config.faults.silent_from_block = 3;
    Powered p{config};
    const auto image = Pattern(64);
    ASSERT_EQ(p.loader.Load(image), -7);
    EXPECT_EQ(p.sensor.mode(), Mode::kPowerLost);
    EXPECT_FALSE(p.loader.Transact(Command({0x56})));  // silent

    Output out;
    p.sensor.PowerOff(p.loader.now(), out);
    p.sensor.PowerOn(p.loader.now(), out);
    EXPECT_EQ(p.sensor.mode(), Mode::kBootloader);
    EXPECT_TRUE(out.frames.empty());  // no address claim from a bootloader

    EXPECT_EQ(p.loader.Load(image, 0xC3), -9);  // a bootloader answers: only a resume may go on
    ASSERT_EQ(p.loader.Load(image, 0x00), 0);
    EXPECT_EQ(Programmed(p.sensor), image);

    out = {};
    p.sensor.PowerOff(p.loader.now(), out);
    p.sensor.PowerOn(p.loader.now(), out);
    EXPECT_EQ(p.sensor.mode(), Mode::kApplication);
    ASSERT_EQ(out.frames.size(), 1u);
    EXPECT_EQ(out.frames[0].id, 0x18EEFFC3u);
}

// Power lost in an erasure, or after "BOOT_END" was carried out but before its echo: the loader
// fails, and after a power cycle the flash ends up holding the image either way.
TEST(SensorTest, PowerLossInEraseOrAtEndThenRecovery) {
    struct Case {
        const char* name;
        std::function<void(Faults&)> inject;
        int failure;
        Mode after_power_cycle;
    };
    const std::vector<Case> cases = {
        {"erase 1", [](Faults& f) { f.power_loss_at_erase = 1; }, -5, Mode::kBootloader},
        {"erase 2", [](Faults& f) { f.power_loss_at_erase = 2; }, -5, Mode::kBootloader},
        {"end", [](Faults& f) { f.power_loss_at_end = true; }, -8, Mode::kApplication},
    };
    const auto image = Pattern(48);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Config config;
        c.inject(config.faults);
        Powered p{config};
        ASSERT_EQ(p.loader.Load(image), c.failure);
        EXPECT_EQ(p.sensor.mode(), Mode::kPowerLost);
        EXPECT_FALSE(p.loader.Transact(Command({0x56})));  // silent, and no late erase ack
        Output out;
        p.sensor.PowerOff(p.loader.now(), out);
        p.sensor.PowerOn(p.loader.now(), out);
        ASSERT_EQ(p.sensor.mode(), c.after_power_cycle);
        if (c.after_power_cycle == Mode::kApplication) {
            // The stream was complete: the new application runs and nothing is left to resume.
            EXPECT_EQ(Programmed(p.sensor), image);
            EXPECT_EQ(p.loader.Load(image, 0x00), -1);
            ASSERT_EQ(p.loader.Load(image), 0);
        } else {
            ASSERT_EQ(p.loader.Load(image, 0x00), 0);
        }
        EXPECT_EQ(Programmed(p.sensor), image);
        EXPECT_TRUE(p.sensor.application_valid());
        // Once only: a second identical load is not cut short.
        EXPECT_EQ(p.loader.Load(image, 0x00), 0);
    }
}

TEST(SensorTest, LoadsRepeatWithoutPowerCycle) {
    Powered p{Config{}};
    ASSERT_EQ(p.loader.Load(Pattern(40, 1)), 0);
    // The bootloader keeps running; a second load resumes with target 0 and a shorter image.
    ASSERT_EQ(p.loader.Load(Pattern(16, 9), 0x00), 0);
    EXPECT_EQ(Programmed(p.sensor), Pattern(16, 9));
}

TEST(SensorTest, FloodIsPacedAndBounded) {
    Config config;
    config.faults.flood_rate = 1000;
    Powered p{config};
    Output out;
    p.loader.Advance(1000ms, out);
    const auto flood = out.frames.size();
    EXPECT_GE(flood, 995u);
    EXPECT_LE(flood, 1001u);
    // A wake that comes very late sends one bounded burst, not the backlog.
    out = {};
    Output late;
    p.sensor.OnTimer(p.loader.now() + 100s, late);
    EXPECT_LE(late.frames.size(), 256u);
    EXPECT_GT(*p.sensor.NextWake(), p.loader.now() + 100s);
}

// Random frames, in every state, never crash the sensor, never make it send more than a bounded
// answer, and never stop it from serving a correct load afterwards.
TEST(SensorTest, GarbageNeverBreaksTheSensor) {
    std::mt19937 random(20261207);
    auto byte = [&] { return static_cast<std::uint8_t>(random()); };
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Config config;
        config.flash = {64, 64};
        config.erase_time = 1ms;
        config.boot_delay = 1ms;
        config.faults.start_in_bootloader = round % 2 == 1;
        Powered p{config};
        Micros now(0);
        for (int i = 0; i < 3000; ++i) {
            CanFrame f;
            switch (random() % 4) {
                case 0:  // command channel, any channel, short or long
                    f.id = CommandChannelId(static_cast<int>(random() % 16));
                    break;
                case 1:  // J1939 to or from the sensor
                    f.id = static_cast<std::uint32_t>((random() & 0x1C000000) |
                                                      (0xEAu + random() % 6) << 16) |
                           std::uint32_t{byte()} << 8 | byte();
                    break;
                default:
                    f.id = static_cast<std::uint32_t>(random() & 0x1FFFFFFF);
                    break;
            }
            f.extended = random() % 8 != 0;
            f.length = static_cast<std::uint8_t>(random() % 16);
            for (auto& b : f.data) {
                b = random() % 3 == 0 ? 0 : byte();
            }
            if (random() % 5 == 0) {  // well-formed commands now and then
                const char* texts[] = {"BOOT_BEG", "BOOT_END", "REBOOTME"};
                f = Command(Text(texts[random() % 3]));
            }
            now += Micros(random() % 2000);
            Output out;
            p.sensor.OnFrame(f, now, out);
            ASSERT_LE(out.frames.size(), 8u);
            ASSERT_LE(out.notices.size(), 4u);
        }
        // Whatever state the garbage left: a power cycle and the right load restore it.
        Output out;
        p.sensor.PowerOff(now, out);
        p.sensor.PowerOn(now, out);
        LoaderDouble loader(p.sensor, now);
        const std::uint8_t target = p.sensor.mode() == Mode::kApplication ? 0xC3 : 0x00;
        const auto image = Pattern(96, static_cast<std::uint8_t>(round));
        ASSERT_EQ(loader.Load(image, target), 0);
        EXPECT_EQ(Programmed(p.sensor), image);
    }
}

}  // namespace
}  // namespace sensor_sim::testing
