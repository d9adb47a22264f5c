// A host's reply text through the bridge: the waiting call completes with
// the reply's value (which round-trips) or with the invalid-JSON failure.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/bridge.hpp"
#include "checks.hpp"

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TokioCallBridge bridge;
    static std::uint64_t issued = 0;
    static const bool attached = (bridge.attach(), true);
    (void)attached;

    auto parker = std::make_shared<Parker>();
    PendingCall call = bridge.start_call("server", "tool", "query", json::Value::object(), parker);
    std::string request_id = "tool-call-" + std::to_string(++issued);
    std::string reply(reinterpret_cast<const char*>(data), size);
    fuzz::require(bridge.respond(request_id, reply), "a waiting call takes its reply", request_id);
    fuzz::require(!bridge.respond(request_id, "1"), "a second answer is refused", request_id);
    Result<json::Value> value = call.wait(*parker);
    if (value) {
        fuzz::require_round_trip(value.value());
    } else {
        fuzz::require(value.message().starts_with("CallBridge returned invalid JSON: ") &&
                          fuzz::has_position(value.message()),
                      "reply failure form", value.message());
    }
    return 0;
}
