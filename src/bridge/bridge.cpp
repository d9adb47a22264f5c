#include "bridge/bridge.hpp"

#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <new>
#include <utility>

#include "json/json.hpp"

namespace quorvel {

namespace {

constexpr std::string_view request_id_prefix = "tool-call-";
constexpr std::string_view detached_message = "CallBridge is detached";
constexpr std::string_view undelivered_message = "CallBridge could not deliver the request to the host: memory ran out";

// Undoes what a scope started (a timer, a notification), on every way out.
template <class Undo>
class ScopeExit {
public:
    explicit ScopeExit(Undo undo) : undo_(std::move(undo)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { undo_(); }

private:
    Undo undo_;
};

// "tool-call-<number>" back to its number: nothing for any other text.
std::optional<std::uint64_t> request_number(std::string_view request_id) {
    if (!request_id.starts_with(request_id_prefix)) return std::nullopt;
    std::string_view digits = request_id.substr(request_id_prefix.size());
    // Only the spelling request_id_of gives: no sign, no leading zero.
    if (digits.empty() || digits.front() == '0') return std::nullopt;
    std::uint64_t number = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return number;
}

std::string write_bridge_request(std::string_view request_id, std::string_view server, std::string_view tool,
                                 std::string_view arguments_json, std::string_view operation) {
    std::string text;
    text.reserve(80 + request_id.size() + server.size() + tool.size() + arguments_json.size() + operation.size());
    text += "{\"request_id\":";
    json::write_string(request_id, text);
    text += ",\"server\":";
    json::write_string(server, text);
    text += ",\"tool\":";
    json::write_string(tool, text);
    text += ",\"arguments\":";
    text += arguments_json;
    text += ",\"operation\":";
    json::write_string(operation, text);
    text += '}';
    return text;
}

}  // namespace

std::string request_id_of(std::uint64_t number) { return std::string(request_id_prefix) + std::to_string(number); }

void write_tool_error_result(std::initializer_list<std::string_view> text_parts, std::string& out) {
    out += "{\"isError\":true,\"json\":null,\"text\":";
    json::write_string_of(text_parts, out);
    out.push_back('}');
}

std::string tool_error_result(std::string_view message) {
    std::string text;
    write_tool_error_result({message}, text);
    return text;
}

// ---- RequestQueue -------------------------------------------------------

RequestQueue::SendOutcome RequestQueue::send(BridgeEnvelope&& envelope, Ticket& ticket) {
    std::shared_ptr<Parker> receiver;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return SendOutcome::closed;
        if (!waiting_for_room_.empty() || queued_.size() >= capacity) {
            waiting_for_room_.emplace(next_ticket_, std::move(envelope));
            ticket = next_ticket_++;
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

// A push that cannot get memory throws with everything still in place, so
// the queue refills before it gives an envelope away, never after.
void RequestQueue::refill() {
    while (queued_.size() < capacity && !waiting_for_room_.empty()) {
        auto head = waiting_for_room_.begin();
        queued_.push_back(std::move(head->second));
        waiting_for_room_.erase(head);
    }
}

std::optional<BridgeEnvelope> RequestQueue::take_front() {
    for (;;) {
        refill();
        if (queued_.empty()) return std::nullopt;
        BridgeEnvelope envelope = std::move(queued_.front());
        queued_.pop_front();
        if (envelope.reply.awaited()) return envelope;
    }
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

void RequestQueue::drop_settled() {
    std::lock_guard lock(mutex_);
    std::erase_if(queued_, [](const BridgeEnvelope& envelope) { return !envelope.reply.awaited(); });
    std::erase_if(waiting_for_room_, [](const auto& entry) { return !entry.second.reply.awaited(); });
}

void RequestQueue::close() {
    std::deque<BridgeEnvelope> discarded;
    std::map<Ticket, BridgeEnvelope> discarded_waiting;
    std::lock_guard lock(mutex_);
    closed_ = true;
    discarded.swap(queued_);
    discarded_waiting.swap(waiting_for_room_);
}

void RequestQueue::forget_parent_threads() noexcept {
    new (&mutex_) std::mutex();
    new (&queued_) std::deque<BridgeEnvelope>();
    new (&waiting_for_room_) std::map<Ticket, BridgeEnvelope>();
    new (&receiver_waker_) std::shared_ptr<Parker>();
}

// ---- PendingCall --------------------------------------------------------

PendingCall::PendingCall(PendingCall&& other) noexcept
    : early_failure_(std::move(other.early_failure_)),
      reply_(std::move(other.reply_)),
      bridge_(std::exchange(other.bridge_, nullptr)),
      number_(other.number_),
      waiting_ticket_(other.waiting_ticket_) {}

PendingCall::~PendingCall() {
    if (bridge_) withdraw();
}

void PendingCall::withdraw() noexcept {
    // The receiving end goes first, which settles the slot: the request is
    // then dropped wherever it waits in the queue, and closing the sending
    // end below wakes nobody.
    reply_.reset();
    std::optional<ReplySender> sender = bridge_->take_sender(number_);
    if (waiting_ticket_) bridge_->queue_.withdraw(*waiting_ticket_);
    bridge_ = nullptr;
}

Result<std::string> PendingCall::wait(Parker& parker, InterruptCheck* interrupt) {
    if (early_failure_) return std::move(*early_failure_);
    ReplyReceiver::Status status;
    while ((status = reply_->status()) == ReplyReceiver::Status::waiting) {
        if (interrupt == nullptr) {
            parker.park();
            continue;
        }
        parker.park_until(Clock::now() + interrupt_check_interval);
        if (reply_->status() == ReplyReceiver::Status::waiting && interrupt->interrupted()) {
            return fail_interrupted("interrupted while waiting for a tool call");
        }
    }
    // Answered (or closed) while still in line for room: a host that has
    // detached will never free that room, so the request is not queued.
    if (waiting_ticket_) bridge_->queue_.withdraw(*waiting_ticket_);
    bridge_ = nullptr;
    switch (status) {
        case ReplyReceiver::Status::answered:
            return reply_->take();
        case ReplyReceiver::Status::undelivered:
            return fail(std::string(undelivered_message));
        default:
            return fail("CallBridge response channel is closed");
    }
}

// ---- ReceivedRequest ----------------------------------------------------

ReceivedRequest::ReceivedRequest(ReceivedRequest&& other) noexcept
    : bridge_(std::exchange(other.bridge_, nullptr)),
      number_(other.number_),
      document_(std::move(other.document_)) {}

ReceivedRequest::~ReceivedRequest() {
    if (bridge_) bridge_->fail_undelivered(number_);
}

// ---- the process's bridges, for a forked child --------------------------

struct BridgeRegistry {
    std::mutex mutex;  // guards the list; held across a fork
    TokioCallBridge* first = nullptr;

    static BridgeRegistry& instance() {
        static BridgeRegistry* registry = [] {
            auto* made = new BridgeRegistry();  // never freed: a fork may come at any time
            pthread_atfork(lock_for_fork, unlock_in_parent, reset_in_child);
            return made;
        }();
        return *registry;
    }

    void add(TokioCallBridge& bridge) {
        std::lock_guard lock(mutex);
        bridge.next_ = first;
        if (first) first->previous_ = &bridge;
        first = &bridge;
    }

    void remove(TokioCallBridge& bridge) {
        std::lock_guard lock(mutex);
        if (bridge.previous_) bridge.previous_->next_ = bridge.next_;
        if (bridge.next_) bridge.next_->previous_ = bridge.previous_;
        if (first == &bridge) first = bridge.next_;
    }

    static void lock_for_fork() { instance().mutex.lock(); }
    static void unlock_in_parent() { instance().mutex.unlock(); }
    // Runs in the child before anything else does, with one thread: the
    // only moment at which the bridges' locks can be remade safely.
    static void reset_in_child() {
        BridgeRegistry& registry = instance();
        for (TokioCallBridge* bridge = registry.first; bridge; bridge = bridge->next_) bridge->forget_parent_threads();
        registry.mutex.unlock();
    }
};

// ---- TokioCallBridge ----------------------------------------------------

TokioCallBridge::TokioCallBridge() { BridgeRegistry::instance().add(*this); }

TokioCallBridge::~TokioCallBridge() {
    BridgeRegistry::instance().remove(*this);
    queue_.close();
    PendingReplies open_slots;
    std::lock_guard lock(pending_mutex_);
    open_slots.swap(pending_responses_);
}

void TokioCallBridge::forget_parent_threads() noexcept {
    // A receiver or job of the parent may have held any of these locks at
    // the fork; the child does not have those threads, so the locks would
    // stay held for ever. The parent's reply slots are given up unfreed:
    // freeing them would take their locks.
    new (&receiver_mutex_) std::mutex();
    new (&pending_mutex_) std::mutex();
    new (&pending_responses_) PendingReplies();
    queue_.forget_parent_threads();
}

PendingCall TokioCallBridge::start_call(std::string_view server, std::string_view tool, std::string_view operation,
                                        std::string arguments_json, const std::shared_ptr<Parker>& waker) {
    const std::uint64_t number = next_request_id_.fetch_add(1, std::memory_order_relaxed);
    std::string document = write_bridge_request(request_id_of(number), server, tool, arguments_json, operation);
    auto [sender, receiver] = make_reply_slot(waker);
    BridgeEnvelope envelope{number, std::move(document), sender.watch()};
    {
        std::lock_guard lock(pending_mutex_);
        // A detach between the job's first look at the flag and this point
        // has already drained the map; registering now would wait forever.
        if (!attached()) return PendingCall(fail(std::string(detached_message)));
        pending_responses_.emplace(number, std::move(sender));
    }
    // Registered: from here on, a throw unwinds through `call`, which
    // withdraws the registration.
    PendingCall call(*this, number, std::move(receiver));
    RequestQueue::Ticket ticket = 0;
    switch (queue_.send(std::move(envelope), ticket)) {
        case RequestQueue::SendOutcome::queued:
            return call;
        case RequestQueue::SendOutcome::waiting_for_room:
            call.waiting_ticket_ = ticket;
            return call;
        case RequestQueue::SendOutcome::closed:
            break;
    }
    call.withdraw();
    return PendingCall(fail("CallBridge request channel is closed"));
}

std::optional<BridgeEnvelope> TokioCallBridge::wait_for_request(TaskContext& context,
                                                                std::optional<Clock::time_point> until) {
    std::optional<Runtime::TimerKey> timer;
    if (until) timer = context.runtime.add_timer(*until, context.parker);
    ScopeExit undo([&] {
        queue_.stop_notifying();
        if (timer) context.runtime.cancel_timer(*timer);
    });
    std::optional<BridgeEnvelope> received;
    while (!(received = queue_.receive_or_notify(context.parker))) {
        if (!until) {
            context.parker->park();
            continue;
        }
        if (Clock::now() >= *until) break;
        // The workers' timer wakes this thread at the deadline; the bounded
        // park keeps the deadline even where no worker runs (a forked child).
        context.parker->park_until(*until);
    }
    return received;
}

Result<std::optional<ReceivedRequest>> TokioCallBridge::receive_json(Runtime& runtime, std::chrono::seconds seconds,
                                                                std::chrono::nanoseconds nanoseconds,
                                                                InterruptCheck* interrupt) {
    using Received = std::optional<ReceivedRequest>;
    auto received = [this](std::optional<BridgeEnvelope>&& envelope) {
        return envelope ? Received(std::in_place, *this, std::move(*envelope)) : Received();
    };
    if (seconds.count() == 0 && nanoseconds.count() == 0) {
        std::lock_guard receiving(receiver_mutex_);
        return received(queue_.try_receive());
    }
    return runtime.block_on(
        [&](TaskContext& context) -> Result<Received> {
            std::unique_lock receiving(receiver_mutex_);
            // Receivers are served one after the other, so a receiver's own
            // timeout starts only once the one before it has finished.
            const std::optional<Clock::time_point> deadline = deadline_after(seconds, nanoseconds);
            if (!context.interrupt) return received(wait_for_request(context, deadline));
            for (;;) {
                Clock::time_point until = Clock::now() + interrupt_check_interval;
                if (deadline) until = std::min(until, *deadline);
                if (auto envelope = wait_for_request(context, until)) return received(std::move(envelope));
                if (deadline && Clock::now() >= *deadline) return Received();
                // Never asked with the receiver lock held: the hook waits for
                // the interpreter lock, and no lock of the engine may be held
                // across that wait.
                receiving.unlock();
                if (context.interrupt->interrupted()) {
                    return fail_interrupted("interrupted while waiting for a tool call request");
                }
                receiving.lock();
            }
        },
        interrupt);
}

std::optional<ReplySender> TokioCallBridge::take_sender(std::uint64_t number) noexcept {
    std::lock_guard lock(pending_mutex_);
    auto entry = pending_responses_.find(number);
    if (entry == pending_responses_.end()) return std::nullopt;
    std::optional<ReplySender> sender(std::move(entry->second));
    pending_responses_.erase(entry);
    return sender;
}

bool TokioCallBridge::respond(std::string_view request_id, std::string payload) {
    std::optional<std::uint64_t> number = request_number(request_id);
    if (!number) return false;
    // The job is woken after the pending lock is released: it would
    // otherwise run straight into a lock that this thread still holds.
    std::optional<ReplySender> sender = take_sender(*number);
    return sender && sender->send(std::move(payload));
}

void TokioCallBridge::fail_undelivered(std::uint64_t number) noexcept {
    if (std::optional<ReplySender> sender = take_sender(number)) sender->close_undelivered();
}

void TokioCallBridge::cancel_pending(const std::string& payload) {
    PendingReplies waiting;
    {
        std::lock_guard lock(pending_mutex_);
        waiting.swap(pending_responses_);
    }
    for (auto& [number, sender] : waiting) {
        std::string copy;
        try {
            copy = payload;
        } catch (const std::bad_alloc&) {
            continue;  // the sender's destructor closes the slot: the job is released all the same
        }
        sender.send(std::move(copy));
    }
}

void TokioCallBridge::detach() {
    const std::string payload = tool_error_result(detached_message);
    attached_.store(false, std::memory_order_release);
    cancel_pending(payload);
    queue_.drop_settled();
}

}  // namespace quorvel
