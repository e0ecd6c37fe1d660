// The JSON-RPC envelope of one message, on its own: any text as a frame's body.
// Whatever comes, the parser answers with one kind, and each kind holds what
// the connection relies on when it serves it.
#include <string>

#include "fuzz_support.h"
#include "server/protocol.h"

using namespace quillon;
using namespace quillon::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const RpcMessage message = ParseRpcMessage(fuzz::Chars(std::span<const uint8_t>(data, size)));
  switch (message.kind) {
    case RpcMessage::Kind::kRequest:
      FUZZ_CHECK(message.id.is_string() || message.id.is_number_integer() || message.id.is_null());
      FUZZ_CHECK(message.params.is_object());
      FUZZ_CHECK(!message.error);
      break;
    case RpcMessage::Kind::kNotification:
      FUZZ_CHECK(message.id.is_null());
      FUZZ_CHECK(message.params.is_object());
      FUZZ_CHECK(!message.error);
      break;
    case RpcMessage::Kind::kAnswer:
      FUZZ_CHECK(message.id.is_number_integer());
      FUZZ_CHECK(message.message.is_object());
      FUZZ_CHECK(message.message.contains("result") || message.message.contains("error"));
      break;
    case RpcMessage::Kind::kRejected:
      if (message.error) {
        const int code = message.error->code;
        FUZZ_CHECK(code == rpc::kParseError || code == rpc::kInvalidRequest || code == rpc::kInvalidParams);
        // The id an error goes back under is one the peer may read back.
        FUZZ_CHECK(message.id.is_string() || message.id.is_number_integer() || message.id.is_null());
        // Every error answer can be written.
        FUZZ_CHECK(!ErrorResponse(message.id, *message.error).dump().empty());
      }
      break;
  }
  return 0;
}
