#include "server/cgi/CgiCommand.h"

#include "platform/System.h"

namespace zevra {

std::vector<std::string> SplitProgramSetting(std::string_view setting, const std::string_view* scriptPath) {
  const size_t placeholder = scriptPath != nullptr ? setting.find("%s") : std::string_view::npos;
  std::vector<std::string> arguments;
  std::string current;
  bool started = false;  // an argument is open (possibly empty, from "")
  bool quoted = false;
  for (size_t i = 0; i < setting.size(); ++i) {
    char c = setting[i];
    if (i == placeholder) {
      current.append(*scriptPath);
      started = true;
      ++i;  // the 's'
    } else if (c == '"') {
      quoted = !quoted;
      started = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (started) arguments.push_back(std::move(current));
      current.clear();
      started = false;
    } else {
      current += c;
      started = true;
    }
  }
  if (started) arguments.push_back(std::move(current));
  return arguments;
}

CgiCommand BuildCgiCommand(std::string_view setting, std::string_view scriptPath) {
  CgiCommand command;
  command.arguments = SplitProgramSetting(setting, &scriptPath);

  // The working directory is the program's own directory, read from the
  // setting before the script path goes in.
  std::vector<std::string> raw = SplitProgramSetting(setting, nullptr);
  if (!raw.empty()) {
    size_t cut = raw[0].rfind(platform::kPathSeparator);
    if (cut != std::string::npos) command.workingDirectory = raw[0].substr(0, cut + 1);
  }

  command.commandLine = std::string(setting);
  size_t placeholder = setting.find("%s");
  if (placeholder != std::string_view::npos) {
    std::string quotedPath = "\"";
    quotedPath += scriptPath;
    quotedPath += '"';
    command.commandLine.replace(placeholder, 2, quotedPath);
  }
  return command;
}

}  // namespace zevra
