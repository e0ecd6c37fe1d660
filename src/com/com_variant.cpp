#include "com/com_variant.h"

#include <cstring>
#include <string>
#include <vector>

namespace quillon::com {
namespace {

// A JScript array has no SAFEARRAY behind it: its length and its elements are
// members named "length", "0", "1"...
constexpr int32_t kLargestScriptArray = 1 << 24;

HRESULT GetMember(IDispatch* object, const std::wstring& name, VARIANT* value) {
  DISPID dispid = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
  HRESULT status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
  if (FAILED(status)) return status;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value, nullptr,
                        nullptr);
}

HRESULT FromScriptArray(IDispatch* object, Variant* out, ObjectMarshal& objects) {
  VARIANT length;
  VariantInit(&length);
  if (FAILED(GetMember(object, L"length", &length))) return DISP_E_TYPEMISMATCH;
  const HRESULT converted = VariantChangeType(&length, &length, 0, ::VT_I4);
  const int32_t count = SUCCEEDED(converted) ? V_I4(&length) : -1;
  VariantClear(&length);
  if (count < 0 || count > kLargestScriptArray) return DISP_E_TYPEMISMATCH;
  std::vector<Variant> items(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    VARIANT item;
    VariantInit(&item);
    if (FAILED(GetMember(object, std::to_wstring(i), &item))) continue;  // a hole reads as Empty
    const HRESULT status = FromVariant(item, &items[static_cast<size_t>(i)], objects);
    VariantClear(&item);
    if (FAILED(status)) return status;
  }
  *out = Variant::Array(std::move(items));
  return S_OK;
}

HRESULT FromSafeArray(VARTYPE element, SAFEARRAY* array, Variant* out, ObjectMarshal& objects) {
  if (array == nullptr) {
    *out = Variant::Array({});
    return S_OK;
  }
  if (SafeArrayGetDim(array) != 1) return DISP_E_TYPEMISMATCH;
  LONG lower = 0;
  LONG upper = -1;
  if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) {
    return DISP_E_TYPEMISMATCH;
  }
  const size_t count = upper >= lower ? static_cast<size_t>(int64_t{upper} - lower + 1) : 0;
  if (element == ::VT_UI1) {
    std::vector<uint8_t> bytes(count);
    void* data = nullptr;
    if (count > 0) {
      if (FAILED(SafeArrayAccessData(array, &data))) return DISP_E_TYPEMISMATCH;
      std::memcpy(bytes.data(), data, count);
      SafeArrayUnaccessData(array);
    }
    *out = Variant::Bytes(std::move(bytes));
    return S_OK;
  }
  if (element == ::VT_DECIMAL || element == ::VT_RECORD) return DISP_E_TYPEMISMATCH;
  std::vector<Variant> items(count);
  for (size_t i = 0; i < count; ++i) {
    LONG index = lower + static_cast<LONG>(i);
    VARIANT item;
    VariantInit(&item);
    HRESULT status;
    if (element == ::VT_VARIANT) {
      status = SafeArrayGetElement(array, &index, &item);
    } else {
      // Every other element type fits the VARIANT's value field, which all its members share.
      status = SafeArrayGetElement(array, &index, &item.llVal);
      if (SUCCEEDED(status)) V_VT(&item) = element;
    }
    if (SUCCEEDED(status)) status = FromVariant(item, &items[i], objects);
    VariantClear(&item);
    if (FAILED(status)) return status;
  }
  *out = Variant::Array(std::move(items), lower);
  return S_OK;
}

// A number of a type the system's variants do not have, as I4 where it fits, else R8.
HRESULT FromOtherNumber(const VARIANT& in, Variant* out) {
  VARIANT copy;
  VariantInit(&copy);
  const VARTYPE type = V_VT(&in);
  const bool integral = type == ::VT_I1 || type == ::VT_UI2 || type == ::VT_UI4 || type == ::VT_I8 || type == ::VT_UI8 ||
                        type == ::VT_INT || type == ::VT_UINT;
  if (integral && SUCCEEDED(VariantChangeType(&copy, const_cast<VARIANT*>(&in), 0, ::VT_I4))) {
    *out = Variant::I4(V_I4(&copy));
    return S_OK;
  }
  const HRESULT status = VariantChangeType(&copy, const_cast<VARIANT*>(&in), 0, ::VT_R8);
  if (FAILED(status)) return status == DISP_E_OVERFLOW ? status : DISP_E_TYPEMISMATCH;
  *out = Variant::R8(V_R8(&copy));
  return S_OK;
}

BSTR MakeBstr(const std::u16string& text) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
}

HRESULT MakeVariantArray(size_t count, int32_t lower_bound, SAFEARRAY** out, VARIANT** data) {
  SAFEARRAYBOUND bound = {static_cast<ULONG>(count), lower_bound};
  SAFEARRAY* array = SafeArrayCreate(::VT_VARIANT, 1, &bound);
  if (array == nullptr) return E_OUTOFMEMORY;
  if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(data)))) {
    SafeArrayDestroy(array);
    return E_OUTOFMEMORY;
  }
  *out = array;
  return S_OK;
}

}  // namespace

