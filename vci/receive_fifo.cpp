#include "vci/receive_fifo.h"

#include <algorithm>

#include "vci/vci_diagnostics.h"

namespace vci {

void ReceiveFifo::Reset(std::size_t capacity) {
    messages_.clear();
    capacity_ = capacity;
    overflowing_ = false;
}

bool ReceiveFifo::Push(const VciMessage& message) {
    if (messages_.size() < capacity_) {
        messages_.push_back(message);
        overflowing_ = false;
        return true;
    }
    ++lost_;
    if (!overflowing_) {
        overflowing_ = true;
        VciMessage status{};
        status.time_stamp = message.time_stamp;
        status.type = kVciMessageStatus;
        status.data[0] = kVciStatusRxOverrun;
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(lost_, 0xFFFFFFFFu));
        for (int i = 0; i < 4; ++i) {
            status.data[4 + i] = static_cast<std::uint8_t>(count >> (8 * i));
        }
        messages_.push_back(status);
    }
    return false;
}

bool ReceiveFifo::Pop(VciMessage* message) {
    if (messages_.empty()) {
        return false;
    }
    if (message != nullptr) {
        *message = messages_.front();
    }
    messages_.pop_front();
    return true;
}

}  // namespace vci
