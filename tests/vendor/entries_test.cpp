// The PCAN and Kvaser backends' device entries: names as the makers give them, and the serial
// number that KORVANE_DEVICE matches only on a card's first channel.
#include <gtest/gtest.h>

#include "vci/discovery.h"
#include "vci/kvaser/backend.h"
#include "vci/pcan/backend.h"

namespace vci {
namespace {

TEST(PcanChannelName, EveryHandleRangeAsPeakNamesIt) {
    for (const auto& [handle, name] : {std::pair<std::uint16_t, const char*>{0x51, "PCAN_USBBUS1"},
                                       {0x509, "PCAN_USBBUS9"},
                                       {0x510, "PCAN_USBBUS16"},
                                       {0x40A, "PCAN_PCIBUS10"},
                                       {0x31, "PCAN_DNGBUS1"},
                                       {0x801, "PCAN_LANBUS1"},
                                       {0x999, "PCAN_0x999"}}) {
        EXPECT_EQ(pcan::ChannelName(handle), name) << std::hex << handle;
    }
}

TEST(KvaserEntry, SerialOnTheCardsFirstChannelOnlyAndVirtualMarked) {
    const std::vector<DeviceEntry> devices = {
        kvaser::EntryFor(0, "Kvaser USBcan Pro 2xHS v2", 11111, 0, false),
        kvaser::EntryFor(1, "Kvaser USBcan Pro 2xHS v2", 11111, 1, false),
        kvaser::EntryFor(2, "Virtual CAN Driver", 0, 0, true)};
    EXPECT_EQ(devices[1].description,
              "Kvaser USBcan Pro 2xHS v2, serial 11111, channel 2 on the card");
    EXPECT_EQ(devices[2].description, "Kvaser Virtual CAN Driver, channel 1 on the card (virtual)");
    for (const auto& [wanted, chosen] : {std::pair<const char*, const char*>{"11111", "kvaser0"},
                                         {"kvaser1", "kvaser1"},
                                         {"0", nullptr}}) {
        const std::vector<DeviceEntry> found = ChooseDevice(devices, wanted);
        EXPECT_EQ(found.size(), chosen != nullptr ? 1u : 0u) << wanted;
        EXPECT_TRUE(found.empty() || found[0].name == chosen) << wanted;
    }
}

}  // namespace
}  // namespace vci
