#include "core/type_library.h"

#include <cstdio>

#include "core/text.h"

namespace quillon {
std::string_view MemberKindName(MemberKind kind) {
  switch (kind) {
    case MemberKind::kMethod: return "method";
    case MemberKind::kPropertyGet: return "get";
    case MemberKind::kPropertyPut: return "put";
    case MemberKind::kEvent: return "event";
  }
  return "";
}

const MemberInfo* InterfaceInfo::FindByName(std::u16string_view member_name) const {
  for (const auto& member : members) {
    if (EqualsIgnoreCase(member_name, member.name)) return &member;
  }
  return nullptr;
}

const MemberInfo* InterfaceInfo::FindByName(std::string_view member_name) const {
  for (const auto& member : members) {
    if (EqualsIgnoreCase(member_name, member.name)) return &member;
  }
  return nullptr;
}

const MemberInfo* InterfaceInfo::FindById(DispId dispid) const {
  for (const auto& member : members) {
    if (member.dispid == dispid) return &member;
  }
  return nullptr;
}

const ClassInfo* TypeLibrary::FindClass(std::string_view class_name) const {
  for (const auto& info : classes) {
    if (info.name == class_name) return &info;
  }
  return nullptr;
}

const ClassInfo* TypeLibrary::FindByProgId(std::u16string_view progid) const {
  for (const auto& info : classes) {
    if (!info.progid.empty() && EqualsIgnoreCase(progid, info.progid)) return &info;
  }
  return nullptr;
}

namespace {

std::string Hex(DispId id) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<uint32_t>(id));
  return buffer;
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Attributes(const MemberInfo& member) {
  std::string out = "[id(" + Hex(member.dispid) + ")";
  if (member.kind == MemberKind::kPropertyGet) out += ", propget";
  if (member.kind == MemberKind::kPropertyPut) out += ", propput";
  if (!member.help.empty()) out += ", helpstring(" + Quoted(member.help) + ")";
  return out + "]";
}

void AppendMethods(std::string& out, const InterfaceInfo& iface) {
  for (const auto& member : iface.members) {
    out += "        " + Attributes(member) + "\n        HRESULT " + std::string(member.name) + "(";
    bool first = true;
    for (auto param : member.params) {
      out += first ? "" : ", ";
      first = false;
      out += member.kind == MemberKind::kPropertyPut ? "[in] VARIANT " : "[in, out] VARIANT* ";
      out += param;
    }
    if (member.result != ResultKind::kNone) {
      out += first ? "" : ", ";
      out += member.result == ResultKind::kObject ? "[out, retval] _" + std::string(member.result_class) + "** "
                                                   : std::string("[out, retval] VARIANT* ");
      out += "result";
    }
    out += ");\n";
  }
}

}  // namespace

std::string TypeLibraryAsIdl(const TypeLibrary& library) {
  auto uuid = [](std::string_view guid) { return std::string(guid.substr(1, guid.size() - 2)); };
  std::string out;
  out += "[\n    uuid(" + uuid(library.libid) + "),\n    version(" + std::to_string(library.major_version) +
         "." + std::to_string(library.minor_version) + "),\n    lcid(" + std::to_string(library.lcid) + ")\n]\n";
  out += "library " + std::string(library.name) + "\n{\n    importlib(\"stdole2.tlb\");\n\n";
  for (auto alias : library.aliases) out += "    typedef [public] int " + std::string(alias) + ";\n\n";
  // Declared ahead, since a member may return an object of a class defined later.
  for (const auto& info : library.classes) out += "    interface " + std::string(info.interface.name) + ";\n";
  out += "\n";
  for (const auto& info : library.classes) {
    out += "    [uuid(" + uuid(info.interface.iid) + "), hidden, dual, nonextensible]\n";
    out += "    interface " + std::string(info.interface.name) + " : IDispatch\n    {\n";
    AppendMethods(out, info.interface);
    out += "    };\n\n";
    if (const InterfaceInfo* events = info.events()) {
      out += "    [uuid(" + uuid(events->iid) + "), hidden]\n";
      out += "    dispinterface " + std::string(events->name) + "\n    {\n    properties:\n    methods:\n";
      AppendMethods(out, *events);
      out += "    };\n\n";
    }
    out += "    [uuid(" + uuid(info.clsid) + ")" + (info.creatable ? "" : ", noncreatable") + "]\n";
    out += "    coclass " + std::string(info.name) + "\n    {\n        [default] interface " +
           std::string(info.interface.name) + ";\n";
    if (const InterfaceInfo* events = info.events()) {
      out += "        [default, source] dispinterface " + std::string(events->name) + ";\n";
    }
    out += "    };\n\n";
  }
  out += "};\n";
  return out;
}

}  // namespace quillon
