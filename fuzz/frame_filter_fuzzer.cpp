// Fuzzes the way received messages become frames and pass (or fail) the receive filters: any
// 20-byte message record through MessageToFrame, ReceiveMatching with the J1939 and command-channel
// filters, and the protocol operations built on them.
//
// Input: a header (operation, ReceiveTimeout, the operation's arguments), then records of 21
// bytes: one control byte and one 20-byte VciMessage as the CAN library would fill it. This file
// is the CAN library: each read hands out the next record (control bit 0: one empty 1-ms read
// comes first; bit 1: the read fails as on a lost connection), and an exhausted input reads as
// empty for ever, so only the receive budget can end a wait.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "can/can_frame_io.h"
#include "protocol/bootloader_channel.h"
#include "protocol/j1939.h"

namespace {

struct Record {
    uint8_t control;
    VciMessage message;
};

// The library's state for one input.
struct Library {
    std::vector<Record> records;
    std::size_t next = 0;
    bool empty_read_done = false;  // the empty read before records[next] has been given
    bool take_needs_record = false;
    // What the reads handed out since the last Mark().
    uint64_t empty_reads = 0;
    std::vector<VciMessage> delivered;
    uint64_t sends = 0;

    void Mark() {
        empty_reads = 0;
        delivered.clear();
    }
};

Library library;
VciHandle const kChannel = reinterpret_cast<VciHandle>(0x1000);

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

VciResult NextMessage(VciMessage* message) {
    if (library.next >= library.records.size()) {
        ++library.empty_reads;
        return kVciErrTimeout;
    }
    const Record& record = library.records[library.next];
    if ((record.control & 1) != 0 && !library.empty_read_done) {
        library.empty_read_done = true;
        ++library.empty_reads;
        return kVciErrTimeout;
    }
    library.empty_read_done = false;
    ++library.next;
    if ((record.control & 2) != 0) {
        ++library.empty_reads;  // a failed read costs what an empty one costs
        return kVciErrIo;
    }
    if (message != nullptr) {
        *message = record.message;
    }
    library.delivered.push_back(record.message);
    return kVciOk;
}

// What MessageToFrame must make of a message, stated from the record's layout.
void CheckConversion(const VciMessage& message, const CanFrame& frame, const CanFrame& before) {
    if (message.type != kVciMessageData) {
        Check(frame.id == kCanIdNotData && frame.length == 0);
        Check(std::memcmp(frame.data, before.data, 8) == 0);
        return;
    }
    const bool extended = (message.flags & kVciFlagExtended) != 0;
    Check((frame.id & kCanIdMask) == (message.identifier & kCanIdMask));
    Check((frame.id & 0x60000000u) == 0);
    Check(((frame.id & kCanIdExtended) != 0) == extended);
    Check(frame.id != kCanIdNotData);
    Check(frame.length == (message.flags & kVciFlagLengthMask));
    const std::size_t copied = frame.length < 8 ? frame.length : 8;
    Check(std::memcmp(frame.data, message.data, copied) == 0);
    Check(std::memcmp(frame.data + copied, before.data + copied, 8 - copied) == 0);
}

// The cost of what the last wait consumed, in microseconds, and whether its last message passed.
uint64_t ChargedCost(uint32_t value, uint32_t mask, bool last_matched) {
    uint64_t cost = library.empty_reads * 1000;
    for (std::size_t i = 0; i < library.delivered.size(); ++i) {
        const VciMessage& message = library.delivered[i];
        if ((message.flags & kVciFlagSelf) != 0) {
            continue;  // our own copies cost nothing
        }
        CanFrame frame{};
        MessageToFrame(message, frame);
        const bool passes = (frame.id & mask) == value;
        if (i + 1 == library.delivered.size() && last_matched) {
            Check(passes);
        } else {
            Check(!passes);  // the wait stops at the first message that passes
            cost += 138;
        }
    }
    return cost;
}

void CheckWait(uint32_t value, uint32_t mask) {
    const uint64_t budget = uint64_t{ReceiveTimeout} * 1000;
    CanFrame frame{};
    library.Mark();
    const int result = ReceiveMatching(kChannel, value, mask, frame);
    Check(result == 0 || result == 1);
    const uint64_t cost = ChargedCost(value, mask, result == 1);
    if (result == 1) {
        Check((frame.id & mask) == value);
        Check(cost == 0 || cost < budget);  // it had budget left when the frame came
    } else {
        Check(cost + 1000 > budget);  // it gave up only with less than one read left
    }
}

uint32_t Read32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
           (uint32_t{bytes[3]} << 24);
}

}  // namespace

