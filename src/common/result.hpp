// Failures inside the engine core are values, never exceptions: every
// operation that can fail returns a Result holding either its value or the
// message text that the system shows for the failure. The first failure ends
// the operation and travels upward unchanged.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quorvel {

struct Failure {
    enum class Kind {
        input,        // the caller's input or a tool's answer is at fault
        internal,     // the machinery failed (threads that cannot start)
        interrupted,  // the caller's interrupt hook asked the wait to stop
    };
    std::string message;
    Kind kind = Kind::input;
};

inline Failure fail(std::string message) { return Failure{std::move(message), Failure::Kind::input}; }
inline Failure fail_internal(std::string message) { return Failure{std::move(message), Failure::Kind::internal}; }
// The binding raises the exception its hook left pending rather than the
// message, so the message only names where the wait stopped.
inline Failure fail_interrupted(std::string message) {
    return Failure{std::move(message), Failure::Kind::interrupted};
}

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }

    const std::string& message() const { return std::get<1>(state_).message; }
    Failure::Kind kind() const { return std::get<1>(state_).kind; }
    bool internal() const { return kind() == Failure::Kind::internal; }
    bool interrupted() const { return kind() == Failure::Kind::interrupted; }
    Failure failure() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Failure> state_;
};

// For operations whose only payload is success itself.
struct Done {};
using Status = Result<Done>;

inline Status done() { return Done{}; }

}  // namespace quorvel
