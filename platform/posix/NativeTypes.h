// POSIX: a file is a descriptor, paths are separated by '/'.
#pragma once

namespace zevra::platform {

using NativeFile = int;
inline constexpr NativeFile kNoFile = -1;

inline constexpr char kPathSeparator = '/';

}  // namespace zevra::platform
