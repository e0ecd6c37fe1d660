#include "core/errors.h"

#include <cstdio>

namespace quillon {
namespace {

struct RuntimeErrorEntry {
  int32_t number;
  std::u16string_view description;
};

constexpr RuntimeErrorEntry kRuntimeErrors[] = {
    {rt::kInvalidProcedureCall, u"Invalid procedure call or argument"},
    {rt::kOverflow, u"Overflow"},
    {rt::kOutOfMemory, u"Out of memory"},
    {rt::kSubscriptOutOfRange, u"Subscript out of range"},
    {rt::kTypeMismatch, u"Type mismatch"},
    {rt::kBadFileNameOrNumber, u"Bad file name or number"},
    {rt::kFileNotFound, u"File not found"},
    {rt::kDeviceIOError, u"Device I/O error"},
    {rt::kDiskFull, u"Disk full"},
    {rt::kBadRecordNumber, u"Bad record number"},
    {rt::kTooManyFiles, u"Too many files"},
    {rt::kPermissionDenied, u"Permission denied"},
    {rt::kPathFileAccessError, u"Path/File access error"},
    {rt::kPathNotFound, u"Path not found"},
    {rt::kInvalidUseOfNull, u"Invalid use of Null"},
    {rt::kKeyAlreadyInUse, u"This key is already associated with an element of this collection"},
};

struct HResultEntry {
  HResult value;
  std::string_view name;
  std::string_view text;
};

constexpr HResultEntry kHResults[] = {
    {hr::kOk, "S_OK", "Success"},
    {hr::kFalse, "S_FALSE", "Success (false)"},
    {hr::kNotImpl, "E_NOTIMPL", "Not implemented"},
    {hr::kNoInterface, "E_NOINTERFACE", "No such interface supported"},
    {hr::kPointer, "E_POINTER", "Invalid pointer"},
    {hr::kFail, "E_FAIL", "Unspecified error"},
    {hr::kOutOfMemory, "E_OUTOFMEMORY", "Not enough memory"},
    {hr::kInvalidArg, "E_INVALIDARG", "The parameter is incorrect"},
    {hr::kUnknownInterface, "DISP_E_UNKNOWNINTERFACE", "Unknown interface"},
    {hr::kMemberNotFound, "DISP_E_MEMBERNOTFOUND", "Member not found"},
    {hr::kParamNotFound, "DISP_E_PARAMNOTFOUND", "Parameter not found"},
    {hr::kTypeMismatch, "DISP_E_TYPEMISMATCH", "Type mismatch"},
    {hr::kUnknownName, "DISP_E_UNKNOWNNAME", "Unknown name"},
    {hr::kNoNamedArgs, "DISP_E_NONAMEDARGS", "No named arguments"},
    {hr::kBadVarType, "DISP_E_BADVARTYPE", "Bad variable type"},
    {hr::kException, "DISP_E_EXCEPTION", "Exception occurred"},
    {hr::kOverflow, "DISP_E_OVERFLOW", "Out of present range"},
    {hr::kBadIndex, "DISP_E_BADINDEX", "Invalid index"},
    {hr::kBadParamCount, "DISP_E_BADPARAMCOUNT", "Invalid number of parameters"},
    {hr::kParamNotOptional, "DISP_E_PARAMNOTOPTIONAL", "Parameter not optional"},
    {hr::kClassString, "CO_E_CLASSSTRING", "Invalid class string"},
    {hr::kClassNotRegistered, "REGDB_E_CLASSNOTREG", "Class not registered"},
    {hr::kNoAggregation, "CLASS_E_NOAGGREGATION", "Class does not support aggregation"},
    {hr::kConnectNoConnection, "CONNECT_E_NOCONNECTION", "No such connection"},
    {hr::kConnectAdviseLimit, "CONNECT_E_ADVISELIMIT", "Advise limit reached"},
    {hr::kConnectCannotConnect, "CONNECT_E_CANNOTCONNECT", "Sink does not support the event interface"},
    {hr::kRpcDisconnected, "RPC_E_DISCONNECTED", "The object invoked has disconnected from its clients"},
    {hr::kRpcServerUnavailable, "RPC_S_SERVER_UNAVAILABLE", "The RPC server is unavailable"},
    {hr::kRpcCallRejected, "RPC_E_CALL_REJECTED", "Call was rejected by callee"},
};

}  // namespace

std::u16string_view RuntimeErrorDescription(int32_t number) {
  for (const auto& entry : kRuntimeErrors) {
    if (entry.number == number) return entry.description;
  }
  return u"Application-defined or object-defined error";
}

std::string_view HResultName(HResult value) {
  for (const auto& entry : kHResults) {
    if (entry.value == value) return entry.name;
  }
  return {};
}

std::string HResultText(HResult value) {
  for (const auto& entry : kHResults) {
    if (entry.value == value) return std::string(entry.text);
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "HRESULT 0x%08X", static_cast<uint32_t>(value));
  return buffer;
}

}  // namespace quillon
