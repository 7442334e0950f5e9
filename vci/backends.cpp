// The backends of the library, one per device kind, in the order their devices are listed. A new
// device kind is a folder under vci/ with its backend, one line here and one in vci/CMakeLists.txt.
#include "vci/backend.h"
#include "vci/gs_usb/backend.h"
#include "vci/kvaser/backend.h"
#include "vci/pcan/backend.h"
#include "vci/sim_bus/backend.h"
#include "vci/slcan/backend.h"
#include "vci/socketcan/backend.h"

namespace vci {

const std::vector<Backend*>& Backends() {
    static const std::vector<Backend*> backends = {
        &VirtualBusBackend(), &SocketCanBackend(), &SlcanBackend(),
        &GsUsbBackend(),      &PcanBackend(),      &KvaserBackend(),
    };
    return backends;
}

}  // namespace vci
