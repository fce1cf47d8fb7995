#include "server/core/ProgramPaths.h"

#include "platform/System.h"
#include "server/core/Runtime.h"

namespace zevra {

std::string JoinPath(std::string_view base, std::initializer_list<std::string_view> parts) {
  size_t length = base.size();
  for (std::string_view part : parts) length += part.size() + 1;
  std::string path;
  path.reserve(length);
  path += base;
  for (std::string_view part : parts) {
    path += platform::kPathSeparator;
    path += part;
  }
  return path;
}

std::string ProgramPath(std::initializer_list<std::string_view> parts) {
  return JoinPath(g_startup.programDirectory, parts);
}

std::string PidFilePath() { return ProgramPath({"Zevra.pid"}); }

std::string SpoolPath(std::string_view prefix, uint64_t number) {
  std::string name(prefix);
  name += std::to_string(number);
  name += ".Zevra";
  return ProgramPath({"WebTemp", name});
}

std::string SpoolFilePath(uint64_t spoolNumber, bool done) {
  return SpoolPath(done ? "Done_" : "Recving_", spoolNumber);
}

}  // namespace zevra
