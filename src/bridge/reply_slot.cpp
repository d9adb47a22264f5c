#include "bridge/reply_slot.hpp"

namespace quorvel {

std::pair<ReplySender, ReplyReceiver> make_reply_slot(std::shared_ptr<Parker> waker) {
    auto state = std::make_shared<detail::ReplyState>();
    state->waker = std::move(waker);
    return {ReplySender(state), ReplyReceiver(state)};
}

ReplySender& ReplySender::operator=(ReplySender&& other) noexcept {
    if (this != &other) {
        close(false);
        state_ = std::move(other.state_);
    }
    return *this;
}

ReplySender::~ReplySender() { close(false); }

void ReplySender::close_undelivered() noexcept { close(true); }

void ReplySender::close(bool undelivered) noexcept {
    if (!state_) return;
    std::shared_ptr<Parker> waker;
    {
        std::lock_guard lock(state_->mutex);
        state_->sender_gone = true;
        state_->settled.store(true, std::memory_order_release);
        if (!state_->payload && !state_->receiver_gone) {
            state_->undelivered = undelivered;
            waker = state_->waker;
        }
    }
    if (waker) waker->unpark();
    state_.reset();
}

bool ReplySender::send(std::string payload) noexcept {
    if (!state_) return false;
    std::shared_ptr<Parker> waker;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->receiver_gone) return false;
        state_->payload = std::move(payload);
        state_->sender_gone = true;
        state_->settled.store(true, std::memory_order_release);
        waker = state_->waker;
    }
    // The slot is spent; unpark outside the slot's lock.
    state_.reset();
    waker->unpark();
    return true;
}

ReplyReceiver::~ReplyReceiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_gone = true;
    state_->settled.store(true, std::memory_order_release);
    state_->payload.reset();
}

ReplyReceiver::Status ReplyReceiver::status() {
    std::lock_guard lock(state_->mutex);
    if (state_->payload) return Status::answered;
    if (!state_->sender_gone) return Status::waiting;
    return state_->undelivered ? Status::undelivered : Status::closed;
}

std::string ReplyReceiver::take() {
    std::lock_guard lock(state_->mutex);
    std::string payload = std::move(*state_->payload);
    state_->payload.reset();
    return payload;
}

}  // namespace quorvel
