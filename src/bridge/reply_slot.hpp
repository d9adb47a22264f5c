// A one-shot reply slot: carries one text from the bridge to one waiting
// tool job. Destroying the sending end without a text closes the slot;
// sending after the receiving end has gone fails.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "bridge/runtime.hpp"

namespace quorvel {

namespace detail {
struct ReplyState {
    std::mutex mutex;  // guards every field below but `settled`
    std::optional<std::string> payload;
    bool sender_gone = false;
    bool receiver_gone = false;
    bool undelivered = false;  // closed because the request never reached a host
    std::shared_ptr<Parker> waker;  // the parked job to wake
    // Set under the mutex once no reply can matter any more (one was given,
    // the sender closed or the receiver left). Read without the lock by the
    // request queue, which must not take a slot's lock under its own.
    std::atomic<bool> settled{false};
};
}  // namespace detail

// Whether anybody still waits for a slot's reply, seen from the request
// that carries it.
class ReplyWatch {
public:
    explicit ReplyWatch(std::shared_ptr<detail::ReplyState> state) : state_(std::move(state)) {}
    bool awaited() const { return !state_->settled.load(std::memory_order_acquire); }

private:
    std::shared_ptr<detail::ReplyState> state_;
};

class ReplySender {
public:
    explicit ReplySender(std::shared_ptr<detail::ReplyState> state) : state_(std::move(state)) {}
    ReplySender(ReplySender&&) noexcept = default;
    ReplySender& operator=(ReplySender&& other) noexcept;
    ReplySender(const ReplySender&) = delete;
    ReplySender& operator=(const ReplySender&) = delete;
    ~ReplySender();

    // False (and the text dropped) when the waiting job has gone away.
    bool send(std::string payload) noexcept;
    // Closes the slot, telling the job that its request was lost before a
    // host saw it. Allocates nothing, so it works when memory has run out.
    void close_undelivered() noexcept;
    ReplyWatch watch() const { return ReplyWatch(state_); }

private:
    void close(bool undelivered) noexcept;
    std::shared_ptr<detail::ReplyState> state_;
};

class ReplyReceiver {
public:
    enum class Status { waiting, answered, closed, undelivered };

    explicit ReplyReceiver(std::shared_ptr<detail::ReplyState> state) : state_(std::move(state)) {}
    ReplyReceiver(ReplyReceiver&&) noexcept = default;
    ReplyReceiver& operator=(ReplyReceiver&&) = delete;
    ReplyReceiver(const ReplyReceiver&) = delete;
    ReplyReceiver& operator=(const ReplyReceiver&) = delete;
    ~ReplyReceiver();

    Status status();
    // Only after status() said answered.
    std::string take();

private:
    std::shared_ptr<detail::ReplyState> state_;
};

// A new slot whose fill or close unparks `waker`.
std::pair<ReplySender, ReplyReceiver> make_reply_slot(std::shared_ptr<Parker> waker);

}  // namespace quorvel
