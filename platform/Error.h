// Portable names for the failures the portable code reports itself (a
// server started twice, a file that shrank under a send …). Each OS maps a
// name to its own code, so LastErrorCode, SystemErrorText and the logs show
// the system's own number and wording; no errno or Win32 constant leaves
// platform/<os>/.
#pragma once

namespace zevra::platform {

enum class ErrorName {
  kAccessDenied,       // a path that is there but is not served (a device, a FIFO)
  kAlreadyInProgress,  // the operation has been started already
  kWouldDeadlock,      // the caller would wait for itself
  kNotConnected,       // nothing is running that the operation could act on
  kInvalidArgument,
  kNoMemory,
  kTryAgain,           // a resource is short for the moment (a thread could not be made)
  kTooManyOpenFiles,   // the system's table of open files is full
  kEndOfFile,          // the file ends before the offset asked for
  kNotFound,
  kIsDirectory,
  kNotSupported,
};

// The OS's error code for the name.
int ErrorCodeOf(ErrorName name);

}  // namespace zevra::platform