HRESULT FromVariant(const VARIANT& in, Variant* out, ObjectMarshal& objects) {
  const VARTYPE type = V_VT(&in);
  if (type == (::VT_BYREF | ::VT_VARIANT)) {
    if (V_VARIANTREF(&in) == nullptr) return E_POINTER;
    return FromVariant(*V_VARIANTREF(&in), out, objects);
  }
  if (type & ::VT_BYREF) {
    VARIANT value;
    VariantInit(&value);
    HRESULT status = VariantCopyInd(&value, const_cast<VARIANT*>(&in));
    if (SUCCEEDED(status)) status = FromVariant(value, out, objects);
    VariantClear(&value);
    return status;
  }
  if (type & ::VT_ARRAY) return FromSafeArray(static_cast<VARTYPE>(type & ::VT_TYPEMASK), V_ARRAY(&in), out, objects);
  switch (type) {
    case ::VT_EMPTY: *out = Variant(); return S_OK;
    case ::VT_NULL: *out = Variant::Null(); return S_OK;
    case ::VT_I2: *out = Variant::I2(V_I2(&in)); return S_OK;
    case ::VT_I4: *out = Variant::I4(V_I4(&in)); return S_OK;
    case ::VT_R4: *out = Variant::R4(V_R4(&in)); return S_OK;
    case ::VT_R8: *out = Variant::R8(V_R8(&in)); return S_OK;
    case ::VT_DATE: *out = Variant::Date(V_DATE(&in)); return S_OK;
    case ::VT_BOOL: *out = Variant::Bool(V_BOOL(&in) != VARIANT_FALSE); return S_OK;
    case ::VT_UI1: *out = Variant::UI1(V_UI1(&in)); return S_OK;
    case ::VT_ERROR: *out = Variant::Error(V_ERROR(&in)); return S_OK;
    case ::VT_BSTR: {
      const BSTR text = V_BSTR(&in);
      *out = Variant::Bstr(text == nullptr ? std::u16string()
                                           : std::u16string(reinterpret_cast<const char16_t*>(text), SysStringLen(text)));
      return S_OK;
    }
    case ::VT_DISPATCH:
    case ::VT_UNKNOWN: {
      IUnknown* unknown = V_UNKNOWN(&in);
      if (unknown == nullptr) {
        *out = Variant::FromObject(nullptr);
        return S_OK;
      }
      IDispatch* dispatch = nullptr;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
        return DISP_E_TYPEMISMATCH;
      }
      HRESULT status = S_OK;
      if (Variant::Object own = objects.Unwrap(dispatch)) {
        *out = Variant::FromObject(std::move(own));
      } else {
        status = FromScriptArray(dispatch, out, objects);
      }
      dispatch->Release();
      return status;
    }
    case ::VT_I1:
    case ::VT_UI2:
    case ::VT_UI4:
    case ::VT_I8:
    case ::VT_UI8:
    case ::VT_INT:
    case ::VT_UINT:
    case ::VT_CY:
    case ::VT_DECIMAL:
      return FromOtherNumber(in, out);
    default:
      return DISP_E_BADVARTYPE;
  }
}

