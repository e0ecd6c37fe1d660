// The JSON-RPC side of the protocol: error codes, error objects and the type
// library as the clients read it. docs/protocol.md is the reference for all of it.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "core/dispatch.h"
#include "core/type_library.h"
#include "server/variant_codec.h"

namespace quillon::server {

inline constexpr int kProtocolVersion = 1;

namespace rpc {
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
inline constexpr int kServerNotInitialized = -32002;
// A failure of the automation layer; data.hresult says which.
inline constexpr int kAutomationError = -32000;
}  // namespace rpc

// An error answer in flight. Every one carries an HRESULT in data.hresult, so a
// client can turn any failure into its language's automation error.
struct RpcError : std::exception {
  int code;
  std::string message;
  Json data;
  RpcError(int code_in, std::string message_in, HResult hresult);
  const char* what() const noexcept override { return message.c_str(); }
};

// The error for a failed call: its HRESULT, with the exception a member raised
// (for DISP_E_EXCEPTION) and the index of the offending argument when known.
RpcError AutomationError(HResult hresult, const ExceptionInfo* exception = nullptr,
                         std::optional<size_t> argerr = std::nullopt);
// A malformed request or parameter, with the HRESULT a client reports for it.
RpcError InvalidParams(std::string message, HResult hresult = hr::kInvalidArg);

// How deeply a message may nest arrays and objects. Variants nest at most 64
// deep, two JSON levels each, so honest messages stay far below it; parsing is
// iterative, but copying and writing a value recurse once per level, and a
// frame of a few hundred kilobytes could otherwise nest deep enough to
// overflow the stack.
inline constexpr size_t kMaxJsonNesting = 512;

// True when the JSON text nests no deeper than `limit` (brackets inside strings
// do not count). Looks at the text only, so it runs before any parse.
bool JsonNestsWithin(std::string_view text, size_t limit = kMaxJsonNesting);

// One frame's message, checked against the JSON-RPC 2.0 envelope. Pure: it
// reads the text and nothing else, so it is tested and fuzzed on its own.
struct RpcMessage {
  enum class Kind {
    kRequest,       // method, params (an object, {} when absent) and id
    kNotification,  // method and params, no id: nothing is answered
    kAnswer,        // the peer's answer to an event: `id` is an integer, `message` the whole of it
    kRejected,      // `error` (when set) goes back under `id` (null when the id was unreadable)
  };
  Kind kind = Kind::kRejected;
  Json id;
  std::string method;
  Json params;
  Json message;
  std::optional<RpcError> error;
};

// Parses and checks one body: JSON nesting no deeper than kMaxJsonNesting,
// UTF-8 JSON, an object (no batches), an id that is a string, an integer or
// null, "jsonrpc": "2.0", and either a string method with object params or a
// result or error. An answer whose id is not an integer, and a notification
// whose params are no object, are rejected without an error: nobody waits for
// a word about them.
RpcMessage ParseRpcMessage(std::string_view body);

Json ErrorObject(const RpcError& error);
Json Response(const Json& id, Json result);
Json ErrorResponse(const Json& id, const RpcError& error);

// {"name", "version", "lcid", "classes": [...], "aliases": [...]}
Json TypeLibraryToJson(const TypeLibrary& library);

}  // namespace quillon::server
