// Opening and closing the CAN port over the scripted CAN library: every failure line, and what
// is left for the clean-up to close.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "can/can_port.h"
#include "tests/fake_can_library/fake_can_library.h"

namespace {

using fake_can::Op;

class CanPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_can::Reset();
        ControllerHandle = nullptr;
    }
    void TearDown() override { ControllerHandle = nullptr; }

    // Opens the port with stdout captured; returns the result.
    int Open(CanPort& port, void* parent = nullptr) {
        testing::internal::CaptureStdout();
        int result = OpenCanPort(port, parent);
        printed_ = testing::internal::GetCapturedStdout();
        return result;
    }
    std::string printed_;
};

struct FailureCase {
    const char* what;
    Op op;
    uint32_t code;
    const char* line;
    bool channel_left;
    bool controller_left;
};

TEST_F(CanPortTest, EachFailingStepPrintsItsLineAndLeavesWhatItGot) {
    const std::vector<FailureCase> cases = {
        {"device open", Op::kOpenById, 0xE0010006u,
         "*** ERROR: Could not open CAN port.  Error = E0010006\n", false, false},
        {"controller open", Op::kControllerOpen, 0xE0010001u,
         "*** ERROR: Unable to set bit rate.  Error = E0010001\n", false, false},
        {"controller init", Op::kControllerInit, 0xE0010010u,
         "*** ERROR: Unable to set bit rate.  Error = E0010010\n", false, true},
        {"controller start", Op::kControllerStart, 0xE0010011u,
         "*** ERROR: Unable to set bit rate.  Error = E0010011\n", false, true},
        {"channel open", Op::kChannelOpen, 0xE001000Du,
         "*** ERROR: Unable to open a CAN channel on this port.  Error = E001000D\n", false, true},
        {"channel init", Op::kChannelInit, 0xE0010005u,
         "*** ERROR: Unable to configure CAN channel.  Error = E0010005\n", true, true},
        {"channel activate", Op::kChannelActivate, 0x00000001u,
         "*** ERROR: Unable to activate CAN channel.  Error = 00000001\n", true, true},
    };
    for (const auto& c : cases) {
        SetUp();
        fake_can::SetDevices({fake_can::MakeDevice(1)});
        fake_can::ScriptResults(c.op, {c.code});
        CanPort port{nullptr, nullptr};
        EXPECT_EQ(Open(port), 0) << c.what;
        EXPECT_EQ(printed_, c.line) << c.what;
        EXPECT_EQ(port.channel != nullptr, c.channel_left) << c.what;
        EXPECT_EQ(ControllerHandle != nullptr, c.controller_left) << c.what;

        CloseCanPort(port);
        EXPECT_EQ(fake_can::CountCalls(Op::kChannelClose), c.channel_left ? 1u : 0u) << c.what;
        EXPECT_EQ(fake_can::CountCalls(Op::kControllerClose), c.controller_left ? 1u : 0u)
            << c.what;
        EXPECT_EQ(ControllerHandle, nullptr) << c.what;
    }
}

TEST_F(CanPortTest, OneDeviceOpensByIdentifierAtOneThousandKbits) {
    fake_can::SetDevices({fake_can::MakeDevice(0x40)});
    CanPort port{nullptr, nullptr};
    ASSERT_EQ(Open(port), 1);
    EXPECT_EQ(printed_, "");
    EXPECT_EQ(port.device, fake_can::DeviceHandle());
    EXPECT_EQ(port.channel, fake_can::ChannelHandle());
    EXPECT_EQ(fake_can::CountCalls(Op::kSelect), 0u);

    std::vector<std::pair<Op, std::vector<uint64_t>>> expected_steps = {
        {Op::kControllerOpen, {0}},
        {Op::kControllerInit, {7, 0x00, 0x14}},
        {Op::kControllerStart, {1}},
        {Op::kChannelOpen, {0, 0}},
        {Op::kChannelInit, {32, 1, 128, 128}},
        {Op::kChannelActivate, {1}},
    };
    std::vector<std::pair<Op, std::vector<uint64_t>>> steps;
    for (const auto& call : fake_can::Calls()) {
        if (call.op == Op::kOpenById) {
            EXPECT_EQ(call.device_id.bytes[0], 0x40);
            EXPECT_EQ(call.device_id.bytes[7], 0x47);
        }
        if (static_cast<uint32_t>(call.op) >= 4000) {
            steps.emplace_back(call.op, call.args);
        }
    }
    EXPECT_EQ(steps, expected_steps);
    // Every enumerator that was opened was closed.
    EXPECT_EQ(fake_can::CountCalls(Op::kListOpen), fake_can::CountCalls(Op::kListClose));

    CloseCanPort(port);
    EXPECT_EQ(fake_can::CountCalls(Op::kChannelClose), 1u);
    EXPECT_EQ(fake_can::CountCalls(Op::kControllerClose), 1u);
}

