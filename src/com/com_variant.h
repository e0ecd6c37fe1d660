// VARIANT <-> Variant, both ways, for calls coming in and events going out.
#pragma once

#include "com/com_headers.h"

#include "core/variant.h"

namespace quillon::com {

// How objects cross: the server's own objects travel as the COM objects that
// wrap them.
class ObjectMarshal {
 public:
  virtual ~ObjectMarshal() = default;
  // A new reference to the COM object for `object` (null for Nothing).
  virtual IDispatch* Wrap(const Variant::Object& object) = 0;
  // The server's object behind `dispatch`, or null when it is not one of ours.
  virtual Variant::Object Unwrap(IDispatch* dispatch) = 0;
};

// Reads a value a client passed (by reference or not). Arrays of any element
// type arrive as arrays of variants, except arrays of bytes; a JScript array
// (an object with "length" and numbered members) arrives as an array of variants too.
// DISP_E_TYPEMISMATCH for what has no Variant (a foreign object, an array of
// more than one dimension), DISP_E_BADVARTYPE for an unknown type.
HRESULT FromVariant(const VARIANT& in, Variant* out, ObjectMarshal& objects);

// Writes `in` into `out`, which holds nothing (VT_EMPTY, nothing to free).
HRESULT ToVariant(const Variant& in, VARIANT* out, ObjectMarshal& objects);

// Writes `value` back through a by-reference argument, converting it to the
// argument's own type where that is not VARIANT.
HRESULT WriteBack(const Variant& value, VARIANT& by_reference, ObjectMarshal& objects);

}  // namespace quillon::com
