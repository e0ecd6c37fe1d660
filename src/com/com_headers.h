// The Windows and OLE Automation headers the COM front end uses, included once
// and before any of the project's: <objbase.h> defines `interface` as a macro,
// which would rename ClassInfo::interface in the core's headers.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>
#include <dispex.h>

#undef interface
