// Type libraries: classes, interfaces, members in interface order, DISPIDs,
// parameter names and help strings, as data that dispatch, the front ends and
// the command line read. A product states its own (product/).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

using DispId = int32_t;

enum class MemberKind { kMethod, kPropertyGet, kPropertyPut, kEvent };

std::string_view MemberKindName(MemberKind kind);  // "method", "get", "put", "event"

enum class ResultKind { kNone, kVariant, kObject };

struct MemberInfo {
  std::string_view name;
  DispId dispid;
  MemberKind kind;
  std::vector<std::string_view> params;
  ResultKind result;
  std::string_view help;  // "" where the member has none
  std::string_view result_class = {};  // for kObject: the class of the object returned
};

struct InterfaceInfo {
  std::string_view name;
  std::string_view iid;  // GUID text, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  std::vector<MemberInfo> members;

  // Member names compare without regard to case, as automation does.
  const MemberInfo* FindByName(std::u16string_view name) const;
  const MemberInfo* FindByName(std::string_view name) const;
  const MemberInfo* FindById(DispId dispid) const;
};

struct ClassInfo {
  std::string_view name;
  std::string_view clsid;
  bool creatable;
  std::string_view progid;  // "" for a class clients cannot create
  InterfaceInfo interface;
  const InterfaceInfo* events() const { return has_events ? &event_interface : nullptr; }

  bool has_events = false;
  InterfaceInfo event_interface = {};
  // What a client's error reports as its source ("Err.Source") when a member fails.
  std::string_view error_source = {};
};

struct TypeLibrary {
  std::string_view name;
  uint16_t major_version;
  uint16_t minor_version;
  uint32_t lcid;
  std::string_view libid;
  std::vector<ClassInfo> classes;
  std::vector<std::string_view> aliases;

  const ClassInfo* FindClass(std::string_view name) const;
  // Case-insensitive, as class names are looked up by scripting hosts.
  const ClassInfo* FindByProgId(std::u16string_view progid) const;
};

// The type library as IDL text, with DISPIDs and help strings.
std::string TypeLibraryAsIdl(const TypeLibrary& library);

}  // namespace quillon
