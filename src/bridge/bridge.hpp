// The call bridge: tool jobs hand it requests and wait for replies; the
// host takes requests out as JSON text and answers them by request id.
// Text travels both ways: the caller writes the arguments, the host's reply
// comes back as it was given, and the caller reads it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
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

namespace quorvel {

// "tool-call-<number>".
std::string request_id_of(std::uint64_t number);

// The value of every tool field without a real result, and the reply that
// failing or detaching hands a waiting call:
// {"isError":true,"json":null,"text":...}, compact, its text the
// concatenation of `text_parts`.
void write_tool_error_result(std::initializer_list<std::string_view> text_parts, std::string& out);
std::string tool_error_result(std::string_view message);

// A request on its way to a host, written in full when its call started so
// that taking it out of the queue cannot fail.
struct BridgeEnvelope {
    std::uint64_t number;
    std::string document;
    ReplyWatch reply;  // a request nobody waits for any more is not handed out
};

// First-in first-out queue of envelopes with a fixed capacity. A sender
// that finds no room leaves its envelope in line behind the other waiting
// senders; each receive moves the head of that line into the queue while
// there is room, so waiting senders are served first come, first served
// without having to be woken, and a sender can still withdraw while it
// waits. Envelopes whose reply is no longer awaited are dropped when they
// reach the head.
class RequestQueue {
public:
    static constexpr std::size_t capacity = 1024;
    using Ticket = std::uint64_t;
    enum class SendOutcome { queued, waiting_for_room, closed };

    // Leaves the envelope untouched when it throws.
    SendOutcome send(BridgeEnvelope&& envelope, Ticket& ticket);
    // True when the envelope was still waiting for room and is now gone.
    bool withdraw(Ticket ticket);

    std::optional<BridgeEnvelope> try_receive();
    // As try_receive, but when nothing is there `waker` is unparked by the
    // next send.
    std::optional<BridgeEnvelope> receive_or_notify(const std::shared_ptr<Parker>& waker);
    void stop_notifying();

    // Drops every envelope whose reply is no longer awaited.
    void drop_settled();
    // Discards everything; later sends fail.
    void close();
    // In a forked child: the parent's envelopes belong to jobs the child
    // does not have. Given up without being freed.
    void forget_parent_threads() noexcept;

private:
    std::optional<BridgeEnvelope> take_front();
    void refill();

    std::mutex mutex_;  // guards every field below
    std::deque<BridgeEnvelope> queued_;
    std::map<Ticket, BridgeEnvelope> waiting_for_room_;
    Ticket next_ticket_ = 0;
    std::shared_ptr<Parker> receiver_waker_;
    bool closed_ = false;
};

class TokioCallBridge;

// A tool call that has been registered (and queued, or left waiting for
// room). wait() parks until the reply slot is answered or closed. Destroyed
// while still unanswered, it withdraws the call: a late answer is refused
// and the request is never handed to a host.
class PendingCall {
public:
    // A call that ended before it was queued.
    explicit PendingCall(Failure failure) : early_failure_(std::move(failure)) {}
    PendingCall(TokioCallBridge& bridge, std::uint64_t number, ReplyReceiver reply)
        : reply_(std::move(reply)), bridge_(&bridge), number_(number) {}
    PendingCall(PendingCall&& other) noexcept;
    PendingCall& operator=(PendingCall&&) = delete;
    ~PendingCall();

    // The reply text as the host gave it, "CallBridge response channel is
    // closed", the undelivered failure, or (only with `interrupt`, which is
    // asked every interrupt_check_interval) the interrupted failure.
    Result<std::string> wait(Parker& parker, InterruptCheck* interrupt = nullptr);

private:
    friend class TokioCallBridge;
    void withdraw() noexcept;

    std::optional<Failure> early_failure_;
    std::optional<ReplyReceiver> reply_;
    TokioCallBridge* bridge_ = nullptr;  // set while the call may be outstanding
    std::uint64_t number_ = 0;
    std::optional<RequestQueue::Ticket> waiting_ticket_;
};

// A request taken out of the queue. Until delivered() is called, dropping it
// fails its call with the undelivered result, so a request lost on its way
// to the host (memory ran out making the host's string) never leaves its job
// waiting.
class ReceivedRequest {
public:
    ReceivedRequest(TokioCallBridge& bridge, BridgeEnvelope&& envelope) noexcept
        : bridge_(&bridge), number_(envelope.number), document_(std::move(envelope.document)) {}
    ReceivedRequest(ReceivedRequest&& other) noexcept;
    ReceivedRequest& operator=(ReceivedRequest&&) = delete;
    ~ReceivedRequest();

    const std::string& document() const { return document_; }
    void delivered() noexcept { bridge_ = nullptr; }

private:
    TokioCallBridge* bridge_;
    std::uint64_t number_;
    std::string document_;
};

class TokioCallBridge {
public:
    TokioCallBridge();
    ~TokioCallBridge();
    TokioCallBridge(const TokioCallBridge&) = delete;
    TokioCallBridge& operator=(const TokioCallBridge&) = delete;

    bool attached() const { return attached_.load(std::memory_order_acquire); }
    void attach() { attached_.store(true, std::memory_order_release); }
    // Clears the flag, answers every waiting request with the "CallBridge is
    // detached" tool error result and drops their requests from the queue.
    void detach();

    // Takes an id, registers the reply slot and queues the request (or
    // leaves it waiting for room). The waiting job is unparked through
    // `waker` when its reply arrives.
    PendingCall start_call(std::string_view server, std::string_view tool, std::string_view operation,
                           std::string arguments_json, const std::shared_ptr<Parker>& waker);

    // The next request, or nothing when none arrived in time; the time runs
    // from the moment this receiver holds the receiver lock, which another
    // receiver may hold first. A zero timeout polls without entering the
    // runtime. With `interrupt`, the wait gives up the receiver lock every
    // interrupt_check_interval to ask the hook, and ends with the interrupted
    // failure when it says so.
    Result<std::optional<ReceivedRequest>> receive_json(Runtime& runtime, std::chrono::seconds seconds,
                                                   std::chrono::nanoseconds nanoseconds,
                                                   InterruptCheck* interrupt = nullptr);

    // False for an unknown, already answered or withdrawn id. Allocates
    // nothing.
    bool respond(std::string_view request_id, std::string payload);

private:
    friend class PendingCall;
    friend class ReceivedRequest;
    friend struct BridgeRegistry;

    // In a forked child, before any other code runs there.
    void forget_parent_threads() noexcept;
    using PendingReplies = std::unordered_map<std::uint64_t, ReplySender>;

    std::optional<ReplySender> take_sender(std::uint64_t number) noexcept;
    void fail_undelivered(std::uint64_t number) noexcept;
    // With the receiver lock held.
    std::optional<BridgeEnvelope> wait_for_request(TaskContext& context, std::optional<Clock::time_point> until);
    void cancel_pending(const std::string& payload);

    RequestQueue queue_;
    std::mutex receiver_mutex_;  // held across one whole receive (one interval of an interruptible one)
    std::mutex pending_mutex_;   // guards pending_responses_
    PendingReplies pending_responses_;
    std::atomic<std::uint64_t> next_request_id_{1};
    std::atomic<bool> attached_{false};
    // Every bridge of the process is on one list, so a forked child can
    // find them all.
    TokioCallBridge* previous_ = nullptr;
    TokioCallBridge* next_ = nullptr;
};

}  // namespace quorvel
