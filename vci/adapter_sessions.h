// Adapters that a process opens once and whose controller and channels share that opening (the
// session): a serial-line adapter's port (vci/slcan/), a USB adapter's interface (vci/gs_usb/).
// The scheme, written once for every such backend:
//
//  - One session per adapter (by a key: where it is plugged in) and process, opened by the first
//    of the controller and the channels that needs it, and kept while any of them holds it.
//  - A lost session (the adapter pulled out, its port or interface gone) stays with those that
//    hold it, and their calls fail from then on. The next that asks for the adapter opens a new
//    session: an adapter pulled out and plugged back in opens again in the same run.
//  - A new session is set up as the controller set up the adapter (its bit rate, and started if
//    it was): a channel that connects anew after a loss (deactivated and activated again) finds
//    the adapter running as before.
//
// A backend's session type provides:
//   VciResult Configure(std::uint32_t bitrate);  // the controller's set-up; says why it failed
//   VciResult Start(bool start);                 // on stderr (vci/notice.h)
//   bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us);
//   Transport::SendResult Send(const VciMessage& message, std::uint32_t timeout_ms);
//   bool DiscardPending(std::int64_t budget_us);  // drops what has arrived
//   bool lost() const;
//   const std::string& last_error() const;
//   static constexpr bool kEchoesOwnFrames;       // the adapter returns the frames it sent
//   static constexpr const char* kReceiveFailed;  // put before last_error() when a receive fails
// The calls of one session are made on one thread at a time (the loader has one).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "vci/backend.h"
#include "vci/notice.h"
#include "vci/transport.h"

namespace vci {

// What a session's receive does first: the frames kept while it waited for something else (an
// answer, a free transmit slot) go out first. False when the session is lost: nothing more is read.
inline bool TakeKept(std::vector<VciMessage>& kept, std::vector<VciMessage>& out, bool lost) {
    out.insert(out.end(), kept.begin(), kept.end());
    kept.clear();
    return !lost;
}

template <typename Session>
class AdapterSessions {
  public:
    // Opens a session on the adapter; null on failure, with the code (kVciErrDeviceGone when the
    // adapter is not there, kVciErrIo otherwise) and why.
    using Opener = std::function<std::shared_ptr<Session>(VciResult* code, std::string* error)>;

    // The adapter's session: the one open, or a new one (set up as the controller set up the
    // adapter when `set_up`). Null on failure, with the code and why.
    std::shared_ptr<Session> Acquire(const std::string& key, const Opener& open, bool set_up,
                                     VciResult* code, std::string* error) {
        std::uint32_t bitrate = 0;
        bool started = false;
        {
            std::lock_guard lock(mutex_);
            Entry& entry = entries_[key];
            if (std::shared_ptr<Session> session = entry.session.lock();
                session && !session->lost()) {
                *code = kVciOk;
                return session;
            }
            bitrate = entry.bitrate;
            started = entry.started;
        }
        std::shared_ptr<Session> session = open(code, error);
        if (!session) {
            return nullptr;
        }
        if (set_up && bitrate != 0) {
            *code = session->Configure(bitrate);
            if (*code == kVciOk && started) {
                *code = session->Start(true);
            }
            if (*code != kVciOk) {
                *error = "the adapter opened again could not be set up as before";
                return nullptr;
            }
        }
        std::lock_guard lock(mutex_);
        entries_[key].session = session;
        return session;
    }

    // The adapter's session if one is open and not lost; null otherwise (none is opened).
    std::shared_ptr<Session> Current(const std::string& key) {
        std::lock_guard lock(mutex_);
        const auto it = entries_.find(key);
        std::shared_ptr<Session> session =
            it == entries_.end() ? nullptr : it->second.session.lock();
        return session && !session->lost() ? session : nullptr;
    }

    // How the controller has set the adapter up (bit rate 0: not at all).
    void SetUp(const std::string& key, std::uint32_t bitrate, bool started) {
        std::lock_guard lock(mutex_);
        Entry& entry = entries_[key];
        entry.bitrate = bitrate;
        entry.started = started;
    }

