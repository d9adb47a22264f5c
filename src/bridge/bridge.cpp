#include "bridge/bridge.hpp"

#include <utility>
#include <vector>

namespace quorvel {

Result<std::string> write_bridge_request(const BridgeEnvelope& envelope) {
    std::string text = "{\"request_id\":";
    json::write_string(envelope.request_id, text);
    text += ",\"server\":";
    json::write_string(envelope.server, text);
    text += ",\"tool\":";
    json::write_string(envelope.tool, text);
    text += ",\"arguments\":";
    text += envelope.arguments;
    text += ",\"operation\":";
    json::write_string(envelope.operation, text);
    text += '}';
    return text;
}

// ---- RequestQueue -------------------------------------------------------

RequestQueue::SendOutcome RequestQueue::send(BridgeEnvelope&& envelope, Ticket& ticket) {
    std::shared_ptr<Parker> receiver;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return SendOutcome::closed;
        if (!waiting_for_room_.empty() || queued_.size() >= capacity) {
            ticket = next_ticket_++;
            waiting_for_room_.emplace(ticket, std::move(envelope));
            return SendOutcome::waiting_for_room;
        }
        queued_.push_back(std::move(envelope));
        receiver = receiver_waker_;
    }
    if (receiver) receiver->unpark();
    return SendOutcome::queued;
}

bool RequestQueue::withdraw(Ticket ticket) {
    std::lock_guard lock(mutex_);
    return waiting_for_room_.erase(ticket) > 0;
}

std::optional<BridgeEnvelope> RequestQueue::take_front() {
    if (queued_.empty()) return std::nullopt;
    BridgeEnvelope envelope = std::move(queued_.front());
    queued_.pop_front();
    if (!waiting_for_room_.empty()) {
        auto head = waiting_for_room_.begin();
        queued_.push_back(std::move(head->second));
        waiting_for_room_.erase(head);
    }
    return envelope;
}

std::optional<BridgeEnvelope> RequestQueue::try_receive() {
    std::lock_guard lock(mutex_);
    return take_front();
}

std::optional<BridgeEnvelope> RequestQueue::receive_or_notify(const std::shared_ptr<Parker>& waker) {
    std::lock_guard lock(mutex_);
    auto envelope = take_front();
    receiver_waker_ = envelope ? nullptr : waker;
    return envelope;
}

void RequestQueue::stop_notifying() {
    std::lock_guard lock(mutex_);
    receiver_waker_.reset();
}

void RequestQueue::close() {
    std::deque<BridgeEnvelope> discarded;
    std::map<Ticket, BridgeEnvelope> discarded_waiting;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        discarded.swap(queued_);
        discarded_waiting.swap(waiting_for_room_);
    }
}

// ---- PendingCall --------------------------------------------------------

Result<std::string> PendingCall::wait(Parker& parker) {
    if (early_failure_) return std::move(*early_failure_);
    ReplyReceiver::Status status;
    while ((status = reply_->status()) == ReplyReceiver::Status::waiting) parker.park();
    // Answered (or closed) while still in line for room: a host that has
    // detached will never free that room, so the request is not queued.
    if (waiting_ticket_) queue_->withdraw(*waiting_ticket_);
    if (status == ReplyReceiver::Status::closed) return fail("CallBridge response channel is closed");
    return reply_->take();
}

// ---- TokioCallBridge ----------------------------------------------------

TokioCallBridge::~TokioCallBridge() {
    queue_.close();
    std::unordered_map<std::string, ReplySender> open_slots;
    std::lock_guard lock(pending_mutex_);
    open_slots.swap(pending_responses_);
}

PendingCall TokioCallBridge::start_call(std::string_view server, std::string_view tool, std::string_view operation,
                                        std::string arguments, const std::shared_ptr<Parker>& waker) {
    const std::uint64_t number = next_request_id_.fetch_add(1, std::memory_order_relaxed);
    std::string request_id = "tool-call-" + std::to_string(number);
    auto [sender, receiver] = make_reply_slot(waker);
    {
        std::lock_guard lock(pending_mutex_);
        // A detach between the job's first look at the flag and this point
        // has already drained the map; registering now would wait forever.
        if (!attached()) return PendingCall(fail(std::string(detached_message)));
        pending_responses_.insert_or_assign(request_id, std::move(sender));
    }
    BridgeEnvelope envelope{request_id, std::string(server), std::string(tool), std::move(arguments),
                            std::string(operation)};
    RequestQueue::Ticket ticket = 0;
    switch (queue_.send(std::move(envelope), ticket)) {
        case RequestQueue::SendOutcome::queued:
            return PendingCall(std::move(receiver), std::nullopt, &queue_);
        case RequestQueue::SendOutcome::waiting_for_room:
            return PendingCall(std::move(receiver), ticket, &queue_);
        case RequestQueue::SendOutcome::closed:
            break;
    }
    std::lock_guard lock(pending_mutex_);
    pending_responses_.erase(request_id);
    return PendingCall(fail("CallBridge request channel is closed"));
}

std::optional<Result<std::string>> TokioCallBridge::receive_json(Runtime& runtime, std::chrono::seconds seconds,
                                                                 std::chrono::nanoseconds nanoseconds) {
    std::optional<BridgeEnvelope> envelope;
    {
        std::lock_guard receiving(receiver_mutex_);
        if (seconds.count() == 0 && nanoseconds.count() == 0) {
            envelope = queue_.try_receive();
        } else {
            envelope = runtime.block_on([&](TaskContext& context) {
                auto deadline = deadline_after(seconds, nanoseconds);
                std::optional<Runtime::TimerKey> timer;
                if (deadline) timer = context.runtime.add_timer(*deadline, context.parker);
                std::optional<BridgeEnvelope> received;
                while (!(received = queue_.receive_or_notify(context.parker))) {
                    if (!deadline) {
                        context.parker->park();
                        continue;
                    }
                    if (Clock::now() >= *deadline) break;
                    // The workers' timer wakes this thread at the deadline;
                    // the bounded park keeps the deadline even where no
                    // worker runs (a forked child).
                    context.parker->park_until(*deadline);
                }
                queue_.stop_notifying();
                if (timer) context.runtime.cancel_timer(*timer);
                return received;
            });
        }
    }
    if (!envelope) return std::nullopt;
    return write_bridge_request(*envelope);
}

bool TokioCallBridge::respond(std::string_view request_id, std::string payload) {
    std::lock_guard lock(pending_mutex_);
    auto entry = pending_responses_.find(std::string(request_id));
    if (entry == pending_responses_.end()) return false;
    ReplySender sender = std::move(entry->second);
    pending_responses_.erase(entry);
    return sender.send(std::move(payload));
}

void TokioCallBridge::cancel_pending(const std::string& message) {
    std::unordered_map<std::string, ReplySender> waiting;
    {
        std::lock_guard lock(pending_mutex_);
        waiting.swap(pending_responses_);
    }
    for (auto& [id, sender] : waiting) sender.send(message);
}

void TokioCallBridge::detach() {
    attached_.store(false, std::memory_order_release);
    std::string text = "{\"isError\":true,\"json\":null,\"text\":";
    json::write_string(detached_message, text);
    text += '}';
    cancel_pending(text);
}

}  // namespace quorvel