TEST_F(CanPortTest, TwoDevicesAskTheOperatorWithTheConsoleWindowAsParent) {
    fake_can::SetDevices({fake_can::MakeDevice(1), fake_can::MakeDevice(9)});
    int window = 0;
    CanPort port{nullptr, nullptr};
    ASSERT_EQ(Open(port, &window), 1);
    ASSERT_EQ(fake_can::CountCalls(Op::kSelect), 1u);
    EXPECT_EQ(fake_can::CountCalls(Op::kOpenById), 0u);
    for (const auto& call : fake_can::Calls()) {
        if (call.op == Op::kSelect) {
            EXPECT_EQ(call.args[0], reinterpret_cast<uintptr_t>(&window));
        }
    }
    // A cancelled selection is reported with the device-open line.
    SetUp();
    fake_can::SetDevices({fake_can::MakeDevice(1), fake_can::MakeDevice(9)});
    fake_can::ScriptResults(Op::kSelect, {0xE001000Cu});
    CanPort cancelled{nullptr, nullptr};
    EXPECT_EQ(Open(cancelled), 0);
    EXPECT_EQ(printed_, "*** ERROR: Could not open CAN port.  Error = E001000C\n");
}

TEST_F(CanPortTest, DeviceGoneBetweenCountingAndOpeningPrintsNotFound) {
    fake_can::SetDevices({fake_can::MakeDevice(1)});
    fake_can::SetDevicesFrom(2, {});  // the second enumeration finds nothing
    CanPort port{nullptr, nullptr};
    EXPECT_EQ(Open(port), 0);
    EXPECT_EQ(printed_, "*** ERROR: Could not open CAN port.  Error = FFFFFFFF\n");
    EXPECT_EQ(port.device, nullptr);
    CloseCanPort(port);
    EXPECT_EQ(fake_can::CountCalls(Op::kChannelClose), 0u);
    EXPECT_EQ(fake_can::CountCalls(Op::kControllerClose), 0u);
}

TEST_F(CanPortTest, NoDeviceFailsAtTheControllerOfANullDevice) {
    struct Case {
        const char* what;
        std::vector<VciDeviceInfo> devices;
        std::vector<uint32_t> next_results;  // scripted 2002 results
    };
    const std::vector<Case> cases = {
        {"no device at all", {}, {}},
        {"enumeration fails after listing two",
         {fake_can::MakeDevice(1), fake_can::MakeDevice(2)},
         {0, 0, 0xE0010001u}},
    };
    for (const auto& c : cases) {
        SetUp();
        fake_can::SetDevices(c.devices);
        fake_can::ScriptResults(Op::kListNext, c.next_results);
        EXPECT_EQ(CountDevices(), 0u) << c.what;
        fake_can::Reset();
        fake_can::SetDevices(c.devices);
        fake_can::ScriptResults(Op::kListNext, c.next_results);
        CanPort port{nullptr, nullptr};
        EXPECT_EQ(Open(port), 0) << c.what;
        EXPECT_EQ(printed_, "*** ERROR: Unable to set bit rate.  Error = E0010003\n") << c.what;
        EXPECT_EQ(port.device, nullptr) << c.what;
        CloseCanPort(port);
        EXPECT_EQ(fake_can::CountCalls(Op::kControllerClose), 0u) << c.what;
        EXPECT_EQ(fake_can::CountCalls(Op::kChannelClose), 0u) << c.what;
    }
}

TEST_F(CanPortTest, EnumerationOpenOrResetFailureCountsAsNoDevice) {
    for (Op op : {Op::kListOpen, Op::kListReset}) {
        SetUp();
        fake_can::SetDevices({fake_can::MakeDevice(1)});
        fake_can::ScriptResults(op, {0xE0010001u});
        EXPECT_EQ(CountDevices(), 0u);
        // The enumerator is closed whenever it was opened.
        EXPECT_EQ(fake_can::CountCalls(Op::kListClose), op == Op::kListOpen ? 0u : 1u);
    }
    SetUp();
    fake_can::ScriptResults(Op::kListNext, {0xE0010001u});
    fake_can::SetDevices({fake_can::MakeDevice(5)});
    VciDeviceId id{};
    id.bytes[0] = 0x77;
    EXPECT_EQ(FirstDeviceId(id), 0xFFFFFFFFu);
    EXPECT_EQ(id.bytes[0], 0) << "the identifier is cleared";
}

TEST_F(CanPortTest, AccessDeniedAtAnyControllerStepReleasesTheControllerAndGoesOn) {
    for (Op op : {Op::kControllerOpen, Op::kControllerInit, Op::kControllerStart}) {
        SetUp();
        fake_can::SetDevices({fake_can::MakeDevice(1)});
        fake_can::ScriptResults(op, {0xE001000Au});
        CanPort port{nullptr, nullptr};
        EXPECT_EQ(Open(port), 1);
        EXPECT_EQ(printed_, "");
        EXPECT_EQ(ControllerHandle, nullptr);
        size_t closes_during_open = fake_can::CountCalls(Op::kControllerClose);
        EXPECT_EQ(closes_during_open, op == Op::kControllerOpen ? 0u : 1u);
        CloseCanPort(port);
        EXPECT_EQ(fake_can::CountCalls(Op::kChannelClose), 1u);
        EXPECT_EQ(fake_can::CountCalls(Op::kControllerClose), closes_during_open)
            << "only the channel is closed at exit";
    }
}

TEST_F(CanPortTest, ClosingAPortThatWasNeverOpenedClosesNothing) {
    CanPort port{nullptr, nullptr};
    CloseCanPort(port);
    EXPECT_TRUE(fake_can::Calls().empty());
}

}  // namespace