  private:
    struct Entry {
        std::weak_ptr<Session> session;
        std::uint32_t bitrate = 0;
        bool started = false;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

// The device's controller: sets the adapter up over its session, which it holds from Init on.
template <typename Session>
class SessionController final : public BackendController {
  public:
    using Sessions = AdapterSessions<Session>;
    SessionController(Sessions& sessions, std::string key, typename Sessions::Opener open,
                      std::string name)
        : sessions_(sessions),
          key_(std::move(key)),
          open_(std::move(open)),
          name_(std::move(name)) {}

    VciResult Init(std::uint32_t bitrate) override {
        VciResult code = kVciOk;
        std::string error;
        session_ = sessions_.Acquire(key_, open_, false, &code, &error);
        if (!session_) {
            Notice(name_.c_str(), "%s", error.c_str());
            return code;
        }
        code = session_->Configure(bitrate);
        if (code == kVciOk) {
            bitrate_ = bitrate;
            sessions_.SetUp(key_, bitrate, false);
        }
        return code;
    }

    VciResult Start(bool start) override {
        if (session_ && started_ != start) {
            // After a loss, the adapter's session is the one a channel opened since, if any.
            if (std::shared_ptr<Session> now = sessions_.Current(key_)) {
                session_ = std::move(now);
            }
            if (const VciResult code = session_->Start(start); code != kVciOk) {
                return code;
            }
            sessions_.SetUp(key_, bitrate_, start);
        }
        started_ = start;
        return kVciOk;
    }

  private:
    Sessions& sessions_;
    std::string key_;
    typename Sessions::Opener open_;
    std::string name_;
    std::shared_ptr<Session> session_;
    std::uint32_t bitrate_ = 0;
    bool started_ = false;
};

// A channel's transport over the adapter's session.
template <typename Session>
class SessionTransport final : public Transport {
  public:
    explicit SessionTransport(std::shared_ptr<Session> session) : session_(std::move(session)) {}

    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) override {
        if (!session_->Receive(out, timeout_us)) {
            last_error_ = Session::kReceiveFailed + session_->last_error();
            return false;
        }
        return true;
    }

    SendResult Send(const VciMessage& message, std::uint32_t timeout_ms,
                    std::size_t /*queued_limit: the adapter's queue decides*/) override {
        const SendResult result = session_->Send(message, timeout_ms);
        if (result != SendResult::kSent) {
            last_error_ = session_->last_error();
        }
        return result;
    }

    // An adapter keeps sending while the channel is inactive; reads on the inactive channel
    // drop what it sends, and activation drops what has arrived by then.
    bool StartReceiving(std::int64_t timeout_us) override {
        if (!session_->DiscardPending(timeout_us)) {
            last_error_ = Session::kReceiveFailed + session_->last_error();
            return false;
        }
        return true;
    }

    bool echoes_own_frames() const override { return Session::kEchoesOwnFrames; }

  private:
    std::shared_ptr<Session> session_;
};

// A device whose controller and channels go through the adapter's one session, keyed by the
// device's name; `open` makes a session for it.
template <typename Session>
class SessionDevice final : public BackendDevice {
  public:
    using Sessions = AdapterSessions<Session>;
    SessionDevice(Sessions& sessions, DeviceEntry entry, typename Sessions::Opener open)
        : BackendDevice(std::move(entry)), sessions_(sessions), open_(std::move(open)) {}

    std::unique_ptr<BackendController> OpenController() override {
        return std::make_unique<SessionController<Session>>(sessions_, entry().name, open_,
                                                            entry().name);
    }

    std::unique_ptr<Transport> OpenChannel(VciResult* code, std::string* error) override;

  private:
    Sessions& sessions_;
    typename Sessions::Opener open_;
};

// A channel's transport on the adapter (its session opened, or opened anew and set up, if
// none is open). Null on failure, with the code and why.
template <typename Session>
std::unique_ptr<Transport> OpenSessionTransport(
    AdapterSessions<Session>& sessions, const std::string& key,
    const typename AdapterSessions<Session>::Opener& open, VciResult* code, std::string* error) {
    std::shared_ptr<Session> session = sessions.Acquire(key, open, true, code, error);
    return session ? std::make_unique<SessionTransport<Session>>(std::move(session)) : nullptr;
}

template <typename Session>
std::unique_ptr<Transport> SessionDevice<Session>::OpenChannel(VciResult* code,
                                                               std::string* error) {
    return OpenSessionTransport(sessions_, entry().name, open_, code, error);
}

}  // namespace vci
