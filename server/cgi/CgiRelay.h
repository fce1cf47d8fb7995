// The CGI output relay: feeds the request body to the child while it
// collects the child's output, splits off the head the program wrote,
// applies the gateway timeout and sends the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/File.h"
#include "platform/Process.h"
#include "server/core/ServerLink.h"
#include "server/core/HttpRequest.h"

namespace zevra {

// Bytes asked for by each read of the output, and the window at the start
// of the output in which the blank line ending the program's head must lie.
inline constexpr size_t kCgiReadPiece = 10240;
// Output up to this size stays in memory; beyond it the relay goes on into
// a spool file in WebTemp, so a flooding program cannot exhaust memory.
inline constexpr int64_t kCgiOutputMemoryLimit = 4 * 1048576;


// The request body on its way to the child's standard input: none, a block
// in memory, or the tail of an open spool file.
class CgiInput {
 public:
  CgiInput() = default;
  static CgiInput FromMemory(std::string_view bytes);
  static CgiInput FromFile(platform::File file, int64_t length);

  bool Empty() const { return length_ == 0; }
  // Writes what the child's input takes right now; closes the input once
  // all is written. False when the child refused its input (it is closed
  // then too) or the spool file could not be read.
  bool Feed(platform::ChildProcess& child);

 private:
  std::string_view memory_;
  platform::File file_;
  int64_t length_ = 0;   // bytes of the body in all
  int64_t written_ = 0;  // bytes the child has taken
  // File bodies pass through this buffer; [bufferStart, bufferEnd) is unsent.
  std::string buffer_;
  size_t bufferStart_ = 0;
  size_t bufferEnd_ = 0;
};

// Runs the child to the end of its output (or the gateway timeout) and
// answers the request: the program's answer, 504 on timeout, 500 when it
// gave no output. commandLine appears in the failure details. The child is
// stopped (its group killed, reaped) before this returns.
void RelayCgiOutput(ConnId conn, platform::ChildProcess& child, CgiInput& input, const HttpRequest& request,
                    ResponseHead& response, std::string_view commandLine);

}  // namespace zevra
