// Run-time error numbers and HRESULTs that cross the automation boundary.
// Every number a client can see is defined here, with its text, in one table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// Run-time errors, numbered as scripting hosts number them.
namespace rt {
// An enum so that a number the table below lacks a text for fails to compile.
enum Number : int32_t {
  kInvalidProcedureCall = 5,
  kOverflow = 6,
  kOutOfMemory = 7,
  kSubscriptOutOfRange = 9,
  kTypeMismatch = 13,
  kBadFileNameOrNumber = 52,
  kFileNotFound = 53,
  kDeviceIOError = 57,
  kDiskFull = 61,
  kBadRecordNumber = 63,
  kTooManyFiles = 67,
  kPermissionDenied = 70,
  kPathFileAccessError = 75,
  kPathNotFound = 76,
  kInvalidUseOfNull = 94,
  kKeyAlreadyInUse = 457,
};
}  // namespace rt

// The standard description of a run-time error number ("Application-defined or
// object-defined error" for numbers outside the table).
std::u16string_view RuntimeErrorDescription(int32_t number);

using HResult = int32_t;

namespace hr {
// An enum so that a value the table below lacks a name for fails to compile.
enum Code : HResult {
  kOk = 0,
  kFalse = 1,
  kNotImpl = static_cast<int32_t>(0x80004001u),
  kNoInterface = static_cast<int32_t>(0x80004002u),
  kPointer = static_cast<int32_t>(0x80004003u),
  kFail = static_cast<int32_t>(0x80004005u),
  kOutOfMemory = static_cast<int32_t>(0x8007000Eu),
  kInvalidArg = static_cast<int32_t>(0x80070057u),
  kUnknownInterface = static_cast<int32_t>(0x80020001u),
  kMemberNotFound = static_cast<int32_t>(0x80020003u),
  kParamNotFound = static_cast<int32_t>(0x80020004u),
  kTypeMismatch = static_cast<int32_t>(0x80020005u),
  kUnknownName = static_cast<int32_t>(0x80020006u),
  kNoNamedArgs = static_cast<int32_t>(0x80020007u),
  kBadVarType = static_cast<int32_t>(0x80020008u),
  kException = static_cast<int32_t>(0x80020009u),
  kOverflow = static_cast<int32_t>(0x8002000Au),
  kBadIndex = static_cast<int32_t>(0x8002000Bu),
  kBadParamCount = static_cast<int32_t>(0x8002000Eu),
  kParamNotOptional = static_cast<int32_t>(0x8002000Fu),
  kClassString = static_cast<int32_t>(0x800401F3u),
  kClassNotRegistered = static_cast<int32_t>(0x80040154u),
  kNoAggregation = static_cast<int32_t>(0x80040110u),
  kConnectNoConnection = static_cast<int32_t>(0x80040200u),
  kConnectAdviseLimit = static_cast<int32_t>(0x80040201u),
  kConnectCannotConnect = static_cast<int32_t>(0x80040202u),
  kRpcDisconnected = static_cast<int32_t>(0x80010108u),
  kRpcServerUnavailable = static_cast<int32_t>(0x800706BAu),
  kRpcCallRejected = static_cast<int32_t>(0x80010001u),
};
}  // namespace hr

// The scode a run-time error carries when it reaches a client: 0x800A0000 + number.
constexpr HResult ScodeOfRuntimeError(int32_t number) {
  return static_cast<HResult>(0x800A0000u + static_cast<uint32_t>(number & 0xFFFF));
}

// A short symbolic name and text for an HRESULT, for logs and client messages.
std::string_view HResultName(HResult value);
std::string HResultText(HResult value);

inline bool Failed(HResult value) { return value < 0; }

}  // namespace quillon
