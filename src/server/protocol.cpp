#include "server/protocol.h"

#include "core/text.h"

namespace quillon::server {
namespace {

Json InterfaceToJson(const InterfaceInfo& info) {
  Json members = Json::array();
  for (const MemberInfo& member : info.members) {
    Json params = Json::array();
    for (std::string_view param : member.params) params.push_back(param);
    members.push_back({{"name", member.name},
                       {"dispid", member.dispid},
                       {"kind", MemberKindName(member.kind)},
                       {"params", std::move(params)},
                       {"help", member.help}});
  }
  return {{"name", info.name}, {"iid", info.iid}, {"members", std::move(members)}};
}

}  // namespace

RpcError::RpcError(int code_in, std::string message_in, HResult hresult)
    : code(code_in), message(std::move(message_in)) {
  data = {{"hresult", hresult}, {"name", HResultName(hresult)}};
}

RpcError AutomationError(HResult hresult, const ExceptionInfo* exception, std::optional<size_t> argerr) {
  RpcError error(rpc::kAutomationError, HResultText(hresult), hresult);
  if (hresult == hr::kException && exception != nullptr) {
    error.data["excepinfo"] = {{"source", Utf16ToUtf8(exception->source)},
                               {"description", Utf16ToUtf8(exception->description)},
                               {"scode", exception->scode}};
  }
  if (argerr) error.data["argerr"] = *argerr;
  return error;
}

RpcError InvalidParams(std::string message, HResult hresult) {
  return RpcError(rpc::kInvalidParams, std::move(message), hresult);
}

namespace {

RpcMessage Rejected(Json id, std::optional<RpcError> error) {
  RpcMessage rejected;
  rejected.id = std::move(id);
  rejected.error = std::move(error);
  return rejected;
}

}  // namespace

RpcMessage ParseRpcMessage(std::string_view body) {
  if (!JsonNestsWithin(body)) {
    return Rejected(nullptr, RpcError(rpc::kParseError,
                                      "the message nests deeper than " + std::to_string(kMaxJsonNesting) + " levels",
                                      hr::kInvalidArg));
  }
  Json message = Json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
  if (message.is_discarded()) {
    return Rejected(nullptr, RpcError(rpc::kParseError, "the frame is not UTF-8 JSON", hr::kInvalidArg));
  }
  if (!message.is_object()) {
    return Rejected(nullptr, RpcError(rpc::kInvalidRequest,
                                      message.is_array() ? "batches are not supported" : "a message is a JSON object",
                                      hr::kInvalidArg));
  }
  const auto id_field = message.find("id");
  const bool has_id = id_field != message.end();
  Json id = has_id ? *id_field : Json();
  if (has_id && !id.is_string() && !id.is_number_integer() && !id.is_null()) {
    return Rejected(nullptr, RpcError(rpc::kInvalidRequest, "\"id\" is a string, an integer or null", hr::kInvalidArg));
  }
  const auto version = message.find("jsonrpc");
  const std::string* version_text = version == message.end() ? nullptr : version->get_ptr<const std::string*>();
  if (version_text == nullptr || *version_text != "2.0") {
    return Rejected(std::move(id), RpcError(rpc::kInvalidRequest, "\"jsonrpc\" must be \"2.0\"", hr::kInvalidArg));
  }
  if (const auto method = message.find("method"); method != message.end()) {
    if (!method->is_string()) {
      return Rejected(std::move(id), RpcError(rpc::kInvalidRequest, "\"method\" is a string", hr::kInvalidArg));
    }
    RpcMessage call;
    call.kind = has_id ? RpcMessage::Kind::kRequest : RpcMessage::Kind::kNotification;
    call.method = method->get<std::string>();
    const auto params = message.find("params");
    call.params = params == message.end() ? Json::object() : std::move(*params);
    if (!call.params.is_object()) {
      if (!has_id) return Rejected(nullptr, std::nullopt);
      return Rejected(std::move(id), InvalidParams("\"params\" is an object"));
    }
    call.id = std::move(id);
    return call;
  }
  if (has_id && (message.contains("result") || message.contains("error"))) {
    if (!id.is_number_integer()) return Rejected(nullptr, std::nullopt);
    RpcMessage answer;
    answer.kind = RpcMessage::Kind::kAnswer;
    answer.id = std::move(id);
    answer.message = std::move(message);
    return answer;
  }
  return Rejected(std::move(id), RpcError(rpc::kInvalidRequest, "neither a request nor a response", hr::kInvalidArg));
}

bool JsonNestsWithin(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // whatever is escaped, a quote included
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

Json ErrorObject(const RpcError& error) {
  return {{"code", error.code}, {"message", error.message}, {"data", error.data}};
}

Json Response(const Json& id, Json result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

Json ErrorResponse(const Json& id, const RpcError& error) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", ErrorObject(error)}};
}

Json TypeLibraryToJson(const TypeLibrary& library) {
  Json classes = Json::array();
  for (const ClassInfo& info : library.classes) {
    const InterfaceInfo* events = info.events();
    classes.push_back({{"name", info.name},
                       {"creatable", info.creatable},
                       {"progid", info.progid},
                       {"clsid", info.clsid},
                       {"interface", InterfaceToJson(info.interface)},
                       {"events", events ? InterfaceToJson(*events) : Json(nullptr)}});
  }
  Json aliases = Json::array();
  for (std::string_view alias : library.aliases) aliases.push_back(alias);
  return {{"name", library.name},
          {"version", std::to_string(library.major_version) + "." + std::to_string(library.minor_version)},
          {"lcid", library.lcid},
          {"classes", std::move(classes)},
          {"aliases", std::move(aliases)}};
}

}  // namespace quillon::server
