// Drives the engine core from many threads at once, with no interpreter:
// executing threads run queries with many tool fields, host threads receive
// and answer (or fail) in random order after random delays, one thread
// detaches and re-attaches at random moments, another builds and drops
// engines. Built with ThreadSanitizer by scripts/tsan.
//
// Invariants: every execute returns; no request id repeats; every field's
// value is its own request's answer, its own failure, the placeholder or the
// detached result, never another request's answer.
//
//   bridge_stress [seconds]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/engine.hpp"
#include "execution/execution.hpp"

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
    std::mutex ids_mutex;  // guards ids
    std::set<std::string> ids;
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

void check_field(const json::Value& value, std::uint64_t n) {
    if (value.is_object() && value.contains("n")) {
        check(value["n"] == n, "field holds another request's answer: " + value.dump());
        return;
    }
    check(value.is_object() && value.value("isError", false) == true, "unexpected field value: " + value.dump());
    const std::string text = value.value("text", std::string());
    bool own_failure = text == "failed " + std::to_string(n);
    bool placeholder = text.starts_with("SchemaEngine stub resolved s.t");
    check(own_failure || placeholder || text == "CallBridge is detached", "unexpected error text: " + text);
}

void execute_queries(Shared& shared, unsigned seed, std::chrono::steady_clock::time_point until) {
    std::mt19937 random(seed);
    while (std::chrono::steady_clock::now() < until && !failed) {
        std::size_t fields = random() % 20 == 0 ? 1100 + random() % 200 : 1 + random() % 40;
        std::vector<std::uint64_t> numbers;
        std::string document = execute_json(shared.engine, query_of(fields, shared, numbers), std::nullopt).value();
        Result<json::Value> parsed = json::read(document);
        check(parsed.ok() && parsed.value()["errors"].empty(), "query failed: " + document.substr(0, 200));
        if (!parsed) return;
        const json::Value& data = parsed.value()["data"];
        for (std::size_t i = 0; i < numbers.size(); ++i) check_field(data["f" + std::to_string(i)], numbers[i]);
        ++shared.queries;
    }
}

void serve(Shared& shared, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::pair<std::string, std::uint64_t>> held;  // answered later, out of order
    auto answer = [&](const std::pair<std::string, std::uint64_t>& call) {
        if (random() % 7 == 0) {
            shared.engine.bridge->respond(call.first, tool_error_text("failed " + std::to_string(call.second)));
            ++shared.failed_calls;
        } else {
            shared.engine.bridge->respond(call.first, "{\"n\":" + std::to_string(call.second) + "}");
            ++shared.answered;
        }
    };
    while (shared.executing || !held.empty()) {
        auto received = shared.engine.bridge->receive(*shared.engine.runtime, 0s, 2ms).value();
        if (received) {
            received->delivered();
            Result<json::Value> request = json::read(received->document());
            check(request.ok(), "request document is JSON");
            std::string id = request.value()["request_id"];
            {
                std::lock_guard lock(shared.ids_mutex);
                check(shared.ids.insert(id).second, "request id repeated: " + id);
            }
            held.emplace_back(id, request.value()["arguments"]["n"].get<std::uint64_t>());
        }
        if (!held.empty() && (held.size() > random() % 64 || !received)) {
            std::swap(held[random() % held.size()], held.back());
            answer(held.back());
            held.pop_back();
        }
        if (random() % 500 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    auto built = from_catalogue_json(R"([{"server":"s","tools":[{"name":"t0"},{"name":"t1"},{"name":"t2"},)"
                                     R"({"name":"t3"},{"name":"t4","readOnly":false},{"name":"t5"},{"name":"t6"},)"
                                     R"({"name":"t7"},{"name":"t8"},{"name":"t9"}]}])");
    if (!built) return 2;
    Shared shared;
    shared.engine = std::move(built).value();
    shared.engine.bridge->attach();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

    std::vector<std::thread> hosts, executors;
    for (unsigned i = 0; i < 2; ++i) hosts.emplace_back(serve, std::ref(shared), 100 + i);
    for (unsigned i = 0; i < 4; ++i) executors.emplace_back(execute_queries, std::ref(shared), i, until);
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
    detacher.join();
    churn.join();
    shared.executing = false;
    shared.engine.bridge->detach();
    for (auto& thread : hosts) thread.join();

    std::printf("queries %llu, tool calls answered %llu, failed %llu, detaches %llu, distinct ids %zu: %s\n",
                static_cast<unsigned long long>(shared.queries.load()),
                static_cast<unsigned long long>(shared.answered.load()),
                static_cast<unsigned long long>(shared.failed_calls.load()),
                static_cast<unsigned long long>(shared.detaches.load()), shared.ids.size(),
                failed ? "FAILED" : "ok");
    return failed ? 1 : 0;
}