extern "C" {

VciResult VciChannelRead(VciHandle channel, uint32_t, VciMessage* message) {
    Check(channel == kChannel);
    if (message == nullptr) {
        return kVciErrInvalidPointer;
    }
    return NextMessage(message);
}

VciResult VciChannelTake(VciHandle channel, VciMessage* message) {
    Check(channel == kChannel);
    if (message == nullptr && library.take_needs_record) {
        return kVciErrInvalidPointer;
    }
    if (library.next >= library.records.size()) {
        return kVciErrRxEmpty;
    }
    const VciResult result = NextMessage(message);
    return result == kVciErrTimeout ? kVciErrRxEmpty : result;
}

VciResult VciChannelSend(VciHandle channel, uint32_t, const VciMessage* message) {
    Check(channel == kChannel && message != nullptr);
    Check(message->type == kVciMessageData && (message->flags & kVciFlagLengthMask) <= 8);
    Check((message->flags & kVciFlagExtended) != 0 && message->identifier <= kCanIdMask);
    ++library.sends;
    return kVciOk;
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    constexpr std::size_t kHeader = 16;
    if (size < kHeader) {
        return 0;
    }
    const uint8_t operation = data[0];
    // Up to 16383 ms: long enough for every budget the loader uses, short enough to stay fast.
    const uint32_t timeout = (uint32_t{data[1]} | (uint32_t{data[2]} << 8)) & 0x3FFF;
    const uint8_t* args = data + 3;  // 13 bytes of arguments
    library = Library{};
    library.take_needs_record = (operation & 0x80) != 0;
    for (std::size_t at = kHeader; at + 21 <= size; at += 21) {
        Record record{};
        record.control = data[at];
        std::memcpy(&record.message, data + at + 1, sizeof record.message);
        library.records.push_back(record);
    }
    SetReceiveTimeout(timeout);

    switch (operation % 10) {
        case 0: {  // the conversion alone, of every record
            for (const Record& record : library.records) {
                CanFrame frame{};
                std::memset(frame.data, args[0], sizeof frame.data);
                const CanFrame before = frame;
                MessageToFrame(record.message, frame);
                CheckConversion(record.message, frame, before);
                if (record.message.type == kVciMessageData && frame.length <= 8) {
                    // Back to a message: the same identifier, format, length and bytes.
                    VciMessage again{};
                    FrameToMessage(frame, again);
                    Check(again.identifier == (record.message.identifier & kCanIdMask));
                    Check((again.flags & ~kVciFlagSelf) ==
                          (record.message.flags & (kVciFlagExtended | kVciFlagLengthMask)));
                    Check(std::memcmp(again.data, record.message.data, frame.length) == 0);
                }
            }
            break;
        }
        case 1: {  // a J1939 filter
            const uint32_t pgn = Read32(args + 2) & 0x3FFFF;
            const J1939Filter filter = J1939ReceiveFilter(args[0], args[1], pgn);
            Check((filter.value & ~filter.mask) == 0);
            Check((filter.mask & filter.value & kCanIdExtended) != 0);  // 29-bit frames only
            CheckWait(filter.value, filter.mask);
            break;
        }
        case 2:  // the command channel
            CheckWait(kCommandReplyValue, kCommandReplyMask);
            break;
        case 3: {  // any filter
            const uint32_t mask = Read32(args);
            CheckWait(Read32(args + 4) & mask, mask);
            break;
        }
        case 4: {  // one command-channel exchange
            uint8_t reply[8];
            std::memset(reply, 0xA5, sizeof reply);
            uint8_t length = 0xEE;
            const uint8_t request_length = args[1] % 10;
            const int result = Transact(kChannel, args[0], args + 2, request_length, reply, length);
            Check(result == 0 || result == 1);
            Check(request_length <= 8 || (result == 0 && library.sends == 0));
            if (result == 1) {
                Check(length <= 15);
                Check(library.sends == 1);
            }
            break;
        }
        case 5: {  // address claim
            uint64_t name = 0;
            std::memcpy(&name, args + 1, sizeof name);
            const int result = ClaimAddress(kChannel, args[0], name);
            Check((result == 0 || result == 1) && ReceiveTimeout == kAddressClaimTimeout);
            break;
        }
        case 6: {  // the requests to the sensor's application
            uint8_t reply_byte = 0x5A;
            const int result = CheckForSensor(kChannel, args[0], args[1], reply_byte);
            Check(result == 1 || reply_byte == 0x5A);
            Check(StartBootloader(kChannel, args[0], args[1]) == 1);
            break;
        }
        case 7: {  // the wait for the bootloader, with a short budget per attempt
            SetReceiveTimeout(timeout & 0xFF);
            const int result = WaitForBootloader(kChannel);
            Check(result == 0 || result == 1);
            break;
        }
        case 8: {  // the flush, with and without null records allowed
            const uint32_t result = FlushReceive(kChannel);
            Check(result == kVciOk || result == kVciErrIo);
            break;
        }
        case 9: {  // the echoed exchanges of a load
            uint8_t block[8];
            std::memcpy(block, args + 4, sizeof block);
            const int a = EraseSector(kChannel, Read32(args));
            const int b = BeginStream(kChannel);
            const int c = SendDataBlock(kChannel, block);
            const int d = EndStream(kChannel);
            for (const int result : {a, b, c, d}) {
                Check(result == 0 || result == 1);
            }
            uint8_t channel = 0xEE;
            uint8_t bytes[8];
            uint8_t length = 0xEE;
            if (ReceiveCommand(kChannel, channel, bytes, length) == 1) {
                Check(channel <= 15 && length <= 15);
            } else {
                Check(channel == 0xEE && length == 0xEE);
            }
            break;
        }
    }
    return 0;
}
