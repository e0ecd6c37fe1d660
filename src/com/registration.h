// /RegServer and /UnregServer: the class, ProgID and type-library entries under
// HKEY_CLASSES_ROOT (where COM looks when it starts a local server).
#pragma once

#include "com/com_headers.h"

#include <string>

#include "core/type_library.h"

namespace quillon::com {

// For each creatable class: CLSID\{clsid} with LocalServer32, ProgID,
// VersionIndependentProgID, TypeLib and Version; the ProgID with CLSID and
// CurVer, and the versioned ProgID. Then the type library, with its
// interfaces marshaled by oleaut32.
HRESULT RegisterServer(const TypeLibrary& library, ITypeLib* type_library, const std::wstring& executable);
// Removes what RegisterServer wrote; what is already gone is no failure.
HRESULT UnregisterServer(const TypeLibrary& library);

}  // namespace quillon::com
