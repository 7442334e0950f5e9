#include "vci/receive_fifo.h"

#include <algorithm>

#include "vci/vci_diagnostics.h"

namespace vci {

void ReceiveFifo::Reset(std::size_t capacity) {
    ring_.assign(capacity + 1, VciMessage{});
    head_ = 0;
    size_ = 0;
    capacity_ = capacity;
    overflowing_ = false;
}

bool ReceiveFifo::Push(const VciMessage& message) {
    if (size_ < capacity_) {
        ring_[(head_ + size_++) % ring_.size()] = message;
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
        ring_[(head_ + size_++) % ring_.size()] = status;  // the one slot beyond the capacity
    }
    return false;
}

bool ReceiveFifo::Pop(VciMessage* message) {
    if (size_ == 0) {
        return false;
    }
    if (message != nullptr) {
        *message = ring_[head_];
    }
    head_ = (head_ + 1) % ring_.size();
    --size_;
    return true;
}

}  // namespace vci
