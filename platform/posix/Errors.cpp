#include "platform/Errors.h"

#include <cerrno>

namespace zevra::platform {

int ErrorCodeOf(ErrorName name) {
  switch (name) {
    case ErrorName::kAlreadyRunning: return EALREADY;
    case ErrorName::kNotRunning: return ENOTCONN;
    case ErrorName::kInvalidArgument: return EINVAL;
    case ErrorName::kTryAgain: return EAGAIN;
    case ErrorName::kWouldDeadlock: return EDEADLK;
    case ErrorName::kOutOfMemory: return ENOMEM;
    case ErrorName::kIoError: return EIO;
    case ErrorName::kSystemOutOfFiles: return ENFILE;
  }
  return EINVAL;
}

}  // namespace zevra::platform
