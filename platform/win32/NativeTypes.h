// Windows: a file is a HANDLE (held as void* so that windows.h stays out of
// the portable code), paths are separated by '\'.
#pragma once

#include <cstdint>

namespace zevra::platform {

using NativeFile = void*;
// INVALID_HANDLE_VALUE: what CreateFileW returns on failure.
inline const NativeFile kNoFile = reinterpret_cast<NativeFile>(static_cast<intptr_t>(-1));

inline constexpr char kPathSeparator = '\\';

}  // namespace zevra::platform
