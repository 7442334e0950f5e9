#include "sensor_sim/options.h"

#include <gtest/gtest.h>

#include <functional>

namespace sensor_sim {
namespace {

std::optional<Options> Parse(const std::vector<std::string_view>& args, std::string* error) {
    return ParseOptions(args, error);
}

TEST(OptionsTest, ValuesReachTheConfiguration) {
    struct Case {
        std::vector<std::string_view> args;
        std::function<bool(const Options&)> holds;
    };
    const std::vector<Case> cases = {
        {{}, [](const Options& o) { return o.sensor.address == 0xC3 && o.port == 0 && !o.join; }},
        {{"--address", "0x80"}, [](const Options& o) { return o.sensor.address == 0x80; }},
        {{"--address=17"}, [](const Options& o) { return o.sensor.address == 17; }},
        {{"--version", ""}, [](const Options& o) { return o.sensor.version.empty(); }},
        {{"--version=>VER 7.1"}, [](const Options& o) { return o.sensor.version == ">VER 7.1"; }},
        {{"--erase-ms", "2500"},
         [](const Options& o) { return o.sensor.erase_time == std::chrono::milliseconds(2500); }},
        {{"--sector2-size", "1M"},
         [](const Options& o) { return o.sensor.flash.sector2_size == 1u << 20; }},
        {{"--wrong-echo-block", "3", "--no-end-echo"},
         [](const Options& o) {
             return o.sensor.faults.wrong_echo_block == 3 && o.sensor.faults.no_end_echo;
         }},
        {{"--power-loss-at-erase", "2", "--power-loss-at-end"},
         [](const Options& o) {
             return o.sensor.faults.power_loss_at_erase == 2 && o.sensor.faults.power_loss_at_end;
         }},
        {{"--contend-addresses", "0"},
         [](const Options& o) { return o.sensor.faults.contend_up_to == 0; }},
        {{"--join", "29537", "--exit-on-eof"},
         [](const Options& o) { return o.join == 29537 && o.exit_on_eof; }},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto options = Parse(c.args, &error);
        ASSERT_TRUE(options) << error;
        EXPECT_TRUE(c.holds(*options)) << (c.args.empty() ? "" : c.args[0]);
    }
}

TEST(OptionsTest, BadInputIsRefusedWithAReason) {
    const std::vector<std::vector<std::string_view>> cases = {
        {"--address", "254"},
        {"--address", "0xZZ"},
        {"--address"},
        {"--version", "123456789"},
        {"--sector1-size", "12"},
        {"--sector1-size", "0"},
        {"--sector2-size", "64M"},
        {"--no-end-echo=1"},
        {"--bogus"},
        {"stray"},
        {"--join", "29536", "--trace", "t.log"},
        {"--wrong-echo-block", "0"},
        {"--power-loss-at-erase", "0"},
        {"--flood-rate", "100001"},
        {"--erase-ms", "-1"},
        {"--bus-name", "two words"},  // would open a bus of another name
        {"--bus-name", "<sim>"},
    };
    for (const auto& args : cases) {
        std::string error;
        EXPECT_FALSE(Parse(args, &error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

}  // namespace
}  // namespace sensor_sim
