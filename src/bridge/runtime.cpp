#include "bridge/runtime.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <system_error>

namespace quorvel {

namespace {

// Counts the forks of this process, so a runtime can tell that it has been
// inherited by a child without a system call on every timed receive.
std::atomic<std::uint64_t> forks_seen{0};

void count_fork_in_child() { forks_seen.fetch_add(1, std::memory_order_relaxed); }


constexpr auto spin_time = std::chrono::microseconds(20);

inline void relax_cpu() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

std::uint64_t fork_generation() {
    static const bool counting = (pthread_atfork(nullptr, nullptr, count_fork_in_child), true);
    (void)counting;
    return forks_seen.load(std::memory_order_relaxed);
}

bool Parker::consume_notification() {
    int expected = notified;
    return state_.compare_exchange_strong(expected, empty, std::memory_order_acquire);
}

void Parker::park() { wait(std::nullopt); }

void Parker::park_until(Clock::time_point deadline) { wait(deadline); }

void Parker::wait(const std::optional<Clock::time_point>& deadline) {
    const auto spin_until = Clock::now() + spin_time;
    for (unsigned round = 1;; ++round) {
        if (consume_notification()) return;
        relax_cpu();
        if (round % 64 == 0 && Clock::now() >= spin_until) break;
    }
    std::unique_lock lock(mutex_);
    int expected = empty;
    if (!state_.compare_exchange_strong(expected, sleeping, std::memory_order_acq_rel)) {
        state_.exchange(empty, std::memory_order_acquire);  // notified while we took the lock
        return;
    }
    for (;;) {
        bool timed_out = false;
        if (deadline) {
            timed_out = condition_.wait_until(lock, *deadline) == std::cv_status::timeout;
        } else {
            condition_.wait(lock);
        }
        if (consume_notification()) return;
        if (timed_out) {
            expected = sleeping;
            if (state_.compare_exchange_strong(expected, empty, std::memory_order_acq_rel)) return;
            state_.exchange(empty, std::memory_order_acquire);  // an unpark raced with the timeout
            return;
        }
    }
}

void Parker::unpark() {
    if (state_.exchange(notified, std::memory_order_release) == sleeping) {
        // The sleeper set `sleeping` under the mutex and released it only by
        // starting to wait, so taking the mutex here means it is waiting.
        { std::lock_guard lock(mutex_); }
        condition_.notify_one();
    }
}

std::optional<Clock::time_point> deadline_after(std::chrono::seconds seconds, std::chrono::nanoseconds nanoseconds) {
    using std::chrono::duration_cast;
    const auto now = Clock::now();
    const auto headroom = Clock::time_point::max() - now;  // in the clock's own ticks
    const auto headroom_seconds = duration_cast<std::chrono::seconds>(headroom);
    if (seconds >= headroom_seconds) return std::nullopt;
    auto remaining = headroom - duration_cast<Clock::duration>(seconds);
    if (duration_cast<Clock::duration>(nanoseconds) >= remaining) return std::nullopt;
    return now + duration_cast<Clock::duration>(seconds) + duration_cast<Clock::duration>(nanoseconds);
}

namespace {

std::optional<double> cgroup_v2_limit(const std::string& directory) {
    std::ifstream file(directory + "/cpu.max");
    std::string quota;
    double period = 0;
    if (!(file >> quota >> period) || quota == "max" || period <= 0) return std::nullopt;
    return std::stod(quota) / period;
}

std::optional<double> cgroup_v1_limit(const std::string& directory) {
    std::ifstream quota_file(directory + "/cpu.cfs_quota_us");
    std::ifstream period_file(directory + "/cpu.cfs_period_us");
    double quota = 0, period = 0;
    if (!(quota_file >> quota) || !(period_file >> period) || quota <= 0 || period <= 0) return std::nullopt;
    return quota / period;
}

// The lowest quota on the way from the process's cgroup up to the root.
std::optional<double> cgroup_cpu_limit() {
    std::ifstream membership("/proc/self/cgroup");
    std::string line;
    std::optional<double> lowest;
    auto consider = [&](std::optional<double> limit) {
        if (limit && (!lowest || *limit < *lowest)) lowest = limit;
    };
    while (std::getline(membership, line)) {
        // "hierarchy-id:controllers:path"
        auto first = line.find(':');
        auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        bool v2 = controllers.empty();
        bool v1_cpu = !v2 && (controllers == "cpu" || controllers.find("cpu,") != std::string::npos ||
                              controllers.ends_with(",cpu"));
        if (!v2 && !v1_cpu) continue;
        std::string root = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/cpu";
        for (std::string dir = path;; dir = dir.substr(0, dir.rfind('/'))) {
            consider(v2 ? cgroup_v2_limit(root + dir) : cgroup_v1_limit(root + dir));
            if (dir.empty() || dir == "/") break;
        }
        consider(v2 ? cgroup_v2_limit(root) : cgroup_v1_limit(root));
    }
    return lowest;
}

// Worker threads for this process: the CPU affinity mask, lowered by a
// control-group CPU quota when there is one; at least 1.
std::size_t available_cpu_count() {
    std::size_t count = 0;
    cpu_set_t mask;
    if (sched_getaffinity(0, sizeof(mask), &mask) == 0) count = static_cast<std::size_t>(CPU_COUNT(&mask));
    if (count == 0) count = std::max(1u, std::thread::hardware_concurrency());
    if (auto quota = cgroup_cpu_limit()) {
        auto from_quota = static_cast<std::size_t>(std::ceil(*quota));
        if (from_quota < count) count = from_quota;
    }
    return count == 0 ? 1 : count;
}

}  // namespace

Result<std::shared_ptr<Runtime>> Runtime::build() {
    // A forked child inherits the runtime without its workers: joining them,
    // or destroying the condition they wait on, would block for ever there,
    // so the child leaves the runtime alone instead of destroying it.
    std::shared_ptr<Runtime> runtime(new Runtime(), [](Runtime* inherited) {
        if (inherited->in_owner_process()) delete inherited;
    });
    runtime->owner_generation_ = fork_generation();
    const std::size_t count = available_cpu_count();
    try {
        runtime->workers_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            runtime->workers_.emplace_back([raw = runtime.get()] { raw->drive_timers(); });
            pthread_setname_np(runtime->workers_.back().native_handle(), "quorvel-graphql");
        }
    } catch (const std::system_error& error) {
        runtime->stop_and_join();
        return fail_internal(std::string("cannot start the runtime's worker threads: ") + error.what());
    }
    return runtime;
}

Runtime::~Runtime() { stop_and_join(); }

bool Runtime::in_owner_process() const { return fork_generation() == owner_generation_; }

void Runtime::stop_and_join() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    timers_changed_.notify_all();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    workers_.clear();
}

