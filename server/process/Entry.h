// The process entry: start-up in its fixed order, then the one action of the
// recognised command. Never returns: every path ends the process with its
// exit code, except the worker, which blocks for ever.
#pragma once

namespace zevra {

[[noreturn]] void RunServer(int argc, char** argv);

}  // namespace zevra
