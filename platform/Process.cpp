// What every OS's child processes share: ownership moves with the handle.
#include "platform/Process.h"

#include <utility>

namespace zevra::platform {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      crash_(std::exchange(other.crash_, ExitReason{})),
      inputPending_(std::exchange(other.inputPending_, false)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      native_(std::move(other.native_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    pid_ = std::exchange(other.pid_, -1);
    crash_ = std::exchange(other.crash_, ExitReason{});
    inputPending_ = std::exchange(other.inputPending_, false);
    input_ = std::move(other.input_);
    output_ = std::move(other.output_);
    native_ = std::move(other.native_);
  }
  return *this;
}

}  // namespace zevra::platform
