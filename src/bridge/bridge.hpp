// The call bridge: tool jobs hand it requests and wait for replies; the
// host takes requests out as JSON text and answers them by request id.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bridge/reply_slot.hpp"
#include "bridge/runtime.hpp"
#include "common/result.hpp"
#include "json/json.hpp"

namespace quorvel {

struct BridgeEnvelope {
    std::string request_id;
    std::string server;
    std::string tool;
    std::string arguments;  // compact JSON text
    std::string operation;
};

// The bridge request document: five members in this fixed order.
Result<std::string> write_bridge_request(const BridgeEnvelope& envelope);

// First-in first-out queue of envelopes with a fixed capacity. A sender
// that finds no room leaves its envelope in line behind the other waiting
// senders; each receive that frees a place moves the head of that line into
// the queue, so waiting senders are served first come, first served without
// having to be woken, and a sender can still withdraw while it waits.
class RequestQueue {
public:
    static constexpr std::size_t capacity = 1024;
    using Ticket = std::uint64_t;
    enum class SendOutcome { queued, waiting_for_room, closed };

    SendOutcome send(BridgeEnvelope&& envelope, Ticket& ticket);
    // True when the envelope was still waiting for room and is now gone.
    bool withdraw(Ticket ticket);

    std::optional<BridgeEnvelope> try_receive();
    // As try_receive, but when nothing is there `waker` is unparked by the
    // next send.
    std::optional<BridgeEnvelope> receive_or_notify(const std::shared_ptr<Parker>& waker);
    void stop_notifying();

    // Discards everything; later sends fail.
    void close();

private:
    std::optional<BridgeEnvelope> take_front();

    std::mutex mutex_;  // guards every field below
    std::deque<BridgeEnvelope> queued_;
    std::map<Ticket, BridgeEnvelope> waiting_for_room_;
    Ticket next_ticket_ = 0;
    std::shared_ptr<Parker> receiver_waker_;
    bool closed_ = false;
};

// A tool call that has been registered (and queued, or left waiting for
// room). wait() parks until the reply slot is answered or closed.
class PendingCall {
public:
    // A call that ended before it was queued.
    explicit PendingCall(Failure failure) : early_failure_(std::move(failure)) {}
    PendingCall(ReplyReceiver reply, std::optional<RequestQueue::Ticket> waiting_ticket, RequestQueue* queue)
        : reply_(std::move(reply)), waiting_ticket_(waiting_ticket), queue_(queue) {}

    // The reply's text, which the caller reads.
    Result<std::string> wait(Parker& parker);

private:
    std::optional<Failure> early_failure_;
    std::optional<ReplyReceiver> reply_;
    std::optional<RequestQueue::Ticket> waiting_ticket_;
    RequestQueue* queue_ = nullptr;
};

class TokioCallBridge {
public:
    TokioCallBridge() = default;
    ~TokioCallBridge();
    TokioCallBridge(const TokioCallBridge&) = delete;
    TokioCallBridge& operator=(const TokioCallBridge&) = delete;

    bool attached() const { return attached_.load(std::memory_order_acquire); }
    void attach() { attached_.store(true, std::memory_order_release); }
    // Clears the flag and answers every waiting request with the
    // "CallBridge is detached" tool error result; the queue is left alone.
    void detach();

    // Takes an id, registers the reply slot and queues the request (or
    // leaves it waiting for room). The waiting job is unparked through
    // `waker` when its reply arrives.
    PendingCall start_call(std::string_view server, std::string_view tool, std::string_view operation,
                           std::string arguments_json, const std::shared_ptr<Parker>& waker);

    // The next bridge request document, or nothing when none arrived in
    // time. A zero timeout polls without entering the runtime.
    std::optional<Result<std::string>> receive_json(Runtime& runtime, std::chrono::seconds seconds,
                                                    std::chrono::nanoseconds nanoseconds);

    bool respond(std::string_view request_id, std::string payload);
    void cancel_pending(const std::string& message);

private:
    RequestQueue queue_;
    std::mutex receiver_mutex_;  // held across one whole receive
    std::mutex pending_mutex_;   // guards pending_responses_
    std::unordered_map<std::string, ReplySender> pending_responses_;
    std::atomic<std::uint64_t> next_request_id_{1};
    std::atomic<bool> attached_{false};
};

inline constexpr std::string_view detached_message = "CallBridge is detached";

}  // namespace quorvel
