// POSIX: a file is a descriptor, paths are separated by '/'.
#pragma once

#include <cstdint>

namespace zevra::platform {

using NativeFile = int;
inline constexpr NativeFile kNoFile = -1;
// A file handle carried through an integer (the socket library's C
// interface takes files as intptr_t).
inline NativeFile NativeFileFromInteger(intptr_t value) { return static_cast<NativeFile>(value); }
inline intptr_t NativeFileToInteger(NativeFile file) { return static_cast<intptr_t>(file); }

inline constexpr char kPathSeparator = '/';

}  // namespace zevra::platform
