#include "core/errors.h"

#include <cstdio>
#include <optional>

namespace quillon {
namespace {

struct HResultEntry {
  std::string_view name;
  std::string_view text;
};

// No default: the compiler names a value the switch leaves out.
std::optional<HResultEntry> HResultEntryOf(HResult value) {
  switch (static_cast<hr::Code>(value)) {
    case hr::kOk: return HResultEntry{"S_OK", "Success"};
    case hr::kFalse: return HResultEntry{"S_FALSE", "Success (false)"};
    case hr::kNotImpl: return HResultEntry{"E_NOTIMPL", "Not implemented"};
    case hr::kNoInterface: return HResultEntry{"E_NOINTERFACE", "No such interface supported"};
    case hr::kPointer: return HResultEntry{"E_POINTER", "Invalid pointer"};
    case hr::kFail: return HResultEntry{"E_FAIL", "Unspecified error"};
    case hr::kOutOfMemory: return HResultEntry{"E_OUTOFMEMORY", "Not enough memory"};
    case hr::kInvalidArg: return HResultEntry{"E_INVALIDARG", "The parameter is incorrect"};
    case hr::kUnknownInterface: return HResultEntry{"DISP_E_UNKNOWNINTERFACE", "Unknown interface"};
    case hr::kMemberNotFound: return HResultEntry{"DISP_E_MEMBERNOTFOUND", "Member not found"};
    case hr::kParamNotFound: return HResultEntry{"DISP_E_PARAMNOTFOUND", "Parameter not found"};
    case hr::kTypeMismatch: return HResultEntry{"DISP_E_TYPEMISMATCH", "Type mismatch"};
    case hr::kUnknownName: return HResultEntry{"DISP_E_UNKNOWNNAME", "Unknown name"};
    case hr::kNoNamedArgs: return HResultEntry{"DISP_E_NONAMEDARGS", "No named arguments"};
    case hr::kBadVarType: return HResultEntry{"DISP_E_BADVARTYPE", "Bad variable type"};
    case hr::kException: return HResultEntry{"DISP_E_EXCEPTION", "Exception occurred"};
    case hr::kOverflow: return HResultEntry{"DISP_E_OVERFLOW", "Out of present range"};
    case hr::kBadIndex: return HResultEntry{"DISP_E_BADINDEX", "Invalid index"};
    case hr::kBadParamCount: return HResultEntry{"DISP_E_BADPARAMCOUNT", "Invalid number of parameters"};
    case hr::kParamNotOptional: return HResultEntry{"DISP_E_PARAMNOTOPTIONAL", "Parameter not optional"};
    case hr::kClassString: return HResultEntry{"CO_E_CLASSSTRING", "Invalid class string"};
    case hr::kClassNotRegistered: return HResultEntry{"REGDB_E_CLASSNOTREG", "Class not registered"};
    case hr::kNoAggregation: return HResultEntry{"CLASS_E_NOAGGREGATION", "Class does not support aggregation"};
    case hr::kConnectNoConnection: return HResultEntry{"CONNECT_E_NOCONNECTION", "No such connection"};
    case hr::kConnectAdviseLimit: return HResultEntry{"CONNECT_E_ADVISELIMIT", "Advise limit reached"};
    case hr::kConnectCannotConnect: return HResultEntry{"CONNECT_E_CANNOTCONNECT", "Sink does not support the event interface"};
    case hr::kRpcDisconnected: return HResultEntry{"RPC_E_DISCONNECTED", "The object invoked has disconnected from its clients"};
    case hr::kRpcServerUnavailable: return HResultEntry{"RPC_S_SERVER_UNAVAILABLE", "The RPC server is unavailable"};
    case hr::kRpcCallRejected: return HResultEntry{"RPC_E_CALL_REJECTED", "Call was rejected by callee"};
  }
  return std::nullopt;
}

}  // namespace

std::u16string_view RuntimeErrorDescription(int32_t number) {
  // No default: the compiler names a number the switch leaves out.
  switch (static_cast<rt::Number>(number)) {
    case rt::kInvalidProcedureCall: return u"Invalid procedure call or argument";
    case rt::kOverflow: return u"Overflow";
    case rt::kOutOfMemory: return u"Out of memory";
    case rt::kSubscriptOutOfRange: return u"Subscript out of range";
    case rt::kTypeMismatch: return u"Type mismatch";
    case rt::kBadFileNameOrNumber: return u"Bad file name or number";
    case rt::kFileNotFound: return u"File not found";
    case rt::kDeviceIOError: return u"Device I/O error";
    case rt::kDiskFull: return u"Disk full";
    case rt::kBadRecordNumber: return u"Bad record number";
    case rt::kTooManyFiles: return u"Too many files";
    case rt::kPermissionDenied: return u"Permission denied";
    case rt::kPathFileAccessError: return u"Path/File access error";
    case rt::kPathNotFound: return u"Path not found";
    case rt::kInvalidUseOfNull: return u"Invalid use of Null";
    case rt::kKeyAlreadyInUse: return u"This key is already associated with an element of this collection";
  }
  return u"Application-defined or object-defined error";
}

std::string_view HResultName(HResult value) {
  const std::optional<HResultEntry> entry = HResultEntryOf(value);
  return entry ? entry->name : std::string_view();
}

std::string HResultText(HResult value) {
  if (const std::optional<HResultEntry> entry = HResultEntryOf(value)) return std::string(entry->text);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "HRESULT 0x%08X", static_cast<uint32_t>(value));
  return buffer;
}

}  // namespace quillon