Runtime::TimerKey Runtime::add_timer(Clock::time_point deadline, std::shared_ptr<Parker> parker) {
    // In a forked child no worker would fire the timer, and one may have held
    // mutex_ at the moment of the fork; the caller's bounded park keeps the
    // deadline there.
    if (!in_owner_process()) return {deadline, 0};
    std::unique_lock lock(mutex_);
    TimerKey key{deadline, next_timer_id_++};
    timers_.emplace(key, std::move(parker));
    // A worker already asleep until an earlier (or equal) moment will see
    // this timer when it wakes; waking one now would only cost a context
    // switch per timed receive.
    bool wake_a_worker = !armed_ || deadline < *armed_;
    lock.unlock();
    if (wake_a_worker) timers_changed_.notify_one();
    return key;
}

void Runtime::cancel_timer(const TimerKey& key) {
    if (!in_owner_process()) return;
    std::lock_guard lock(mutex_);
    timers_.erase(key);
}

// Every worker runs this. One of them sleeps until the earliest deadline
// (armed_ records until when); the others wait for the timer set to change.
void Runtime::drive_timers() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (timers_.empty()) {
            timers_changed_.wait(lock);
            continue;
        }
        auto earliest = timers_.begin();
        // A copy: the entry may be cancelled (and freed) while we wait.
        const Clock::time_point deadline = earliest->first.first;
        if (Clock::now() < deadline) {
            if (armed_ && *armed_ <= deadline) {
                timers_changed_.wait(lock);
                continue;
            }
            armed_ = deadline;
            timers_changed_.wait_until(lock, deadline);
            if (armed_ == deadline) armed_.reset();
            continue;
        }
        std::shared_ptr<Parker> parker = std::move(earliest->second);
        timers_.erase(earliest);
        lock.unlock();
        parker->unpark();
        lock.lock();
    }
}

}  // namespace quorvel
