// A host's reply text through the bridge: the waiting call gets exactly the
// text the host gave, and the answered request is never handed out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/bridge.hpp"
#include "checks.hpp"
#include "json/json.hpp"

using namespace quorvel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TokioCallBridge bridge;
    static std::uint64_t issued = 0;
    static const std::shared_ptr<Runtime> runtime = Runtime::build().value();
    static const bool attached = (bridge.attach(), true);
    (void)attached;

    auto parker = std::make_shared<Parker>();
    PendingCall call = bridge.start_call("server", "tool", "query", "{}", parker);
    std::string request_id = "tool-call-" + std::to_string(++issued);
    std::string reply(reinterpret_cast<const char*>(data), size);
    fuzz::require(bridge.respond(request_id, reply), "a waiting call takes its reply", request_id);
    fuzz::require(!bridge.respond(request_id, "1"), "a second answer is refused", request_id);
    Result<std::string> answer = call.wait(*parker);
    fuzz::require(answer.ok() && answer.value() == reply, "the reply arrives unchanged", request_id);
    // The request was answered before any host took it: nobody waits for
    // it any more, so it is never handed out.
    fuzz::require(!bridge.receive(*runtime, std::chrono::seconds(0), std::chrono::nanoseconds(0)).value(),
                  "an answered request is not delivered", request_id);
    // What the pipeline then makes of the text: a value that round-trips,
    // or a reader fault with its position.
    Result<json::Value> value = json::read(reply);
    if (value) {
        fuzz::require_round_trip(value.value());
    } else {
        fuzz::require(fuzz::has_position(value.message()), "reader fault form", value.message());
    }
    return 0;
}
