// The OS types the portable code may name without knowing them: the handle
// a File holds and the path separator. Each OS defines them once in its own
// folder; nothing here includes an OS header.
#pragma once

#if defined(_WIN32)
#include "platform/win32/NativeTypes.h"
#else
#include "platform/posix/NativeTypes.h"
#endif
