// quillon typelib: the type library, as a table to read or as IDL.
#include <cstdio>
#include <string>

#include "cli/session.h"
#include "cli/verbs.h"
#include "core/type_library.h"
#include "product/quillon_product.h"

namespace quillon::cli {
namespace {

std::string Hex(DispId id) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<uint32_t>(id));
  return buffer;
}

std::string Signature(const MemberInfo& member) {
  std::string text(member.name);
  if (member.kind == MemberKind::kPropertyPut && member.params.size() == 1) {
    return text + " = " + std::string(member.params[0]);
  }
  if (member.kind == MemberKind::kMethod || member.kind == MemberKind::kEvent || !member.params.empty()) {
    text += "(";
    for (size_t i = 0; i < member.params.size(); ++i) text += (i == 0 ? "" : ", ") + std::string(member.params[i]);
    text += ")";
  }
  if (member.result == ResultKind::kObject) text += " -> " + std::string(member.result_class);
  return text;
}

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string TypeLibraryAsTable(const TypeLibrary& library) {
  size_t widest = 0;
  for (const ClassInfo& info : library.classes) {
    for (const MemberInfo& member : info.interface.members) widest = std::max(widest, Signature(member).size());
    if (const InterfaceInfo* events = info.events()) {
      for (const MemberInfo& member : events->members) widest = std::max(widest, Signature(member).size());
    }
  }
  auto rows = [&](const InterfaceInfo& iface) {
    std::string out;
    for (const MemberInfo& member : iface.members) {
      const std::string id = member.kind == MemberKind::kEvent ? std::to_string(member.dispid) : Hex(member.dispid);
      std::string row = "    " + Padded(id, 12) + Padded(std::string(MemberKindName(member.kind)), 8) +
                        Padded(Signature(member), widest + 2) + std::string(member.help);
      while (!row.empty() && row.back() == ' ') row.pop_back();
      out += row + "\n";
    }
    return out;
  };

  std::string out = std::string(library.name) + " type library " + std::to_string(library.major_version) + "." +
                    std::to_string(library.minor_version) + "  " + std::string(library.libid) + "\n";
  out += "Kinds: method is called, get reads a property, put writes one, event is raised to a sink.\n";
  for (const ClassInfo& info : library.classes) {
    out += "\n" + std::string(info.name) + "  " + std::string(info.clsid);
    out += info.creatable ? "  ProgID " + std::string(info.progid) : std::string("  (not creatable)");
    out += "\n  interface " + std::string(info.interface.name) + "\n";
    out += "    " + Padded("DISPID", 12) + Padded("KIND", 8) + Padded("MEMBER", widest + 2) + "HELP\n";
    out += rows(info.interface);
    if (const InterfaceInfo* events = info.events()) {
      out += "  events " + std::string(events->name) + "\n" + rows(*events);
    }
  }
  return out;
}

class TypelibVerb final : public Verb {
 public:
  explicit TypelibVerb(CLI::App& app)
      : Verb(app.add_subcommand("typelib", "Show the classes, their members, DISPIDs and help strings")) {
    command()->add_flag("--idl", idl_, "Print the type library as IDL text instead of a table");
  }

  int Run() override {
    const TypeLibrary& library = QuillonTypeLibrary();
    const std::string text = idl_ ? TypeLibraryAsIdl(library) : TypeLibraryAsTable(library);
    std::fputs(text.c_str(), stdout);
    return kExitOk;
  }

 private:
  bool idl_ = false;
};

}  // namespace

std::unique_ptr<Verb> AddTypelibVerb(CLI::App& app) { return std::make_unique<TypelibVerb>(app); }

}  // namespace quillon::cli
