// The contract of our CAN library beyond what the interface header (can/can_library.h) states:
// the choices every device kind shares. What differs by device kind is said in each backend's
// header: vci/sim_bus/backend.h, vci/socketcan/backend.h, vci/slcan/backend.h,
// vci/gs_usb/backend.h, vci/pcan/backend.h, vci/kvaser/backend.h. vci_library.cpp implements it;
// this header declares nothing.
//
// Threads. Every function may be called from any thread, and calls on different handles may run
// at once (the handle table, the device scan and the adapters' sessions are locked). Calls on
// one controller or one channel must not overlap: a handle is used by one thread at a time (the
// loader has one thread). The library starts no thread of its own; it reads and waits only in
// the caller's calls. On Windows VCINPL.dll shares the program's C runtime, so its prompt and
// notices use the program's stdin, stdout and stderr.
//
// Handles. Every handle names an object of this library in one process-wide table, by its slot
// and the slot's generation; a handle that is null, unknown, already closed (even once its slot
// holds a newer object) or of the wrong kind gives kVciErrInvalidHandle. Devices have no close
// operation: they live to the end of the process.
//
// Enumeration (2000, 2003) takes the devices that discovery found (vci/discovery.h: found once
// and reused by the calls that follow at once; KORVANE_DEVICE); 2002 hands them out in order and
// gives kVciErrNoMoreItems after the last. Finding devices opens none of them (see each
// backend for what it reads).
//
// Selection (3001) is on the console: a numbered list of the devices on stdout and one line read
// from stdin; an empty line, end of input or anything but a listed number is kVciErrCancelled.
// With no device at all it is kVciErrDeviceGone. The parent window is accepted and unused (it
// may be null). This prompt is the only thing the library ever writes to stdout; its notices go
// to stderr through vci/notice.h, each line starting with "vci: ".
//
// Controller. Only bus 0 exists (other numbers: kVciErrInvalidArgument). The operating mode is a
// set of bits: 0x01 standard (11-bit) frames, 0x02 extended (29-bit) frames, 0x04 error frames;
// mode 7 takes all three. It must name at least one frame format and nothing else
// (kVciErrInvalidArgument), and it decides what the device's channels receive. The bit rate
// comes from the SJA1000 register pair (vci/bus_timing.h). What initialising and starting do is
// the backend's; each failure says why on stderr, with the command that fixes it where there is
// one. Initialising a started controller is kVciErrWrongState, as is starting one that was never
// initialised. Channels do not depend on the controller's state, since the controller may belong
// to another application.
//
// Channel. Opening asks the backend for a transport: kVciErrDeviceGone when the device is no
// longer there, kVciErrIo for other failures. The exclusive flag is accepted and has no effect.
// 4104 must come before 4105 and not while active (kVciErrWrongState); FIFO sizes are 1 to 65536
// messages, thresholds at most the size (kVciErrInvalidArgument otherwise); thresholds set when a
// Windows event would be signalled and have no use here. Frames that reach the channel while it
// is not active are discarded, all of them: activation starts from the moment it is made.
// Deactivating keeps what the FIFO already holds, but reads, takes and sends on an inactive
// channel are kVciErrWrongState. An inactive channel keeps its connection where it has one:
// each call on it reads and discards what has arrived.
//
// Receiving, with no thread of the library: reads and takes move what the transport holds into
// the receive FIFO, without waiting, when the FIFO has nothing to hand out (a read that finds a
// message waiting costs no system call). A full FIFO drops further frames and counts them (see
// vci/receive_fifo.h for the status message that marks where; vci/vci_diagnostics.h for the
// count); a non-zero count is reported on stderr when the channel closes. Time stamps are
// microseconds since activation (wrapping at 32 bits) at the moment the library took the frame
// from the transport. 4110 waits for at most the time-out and returns the moment a message
// arrives (kVciErrTimeout when none came; time-out 0 does not wait); a read that starts at once
// after one that ended empty counts from that one's deadline, so a long series of short reads
// lasts their nominal time; 4106 never waits (kVciErrRxEmpty when none is waiting; a null record
// discards the message). On Linux, activating a channel sets the calling thread's timer slack to
// 1 ns, so that a loop of 1-ms reads keeps time.
//
// Sending (4111): the message must be a data message (type 0) with length 0 to 8 and an
// identifier that fits 11 or 29 bits as flag 0x80 says (kVciErrInvalidArgument otherwise). On
// success the channel also receives a copy of the frame with kVciFlagSelf (0x20) set, as a
// controller's self-reception does; where the copy comes from is the backend's. When the
// transmit queue is full, the send waits at most its time-out for room and then gives
// kVciErrTxFull. A send refused by the device is kVciErrIo. Every failed send says why on stderr
// ("vci: NAME: send failed: REASON"), once for as long as the reason stays the same.
//
// A lost connection (the bus host went away, the interface vanished, the adapter was pulled
// out): the send that finds it gives kVciErrIo, and from then on every send fails so, and every
// read and take on the channel returns at once: first the messages the FIFO still holds, then
// kVciErrIo. The loss is reported once on stderr. Deactivating and activating the channel again
// connects anew (for an adapter on a serial line or USB, a new session: the adapter plugged in
// again is set up afresh).
#pragma once
