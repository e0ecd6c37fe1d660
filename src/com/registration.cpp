#include "com/registration.h"

#include <string>

namespace quillon::com {
namespace {

std::wstring Wide(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

void DeleteTree(const std::wstring& key) { RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str()); }

}  // namespace

HRESULT RegisterServer(const TypeLibrary& library, ITypeLib* type_library, const std::wstring& executable) {
  const std::wstring version = std::to_wstring(library.major_version);
  const std::wstring full_version = version + L"." + std::to_wstring(library.minor_version);
  bool written = true;
  for (const ClassInfo& info : library.classes) {
    if (!info.creatable) continue;  // reached only through another class's member
    const std::wstring clsid = Wide(info.clsid);
    const std::wstring progid = Wide(info.progid);
    const std::wstring versioned = progid + L"." + version;
    const std::wstring name = Wide(library.name) + L" " + Wide(info.name);
    const std::wstring key = L"CLSID\\" + clsid;
    written = written && SetValue(key, nullptr, name) &&
              SetValue(key + L"\\LocalServer32", nullptr, L"\"" + executable + L"\"") &&
              SetValue(key + L"\\ProgID", nullptr, versioned) &&
              SetValue(key + L"\\VersionIndependentProgID", nullptr, progid) &&
              SetValue(key + L"\\TypeLib", nullptr, Wide(library.libid)) &&
              SetValue(key + L"\\Version", nullptr, full_version) && SetValue(progid, nullptr, name) &&
              SetValue(progid + L"\\CLSID", nullptr, clsid) && SetValue(progid + L"\\CurVer", nullptr, versioned) &&
              SetValue(versioned, nullptr, name) && SetValue(versioned + L"\\CLSID", nullptr, clsid);
  }
  if (!written) return SELFREG_E_CLASS;
  // The library and its interfaces, marshaled by oleaut32 from the library.
  std::wstring path = executable;
  return RegisterTypeLib(type_library, path.data(), nullptr);
}

HRESULT UnregisterServer(const TypeLibrary& library) {
  for (const ClassInfo& info : library.classes) {
    if (!info.creatable) continue;
    const std::wstring progid = Wide(info.progid);
    DeleteTree(L"CLSID\\" + Wide(info.clsid));
    DeleteTree(progid);
    DeleteTree(progid + L"." + std::to_wstring(library.major_version));
  }
  GUID libid = GUID_NULL;
  CLSIDFromString(Wide(library.libid).c_str(), &libid);
  const HRESULT status =
      UnRegisterTypeLib(libid, library.major_version, library.minor_version, library.lcid, SYS_WIN64);
  return status == TYPE_E_REGISTRYACCESS ? S_OK : status;  // already gone
}

}  // namespace quillon::com