HRESULT ToVariant(const Variant& in, VARIANT* out, ObjectMarshal& objects) {
  VariantInit(out);
  if (in.is_packed()) {
    const PackedArray& packed = in.packed();
    SAFEARRAY* array = nullptr;
    VARIANT* data = nullptr;
    if (HRESULT status = MakeVariantArray(packed.size(), 0, &array, &data); FAILED(status)) return status;
    HRESULT status = S_OK;
    for (size_t i = 0; i < packed.size() && SUCCEEDED(status); ++i) status = ToVariant(packed.At(i), &data[i], objects);
    SafeArrayUnaccessData(array);
    if (FAILED(status)) return SafeArrayDestroy(array), status;
    V_VT(out) = ::VT_ARRAY | ::VT_VARIANT;
    V_ARRAY(out) = array;
    return S_OK;
  }
  switch (in.vt()) {
    case quillon::VT_EMPTY: return S_OK;
    case quillon::VT_NULL: V_VT(out) = ::VT_NULL; return S_OK;
    case quillon::VT_I2: V_VT(out) = ::VT_I2; V_I2(out) = in.i2(); return S_OK;
    case quillon::VT_I4: V_VT(out) = ::VT_I4; V_I4(out) = in.i4(); return S_OK;
    case quillon::VT_R4: V_VT(out) = ::VT_R4; V_R4(out) = in.r4(); return S_OK;
    case quillon::VT_R8: V_VT(out) = ::VT_R8; V_R8(out) = in.r8(); return S_OK;
    case quillon::VT_DATE: V_VT(out) = ::VT_DATE; V_DATE(out) = in.date(); return S_OK;
    case quillon::VT_BOOL: V_VT(out) = ::VT_BOOL; V_BOOL(out) = in.boolean() ? VARIANT_TRUE : VARIANT_FALSE; return S_OK;
    case quillon::VT_UI1: V_VT(out) = ::VT_UI1; V_UI1(out) = in.ui1(); return S_OK;
    case quillon::VT_ERROR: V_VT(out) = ::VT_ERROR; V_ERROR(out) = in.scode(); return S_OK;
    case quillon::VT_BSTR: {
      BSTR text = MakeBstr(in.bstr());
      if (text == nullptr) return E_OUTOFMEMORY;
      V_VT(out) = ::VT_BSTR;
      V_BSTR(out) = text;
      return S_OK;
    }
    case quillon::VT_DISPATCH:
      V_VT(out) = ::VT_DISPATCH;
      V_DISPATCH(out) = in.object() ? objects.Wrap(in.object()) : nullptr;
      return S_OK;
    default:
      break;
  }
  if (in.vt() == (quillon::VT_ARRAY | quillon::VT_UI1)) {
    const std::vector<uint8_t>& bytes = in.bytes();
    SAFEARRAYBOUND bound = {static_cast<ULONG>(bytes.size()), 0};
    SAFEARRAY* array = SafeArrayCreate(::VT_UI1, 1, &bound);
    if (array == nullptr) return E_OUTOFMEMORY;
    void* data = nullptr;
    if (!bytes.empty()) {
      if (FAILED(SafeArrayAccessData(array, &data))) return SafeArrayDestroy(array), E_OUTOFMEMORY;
      std::memcpy(data, bytes.data(), bytes.size());
      SafeArrayUnaccessData(array);
    }
    V_VT(out) = ::VT_ARRAY | ::VT_UI1;
    V_ARRAY(out) = array;
    return S_OK;
  }
  if (in.vt() == (quillon::VT_ARRAY | quillon::VT_VARIANT)) {
    const VariantArray& items = in.array();
    SAFEARRAY* array = nullptr;
    VARIANT* data = nullptr;
    if (HRESULT status = MakeVariantArray(items.items.size(), items.lower_bound, &array, &data); FAILED(status)) {
      return status;
    }
    HRESULT status = S_OK;
    for (size_t i = 0; i < items.items.size() && SUCCEEDED(status); ++i) {
      status = ToVariant(items.items[i], &data[i], objects);
    }
    SafeArrayUnaccessData(array);
    if (FAILED(status)) return SafeArrayDestroy(array), status;
    V_VT(out) = ::VT_ARRAY | ::VT_VARIANT;
    V_ARRAY(out) = array;
    return S_OK;
  }
  return DISP_E_BADVARTYPE;
}

HRESULT WriteBack(const Variant& value, VARIANT& by_reference, ObjectMarshal& objects) {
  const VARTYPE type = V_VT(&by_reference);
  if ((type & ::VT_BYREF) == 0) return S_OK;
  VARIANT fresh;
  HRESULT status = ToVariant(value, &fresh, objects);
  if (FAILED(status)) return status;
  if (type == (::VT_BYREF | ::VT_VARIANT)) {
    VARIANT* target = V_VARIANTREF(&by_reference);
    VariantClear(target);
    *target = fresh;  // the target takes over what `fresh` holds
    return S_OK;
  }
  const VARTYPE base = static_cast<VARTYPE>(type & ~::VT_BYREF);
  if ((base & ::VT_ARRAY) == 0) status = VariantChangeType(&fresh, &fresh, 0, base);
  if (FAILED(status)) {
    VariantClear(&fresh);
    return status;
  }
  switch (base) {
    case ::VT_I2: *V_I2REF(&by_reference) = V_I2(&fresh); break;
    case ::VT_I4: *V_I4REF(&by_reference) = V_I4(&fresh); break;
    case ::VT_R4: *V_R4REF(&by_reference) = V_R4(&fresh); break;
    case ::VT_R8: *V_R8REF(&by_reference) = V_R8(&fresh); break;
    case ::VT_DATE: *V_DATEREF(&by_reference) = V_DATE(&fresh); break;
    case ::VT_BOOL: *V_BOOLREF(&by_reference) = V_BOOL(&fresh); break;
    case ::VT_UI1: *V_UI1REF(&by_reference) = V_UI1(&fresh); break;
    case ::VT_BSTR:
      SysFreeString(*V_BSTRREF(&by_reference));
      *V_BSTRREF(&by_reference) = V_BSTR(&fresh);
      return S_OK;  // the target owns the text now
    default:
      // An array or an object by reference of its own type is left as it was.
      break;
  }
  VariantClear(&fresh);
  return S_OK;
}

}  // namespace quillon::com
