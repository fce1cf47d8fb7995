#include "platform/Error.h"

#include <winsock2.h>
#include <windows.h>

namespace zevra::platform {

int ErrorCodeOf(ErrorName name) {
  switch (name) {
    case ErrorName::kAccessDenied: return ERROR_ACCESS_DENIED;
    case ErrorName::kAlreadyInProgress: return ERROR_ALREADY_INITIALIZED;
    case ErrorName::kWouldDeadlock: return ERROR_POSSIBLE_DEADLOCK;
    case ErrorName::kNotConnected: return ERROR_NOT_READY;
    case ErrorName::kInvalidArgument: return ERROR_INVALID_PARAMETER;
    case ErrorName::kNoMemory: return ERROR_NOT_ENOUGH_MEMORY;
    case ErrorName::kTryAgain: return ERROR_NO_SYSTEM_RESOURCES;
    case ErrorName::kTooManyOpenFiles: return WSAEMFILE;  // what Winsock reports for a full table
    case ErrorName::kEndOfFile: return ERROR_HANDLE_EOF;
    case ErrorName::kNotFound: return ERROR_FILE_NOT_FOUND;
    case ErrorName::kIsDirectory: return ERROR_DIRECTORY;
    case ErrorName::kNotSupported: return ERROR_CALL_NOT_IMPLEMENTED;
  }
  return ERROR_INVALID_PARAMETER;
}

}  // namespace zevra::platform
