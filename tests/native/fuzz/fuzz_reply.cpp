// A host's reply text through the bridge and then the reader, as a tool
// field takes it: the waiting call gets exactly the text the host gave, the
// answered request is never handed out, and the text reads into a value
// that round-trips, or fails with the invalid-JSON message and a position.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/bridge.hpp"
#include "checks.hpp"

using namespace quorvel;

namespace {

// The tool field's reading of a reply.
void check_reply_reading(const std::string& reply) {
    Result<json::Document> value = json::read(reply);
    if (value) {
        fuzz::require_round_trip(value.value().root());
        return;
    }
    std::string error = "CallBridge returned invalid JSON: " + value.message();
    fuzz::require(fuzz::has_position(error), "reply failure form", error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TokioCallBridge bridge;
    static std::uint64_t issued = 0;
    static const std::shared_ptr<Runtime> runtime = Runtime::build().value();
    static const bool attached = (bridge.attach(), true);
    (void)attached;

    auto parker = std::make_shared<Parker>();
    PendingCall call = bridge.start_call("server", "tool", "query", "{}", parker);
    std::string request_id = request_id_of(++issued);
    std::string reply(reinterpret_cast<const char*>(data), size);
    fuzz::require(bridge.respond(request_id, reply), "a waiting call takes its reply", request_id);
    fuzz::require(!bridge.respond(request_id, "1"), "a second answer is refused", request_id);
    Result<std::string> answer = call.wait(*parker);
    fuzz::require(answer.ok() && answer.value() == reply, "the reply arrives unchanged", request_id);
    // The request was answered before any host took it: nobody waits for it
    // any more, so it is never handed out.
    fuzz::require(!bridge.receive_json(*runtime, std::chrono::seconds(0), std::chrono::nanoseconds(0)).value(),
                  "an answered request is not delivered", request_id);
    check_reply_reading(answer.value());
    return 0;
}
