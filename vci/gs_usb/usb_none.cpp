// gs_usb adapters on a system without its USB layer yet: none are found.
#include "vci/gs_usb/usb.h"

namespace vci::gs_usb {

std::vector<FoundAdapter> FindAdapters(const std::string& /*root*/) {
    return {};
}

std::unique_ptr<UsbDevice> OpenAdapter(const std::string& port, VciResult* code,
                                       std::string* error) {
    *code = kVciErrDeviceGone;
    *error = "gs_usb adapters are not supported on this system (USB port " + port + ")";
    return nullptr;
}

}  // namespace vci::gs_usb
