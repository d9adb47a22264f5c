// Drives the engine core from many threads at once, with no interpreter:
// executing threads run queries with many tool fields, host threads receive
// and answer (or fail) in random order after random delays, one thread
// detaches and re-attaches at random moments, another builds and drops
// engines. Some executing threads and one host wait with an interrupt hook
// that a signalling thread fires at random, as Ctrl-C would; another thread
// forks while the hosts are receiving, and each child must be able to poll,
// receive and answer without hanging. Built with ThreadSanitizer by
// scripts/tsan.
//
// Invariants: every execute returns; no request id repeats; every field's
// value is its own request's answer, its own failure, the placeholder or the
// detached result, never another request's answer; no request of an
// interrupted query is received once the interruption has returned; every
// forked child exits cleanly.
//
//   bridge_stress [seconds] [--no-forks]
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "execution/engine.hpp"
#include "execution/execution.hpp"
#include "execution/response.hpp"

using namespace quorvel;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> failed{false};

void check(bool condition, const std::string& what) {
    if (!condition && !failed.exchange(true)) std::fprintf(stderr, "stress invariant broken: %s\n", what.c_str());
}

struct Shared {
    EngineRecord engine;
    std::atomic<bool> executing{true};
    std::atomic<std::uint64_t> next_field{0};
    std::atomic<std::uint64_t> queries{0}, answered{0}, failed_calls{0}, detaches{0};
    std::atomic<std::uint64_t> interrupted_queries{0}, interrupted_receives{0}, forks{0};
    std::mutex ids_mutex;  // guards ids and withdrawn
    std::set<std::string> ids;
    // Field numbers of interrupted queries, with the moment (on `clock`) at
    // which their interruption had returned.
    std::map<std::uint64_t, std::uint64_t> withdrawn;
    std::atomic<std::uint64_t> clock{0};
};

// Fires when its signaller has raised the flag since the last look, as a
// signal handler that raises would.
class FlagInterrupt final : public InterruptCheck {
public:
    bool interrupted() override { return raised.exchange(false); }
    std::atomic<bool> raised{false};
};

std::string query_of(std::size_t fields, Shared& shared, std::vector<std::uint64_t>& numbers) {
    std::string query = "{";
    for (std::size_t i = 0; i < fields; ++i) {
        std::uint64_t n = shared.next_field++;
        numbers.push_back(n);
        query += " f" + std::to_string(i) + ": s_t" + std::to_string(n % 10) + "(n: " + std::to_string(n) + ")";
    }
    return query + " }";
}

std::string text_of(json::Ref value) {
    std::string text;
    if (value) json::write(value, text);
    return text;
}

void check_field(json::Ref value, std::uint64_t n) {
    if (!value || !value.is_object()) {
        check(false, "unexpected field value: " + text_of(value));
        return;
    }
    if (json::Ref answer = value.find("n")) {
        check(answer.kind() == json::Kind::uint64 && answer.uint64() == n,
              "field holds another request's answer: " + text_of(value));
        return;
    }
    json::Ref is_error = value.find("isError");
    check(is_error && is_error.is_boolean() && is_error.boolean(), "unexpected field value: " + text_of(value));
    json::Ref text_value = value.find("text");
    const std::string text = text_value && text_value.is_string() ? std::string(text_value.string()) : "";
    bool own_failure = text == "failed " + std::to_string(n);
    bool placeholder = text.starts_with("SchemaEngine stub resolved s.t");
    check(own_failure || placeholder || text == "CallBridge is detached", "unexpected error text: " + text);
}

void execute_queries(Shared& shared, unsigned seed, std::chrono::steady_clock::time_point until,
                     InterruptCheck* interrupt) {
    std::mt19937 random(seed);
    while (std::chrono::steady_clock::now() < until && !failed) {
        std::size_t fields = random() % 20 == 0 ? 1100 + random() % 200 : 1 + random() % 40;
        std::vector<std::uint64_t> numbers;
        std::optional<std::string> outcome =
            execute_json(shared.engine, query_of(fields, shared, numbers), std::nullopt, interrupt);
        if (!outcome) {
            const std::uint64_t returned = shared.clock.fetch_add(1);
            std::lock_guard lock(shared.ids_mutex);
            for (std::uint64_t n : numbers) shared.withdrawn.emplace(n, returned);
            ++shared.interrupted_queries;
            continue;
        }
        const std::string& document = *outcome;
        Result<json::Document> parsed = json::read(document);
        check(parsed.ok() && parsed.value().root().find("errors").size() == 0,
              "query failed: " + document.substr(0, 200));
        if (!parsed) return;
        json::Ref data = parsed.value().root().find("data");
        for (std::size_t i = 0; i < numbers.size(); ++i) check_field(data.find("f" + std::to_string(i)), numbers[i]);
        ++shared.queries;
    }
}

