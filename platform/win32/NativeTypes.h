// Windows: a file is a HANDLE (held as void* so that windows.h stays out of
// the portable code), paths are separated by '\'.
#pragma once

#include <cstdint>

namespace zevra::platform {

using NativeFile = void*;
// INVALID_HANDLE_VALUE: what CreateFileW returns on failure.
inline const NativeFile kNoFile = reinterpret_cast<NativeFile>(static_cast<intptr_t>(-1));
// A file handle carried through an integer (the socket library's C
// interface takes files as intptr_t).
inline NativeFile NativeFileFromInteger(intptr_t value) { return reinterpret_cast<NativeFile>(value); }
inline intptr_t NativeFileToInteger(NativeFile file) { return reinterpret_cast<intptr_t>(file); }

inline constexpr char kPathSeparator = '\\';

}  // namespace zevra::platform
