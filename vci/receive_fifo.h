// The receive FIFO of one channel: a bounded queue of messages that counts what it has to drop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "can/can_library.h"

namespace vci {

class ReceiveFifo {
  public:
    // Empties the FIFO and gives it room for `capacity` messages; the loss count is kept.
    void Reset(std::size_t capacity);

    // Queues a message. When the FIFO is full the message is dropped and counted; the first drop
    // after the FIFO last accepted a message also queues one status message (type
    // kVciMessageStatus, kVciStatusRxOverrun) beyond the capacity, so a reader sees where in the
    // stream frames went missing. False when the message was dropped.
    bool Push(const VciMessage& message);

    // Takes the oldest message; with a null record it is discarded. False when empty.
    bool Pop(VciMessage* message);

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    std::uint64_t lost() const { return lost_; }

  private:
    // A ring with room for the capacity and one status message, allocated by Reset only, so that
    // queueing and taking never allocate.
    std::vector<VciMessage> ring_ = std::vector<VciMessage>(1);
    std::size_t head_ = 0;  // the oldest message
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::uint64_t lost_ = 0;
    bool overflowing_ = false;  // dropped since the last accepted message; status queued
};

}  // namespace vci
