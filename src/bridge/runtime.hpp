// The engine's asynchronous runtime: a pool of worker threads that drive a
// timer, and block-on, which runs one computation to completion on the
// calling thread. Computations never move to the workers; they wait by
// parking their own thread until a reply, a freed queue place, an arriving
// request or a timer deadline unparks it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "common/result.hpp"

namespace quorvel {

using Clock = std::chrono::steady_clock;

// Parks one thread until another unparks it. An unpark that comes before the
// park is remembered, so a wake-up is never lost between checking a
// condition and parking. A park spins briefly before it sleeps: on a
// request/reply ping-pong the answer often comes within microseconds, and
// waking a sleeping thread costs far more than that.
class Parker {
public:
    void park();
    // As park, but returns by itself once `deadline` has passed.
    void park_until(Clock::time_point deadline);
    void unpark();

private:
    void wait(const std::optional<Clock::time_point>& deadline);
    bool consume_notification();

    static constexpr int empty = 0;
    static constexpr int notified = 1;
    static constexpr int sleeping = -1;
    std::atomic<int> state_{empty};
    std::mutex mutex_;  // held while a parked thread goes to sleep
    std::condition_variable condition_;
};

class Runtime;

// Asked between bounded waits whether the caller wants its wait abandoned
// (the binding runs the interpreter's signal handlers here). Called with no
// lock of the engine held.
class InterruptCheck {
public:
    virtual bool interrupted() = 0;

protected:
    ~InterruptCheck() = default;
};

// How long a wait with an interrupt hook sleeps before asking it again: short
// enough that Ctrl-C feels immediate, long enough to cost nothing measurable.
inline constexpr auto interrupt_check_interval = std::chrono::milliseconds(20);

// What a computation run by block_on may use while it runs.
struct TaskContext {
    Runtime& runtime;
    const std::shared_ptr<Parker>& parker;
    InterruptCheck* interrupt = nullptr;  // none: waits are never abandoned
};

// Deadline `timeout` from now, or nothing when that lies beyond the clock's
// range (no time limit).
std::optional<Clock::time_point> deadline_after(std::chrono::seconds seconds, std::chrono::nanoseconds nanoseconds);

class Runtime {
public:
    // Starts one worker thread per CPU available to the process.
    static Result<std::shared_ptr<Runtime>> build();
    // Stops the workers and waits until every one of them has exited.
    ~Runtime();

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    template <class Computation>
    auto block_on(Computation&& computation, InterruptCheck* interrupt = nullptr) {
        auto parker = std::make_shared<Parker>();
        TaskContext context{*this, parker, interrupt};
        return std::forward<Computation>(computation)(context);
    }

    // A timer unparks `parker` once `deadline` has passed, unless cancelled.
    using TimerKey = std::pair<Clock::time_point, std::uint64_t>;
    TimerKey add_timer(Clock::time_point deadline, std::shared_ptr<Parker> parker);
    void cancel_timer(const TimerKey& key);

private:
    Runtime() = default;
    void drive_timers();
    void stop_and_join();

    std::mutex mutex_;  // guards timers_, next_timer_id_, armed_, stopping_
    std::condition_variable timers_changed_;
    std::map<TimerKey, std::shared_ptr<Parker>> timers_;
    std::uint64_t next_timer_id_ = 0;
    std::optional<Clock::time_point> armed_;  // when the sleeping timer worker wakes
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    // Worker threads exist only in the process that started them; a forked
    // child inherits this object without them.
    bool in_owner_process() const;
    std::uint64_t owner_generation_ = 0;
};

// How many forks lie between this process and the one that loaded the
// engine: a change tells an object that it now lives in a forked child.
std::uint64_t fork_generation();

}  // namespace quorvel
