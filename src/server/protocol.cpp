#include "server/protocol.h"

#include "host/text.h"

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
