// Run-time error numbers and HRESULTs that cross the automation boundary.
// Every number a client can see is defined here, with its text, in one table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// Run-time errors, numbered as scripting hosts number them.
namespace rt {
inline constexpr int32_t kInvalidProcedureCall = 5;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kOutOfMemory = 7;
inline constexpr int32_t kSubscriptOutOfRange = 9;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kBadFileNameOrNumber = 52;
inline constexpr int32_t kFileNotFound = 53;
inline constexpr int32_t kDeviceIOError = 57;
inline constexpr int32_t kDiskFull = 61;
inline constexpr int32_t kBadRecordNumber = 63;
inline constexpr int32_t kTooManyFiles = 67;
inline constexpr int32_t kPermissionDenied = 70;
inline constexpr int32_t kPathFileAccessError = 75;
inline constexpr int32_t kPathNotFound = 76;
inline constexpr int32_t kInvalidUseOfNull = 94;
inline constexpr int32_t kKeyAlreadyInUse = 457;
}  // namespace rt

// The standard description of a run-time error number ("Application-defined or
// object-defined error" for numbers outside the table).
std::u16string_view RuntimeErrorDescription(int32_t number);

using HResult = int32_t;

namespace hr {
inline constexpr HResult kOk = 0;
inline constexpr HResult kFalse = 1;
inline constexpr HResult kNotImpl = static_cast<HResult>(0x80004001);
inline constexpr HResult kNoInterface = static_cast<HResult>(0x80004002);
inline constexpr HResult kPointer = static_cast<HResult>(0x80004003);
inline constexpr HResult kFail = static_cast<HResult>(0x80004005);
inline constexpr HResult kOutOfMemory = static_cast<HResult>(0x8007000E);
inline constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057);
inline constexpr HResult kUnknownInterface = static_cast<HResult>(0x80020001);
inline constexpr HResult kMemberNotFound = static_cast<HResult>(0x80020003);
inline constexpr HResult kParamNotFound = static_cast<HResult>(0x80020004);
inline constexpr HResult kTypeMismatch = static_cast<HResult>(0x80020005);
inline constexpr HResult kUnknownName = static_cast<HResult>(0x80020006);
inline constexpr HResult kNoNamedArgs = static_cast<HResult>(0x80020007);
inline constexpr HResult kBadVarType = static_cast<HResult>(0x80020008);
inline constexpr HResult kException = static_cast<HResult>(0x80020009);
inline constexpr HResult kOverflow = static_cast<HResult>(0x8002000A);
inline constexpr HResult kBadIndex = static_cast<HResult>(0x8002000B);
inline constexpr HResult kBadParamCount = static_cast<HResult>(0x8002000E);
inline constexpr HResult kParamNotOptional = static_cast<HResult>(0x8002000F);
inline constexpr HResult kClassString = static_cast<HResult>(0x800401F3);
inline constexpr HResult kClassNotRegistered = static_cast<HResult>(0x80040154);
inline constexpr HResult kNoAggregation = static_cast<HResult>(0x80040110);
inline constexpr HResult kConnectNoConnection = static_cast<HResult>(0x80040200);
inline constexpr HResult kConnectAdviseLimit = static_cast<HResult>(0x80040201);
inline constexpr HResult kConnectCannotConnect = static_cast<HResult>(0x80040202);
inline constexpr HResult kRpcDisconnected = static_cast<HResult>(0x80010108);
inline constexpr HResult kRpcServerUnavailable = static_cast<HResult>(0x800706BA);
inline constexpr HResult kRpcCallRejected = static_cast<HResult>(0x80010001);
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
