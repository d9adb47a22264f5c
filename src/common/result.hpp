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
    std::string message;
    // Set for faults of the machinery (threads that cannot start) rather
    // than of the input, so the binding can raise a different exception.
    bool internal = false;
};

inline Failure fail(std::string message) { return Failure{std::move(message), false}; }
inline Failure fail_internal(std::string message) { return Failure{std::move(message), true}; }

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
    bool internal() const { return std::get<1>(state_).internal; }
    Failure failure() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Failure> state_;
};

// For operations whose only payload is success itself.
struct Done {};
using Status = Result<Done>;

inline Status done() { return Done{}; }

}  // namespace quorvel
