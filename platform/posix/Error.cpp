#include "platform/Error.h"

#include <cerrno>

namespace zevra::platform {

int ErrorCodeOf(ErrorName name) {
  switch (name) {
    case ErrorName::kAccessDenied: return EACCES;
    case ErrorName::kAlreadyInProgress: return EALREADY;
    case ErrorName::kWouldDeadlock: return EDEADLK;
    case ErrorName::kNotConnected: return ENOTCONN;
    case ErrorName::kInvalidArgument: return EINVAL;
    case ErrorName::kNoMemory: return ENOMEM;
    case ErrorName::kTryAgain: return EAGAIN;
    case ErrorName::kTooManyOpenFiles: return ENFILE;
    // A read past the end is an I/O error to whoever expected the bytes.
    case ErrorName::kEndOfFile: return EIO;
    case ErrorName::kNotFound: return ENOENT;
    case ErrorName::kIsDirectory: return EISDIR;
    case ErrorName::kNotSupported: return ENOSYS;
  }
  return EINVAL;
}

}  // namespace zevra::platform