void serve(Shared& shared, unsigned seed, InterruptCheck* interrupt) {
    std::mt19937 random(seed);
    std::vector<std::pair<std::string, std::uint64_t>> held;  // answered later, out of order
    auto answer = [&](const std::pair<std::string, std::uint64_t>& call) {
        if (random() % 7 == 0) {
            shared.engine.bridge->respond(call.first, tool_error_result("failed " + std::to_string(call.second)));
            ++shared.failed_calls;
        } else {
            shared.engine.bridge->respond(call.first, "{\"n\":" + std::to_string(call.second) + "}");
            ++shared.answered;
        }
    };
    while (shared.executing || !held.empty()) {
        const std::uint64_t started = shared.clock.fetch_add(1);
        auto outcome = shared.engine.bridge->receive_json(*shared.engine.runtime, 0s, interrupt ? 30ms : 2ms, interrupt);
        if (!outcome) {
            check(outcome.interrupted(), "a receive fails only when interrupted");
            ++shared.interrupted_receives;
            continue;
        }
        auto& received = outcome.value();
        if (received) {
            received->delivered();
            Result<json::Document> request = json::read(received->document());
            check(request.ok(), "request document is JSON");
            if (!request) continue;
            json::Ref root = request.value().root();
            std::string id(root.find("request_id").string());
            const std::uint64_t n = root.find("arguments").find("n").uint64();
            {
                std::lock_guard lock(shared.ids_mutex);
                check(shared.ids.insert(id).second, "request id repeated: " + id);
                auto withdrawn = shared.withdrawn.find(n);
                check(withdrawn == shared.withdrawn.end() || withdrawn->second > started,
                      "request of an interrupted query received after the interruption: " + id);
            }
            held.emplace_back(id, n);
        }
        if (!held.empty() && (held.size() > random() % 64 || !received)) {
            std::swap(held[random() % held.size()], held.back());
            answer(held.back());
            held.pop_back();
        }
        if (random() % 500 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    }
}

// In the child: the parent's receivers held the receiver lock and its jobs
// the pending-replies lock at any moment; none of that may block here.
int child_uses_engine(Shared& shared) {
    auto& bridge = *shared.engine.bridge;
    auto polled = bridge.receive_json(*shared.engine.runtime, 0s, 0ns);
    if (!polled || polled.value()) return 3;  // the parent's requests are not the child's
    auto timed = bridge.receive_json(*shared.engine.runtime, 0s, 1ms);
    if (!timed || timed.value()) return 4;
    if (bridge.respond("tool-call-1", "1")) return 5;
    bridge.detach();
    return 0;
}

void fork_while_receiving(Shared& shared, std::chrono::steady_clock::time_point until) {
    std::mt19937 random(11);
    while (std::chrono::steady_clock::now() < until && !failed) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 200));
        const pid_t child = fork();
        if (child == 0) _exit(child_uses_engine(shared));
        check(child > 0, "fork");
        if (child < 0) return;
        int status = 0;
        pid_t waited = 0;
        for (int tries = 0; tries < 500 && (waited = waitpid(child, &status, WNOHANG)) == 0; ++tries) {
            std::this_thread::sleep_for(10ms);
        }
        if (waited == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        check(waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0,
              "forked child hung or failed with status " + std::to_string(status));
        ++shared.forks;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
#ifdef __SANITIZE_ADDRESS__
    // GCC 12's AddressSanitizer allocator is not made safe for fork: a child
    // can wait for ever on an allocator lock that a parent thread held. The
    // ThreadSanitizer build runs the forks.
    const bool with_forks = false;
#else
    const bool with_forks = !(argc > 2 && std::string(argv[2]) == "--no-forks");
#endif
    auto built = from_catalogue_json(R"([{"server":"s","tools":[{"name":"t0"},{"name":"t1"},{"name":"t2"},)"
                                     R"({"name":"t3"},{"name":"t4","readOnly":false},{"name":"t5"},{"name":"t6"},)"
                                     R"({"name":"t7"},{"name":"t8"},{"name":"t9"}]}])");
    if (!built) return 2;
    Shared shared;
    shared.engine = std::move(built).value();
    shared.engine.bridge->attach();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

    // Two executing threads and one host wait with a hook that a signalling
    // thread fires at random moments.
    std::vector<FlagInterrupt> hooks(3);
    std::vector<std::thread> hosts, executors;
    hosts.emplace_back(serve, std::ref(shared), 100, nullptr);
    hosts.emplace_back(serve, std::ref(shared), 101, &hooks[2]);
    for (unsigned i = 0; i < 4; ++i) {
        executors.emplace_back(execute_queries, std::ref(shared), i, until, i < 2 ? &hooks[i] : nullptr);
    }
    std::thread signaller([&] {
        std::mt19937 random(5);
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 80));
            hooks[random() % hooks.size()].raised = true;
        }
    });
    std::thread forker;
    if (with_forks) forker = std::thread(fork_while_receiving, std::ref(shared), until);
    std::thread detacher([&] {
        std::mt19937 random(7);
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 200));
            shared.engine.bridge->detach();
            ++shared.detaches;
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
            shared.engine.bridge->attach();
        }
    });
    std::thread churn([&] {
        while (std::chrono::steady_clock::now() < until) {
            auto other = from_catalogue_json(R"({"server":"x","name":"y"})");
            check(other.ok(), "a second engine builds");
        }
    });
    for (auto& thread : executors) thread.join();
    signaller.join();
    if (forker.joinable()) forker.join();
    detacher.join();
    churn.join();
    shared.executing = false;
    shared.engine.bridge->detach();
    for (auto& thread : hosts) thread.join();

    std::printf("queries %llu (interrupted %llu), tool calls answered %llu, failed %llu, detaches %llu, "
                "receives interrupted %llu, forks %llu, distinct ids %zu: %s\n",
                static_cast<unsigned long long>(shared.queries.load()),
                static_cast<unsigned long long>(shared.interrupted_queries.load()),
                static_cast<unsigned long long>(shared.answered.load()),
                static_cast<unsigned long long>(shared.failed_calls.load()),
                static_cast<unsigned long long>(shared.detaches.load()),
                static_cast<unsigned long long>(shared.interrupted_receives.load()),
                static_cast<unsigned long long>(shared.forks.load()), shared.ids.size(), failed ? "FAILED" : "ok");
    return failed ? 1 : 0;
}
