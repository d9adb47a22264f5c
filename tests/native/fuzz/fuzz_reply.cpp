// A host's reply text through the bridge and then the reader, as a tool
// field takes it: the waiting call gets the text exactly as sent, and the
// text reads into a value that round-trips, or fails with the invalid-JSON
// message and a position.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/bridge.hpp"
#include "checks.hpp"

using namespace quorvel;

namespace {

struct Host {
    TokioCallBridge bridge;
    std::shared_ptr<Runtime> runtime;

    Host() {
        auto built = Runtime::build();
        if (!built) fuzz::broken("runtime starts", built.message());
        runtime = std::move(built).value();
        bridge.attach();
    }

    // The id of the request just queued, as the host reads it.
    std::string take_request_id() {
        auto received = bridge.receive_json(*runtime, std::chrono::seconds(0), std::chrono::nanoseconds(0));
        fuzz::require(received && received->ok(), "the call's request is queued");
        Result<json::Document> request = json::read(received->value());
        fuzz::require(request.ok(), "a request is JSON", received->value());
        json::Ref id = request.value().root().find("request_id");
        fuzz::require(id && id.is_string(), "a request has an id", received->value());
        return std::string(id.string());
    }
};

// The tool field's reading of a reply, and its writing into the response
// while the reply text is still alive.
void check_reply_reading(const std::string& reply) {
    Result<json::Document> value = json::read(reply);
    if (value) {
        std::string canonical = fuzz::require_round_trip(value.value().root());
        fuzz::require(fuzz::written(value.value()) == canonical, "a reply is written as its value", reply);
        return;
    }
    std::string error = "CallBridge returned invalid JSON: " + value.message();
    fuzz::require(fuzz::has_position(error), "reply failure form", error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Host host;
    std::string reply(reinterpret_cast<const char*>(data), size);
    auto parker = std::make_shared<Parker>();
    PendingCall call = host.bridge.start_call("server", "tool", "query", "{}", parker);
    std::string request_id = host.take_request_id();
    fuzz::require(host.bridge.respond(request_id, reply), "a waiting call takes its reply", request_id);
    fuzz::require(!host.bridge.respond(request_id, "1"), "a second answer is refused", request_id);
    Result<std::string> received = call.wait(*parker);
    fuzz::require(received.ok() && received.value() == reply, "the call gets the reply as sent", reply);
    check_reply_reading(received.value());
    return 0;
}
