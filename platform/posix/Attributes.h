// The Windows attribute word of a POSIX file, derived from its mode.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "platform/File.h"

namespace zevra::platform {

// A folder is kAttributeDirectory; a regular file is kAttributeArchive (a
// file Windows has not backed up yet), with kAttributeReadOnly when nobody
// may write it. Devices, FIFOs and sockets carry no bit of either, so a
// filter on the usual file bits skips them as Windows has no such files.
inline uint32_t AttributesFromMode(mode_t mode) {
  if (S_ISDIR(mode)) return kAttributeDirectory;
  if (!S_ISREG(mode)) return 0;
  uint32_t attributes = kAttributeArchive;
  if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attributes |= kAttributeReadOnly;
  return attributes;
}

}  // namespace zevra::platform
