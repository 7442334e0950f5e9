// The device list's entries of the PCAN and Kvaser backends: names as the makers give them, and
// the serial number that KORVANE_DEVICE matches only where it names one channel.
#include <gtest/gtest.h>

#include "vci/discovery.h"
#include "vci/kvaser/backend.h"
#include "vci/pcan/backend.h"

namespace vci {
namespace {

TEST(PcanChannelName, EveryHandleRangeAsPeakNamesIt) {
    for (const auto& [handle, name] : {std::pair<std::uint16_t, const char*>{0x51, "PCAN_USBBUS1"},
                                       {0x58, "PCAN_USBBUS8"},
                                       {0x509, "PCAN_USBBUS9"},
                                       {0x510, "PCAN_USBBUS16"},
                                       {0x41, "PCAN_PCIBUS1"},
                                       {0x40A, "PCAN_PCIBUS10"},
                                       {0x21, "PCAN_ISABUS1"},
                                       {0x31, "PCAN_DNGBUS1"},
                                       {0x62, "PCAN_PCCBUS2"},
                                       {0x801, "PCAN_LANBUS1"},
                                       {0x999, "PCAN_0x999"}}) {
        EXPECT_EQ(pcan::ChannelName(handle), name) << std::hex << handle;
    }
}

TEST(KvaserEntry, SerialOnTheCardsFirstChannelOnlyAndVirtualMarked) {
    std::vector<DeviceEntry> devices = {
        kvaser::EntryFor(0, "Kvaser USBcan Pro 2xHS v2", 11111, 0, false),
        kvaser::EntryFor(1, "Kvaser USBcan Pro 2xHS v2", 11111, 1, false),
        kvaser::EntryFor(2, "Kvaser Virtual CAN Driver", 0, 0, true),
    };
    EXPECT_EQ(devices[1].name, "kvaser1");
    EXPECT_EQ(devices[1].description,
              "Kvaser USBcan Pro 2xHS v2, serial 11111, channel 2 on the card");
    EXPECT_EQ(devices[2].description, "Kvaser Virtual CAN Driver, channel 1 on the card (virtual)");
    struct Case {
        const char* wanted;
        std::vector<std::string> chosen;
    };
    for (const Case& c : std::vector<Case>{{"11111", {"kvaser0"}},
                                           {"kvaser1", {"kvaser1"}},
                                           {"kvaser2", {"kvaser2"}},
                                           {"0", {}}}) {
        std::vector<std::string> chosen;
        for (const DeviceEntry& entry : ChooseDevice(devices, c.wanted)) {
            chosen.push_back(entry.name);
        }
        EXPECT_EQ(chosen, c.chosen) << c.wanted;
    }
}

}  // namespace
}  // namespace vci
