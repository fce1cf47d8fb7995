// Portable names for the error codes code above the platform layer reports
// itself (a start on a running server, a file that shrank mid-send ...).
// Each maps to the platform's own code, so the text SystemErrorText gives
// for it is the system's usual one on every platform.
#pragma once

namespace zevra::platform {

enum class ErrorName {
  kAlreadyRunning,     // the object is started already
  kNotRunning,         // the object is not started
  kInvalidArgument,    // an argument cannot be used
  kTryAgain,           // a resource is short for now (threads, for instance)
  kWouldDeadlock,      // the call would wait for the calling thread itself
  kOutOfMemory,        // an allocation failed
  kIoError,            // a read or write failed or came up short
  kSystemOutOfFiles,   // the whole system's table of open files is full
};

// The platform's code for the name (an errno value on POSIX).
int ErrorCodeOf(ErrorName name);

}  // namespace zevra::platform
