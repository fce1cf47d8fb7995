// Interim worker role: refuses to start until the real worker lands in this
// file, so that `/worker` never pretends to serve.
#include "server/process/Worker.h"

#include "platform/System.h"
#include "server/response/Logs.h"

namespace zevra {

void StartWorker() {
  AppendErrorLog("[Worker] Error(10007) Unable to create server object.");
  platform::TerminateSelf(10007);
}

}  // namespace zevra
