// The few Win32 declarations the driver uses. On Windows they come from the
// system headers; elsewhere from our own POSIX layer with the same names, so the
// driver code is plain Win32 code in both builds.
#ifndef QV_PLATFORM_WIN32_H
#define QV_PLATFORM_WIN32_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#define QV_PATH_SEPARATOR '\\'
#define QV_PATH_SEPARATOR_TEXT "\\"
#else
#include "platform/posix/win32_api.h"
#define QV_PATH_SEPARATOR '/'
#define QV_PATH_SEPARATOR_TEXT "/"
#endif

#endif
