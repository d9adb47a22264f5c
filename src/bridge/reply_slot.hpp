// A one-shot reply slot: carries one text from the bridge to one waiting
// tool job. Destroying the sending end without a text closes the slot;
// sending after the receiving end has gone fails.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/runtime.hpp"

namespace quorvel {

namespace detail {
struct ReplyState {
    std::mutex mutex;  // guards every field below
    std::optional<std::string> payload;
    bool sender_gone = false;
    bool receiver_gone = false;
    std::shared_ptr<Parker> waker;  // the parked job to wake
};
}  // namespace detail

class ReplySender {
public:
    explicit ReplySender(std::shared_ptr<detail::ReplyState> state) : state_(std::move(state)) {}
    ReplySender(ReplySender&&) noexcept = default;
    ReplySender& operator=(ReplySender&& other) noexcept;
    ReplySender(const ReplySender&) = delete;
    ReplySender& operator=(const ReplySender&) = delete;
    ~ReplySender();

    // False (and the text dropped) when the waiting job has gone away.
    bool send(std::string payload);

private:
    void close();
    std::shared_ptr<detail::ReplyState> state_;
};

class ReplyReceiver {
public:
    enum class Status { waiting, answered, closed };

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
