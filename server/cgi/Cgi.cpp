// The CGI gateway: checks the script, builds the command and environment,
// opens the body, starts one child per request and hands it to the relay.
#include "server/cgi/Cgi.h"

#include <algorithm>

#include "platform/File.h"
#include "platform/Process.h"
#include "platform/System.h"
#include "server/cgi/CgiCommand.h"
#include "server/cgi/CgiEnvironment.h"
#include "server/cgi/CgiRelay.h"
#include "server/core/OsDetail.h"
#include "server/core/ProgramPaths.h"
#include "server/response/ErrorPages.h"
#include "server/response/Logs.h"

namespace zevra {
namespace {

// Opens the POST body; an empty input when it is missing or unreadable.
CgiInput OpenBody(const CgiBodySource& body) {
  if (body.length <= 0) return CgiInput();
  if (body.kind == CgiBodySource::kMemory) {
    if (body.data == nullptr) return CgiInput();
    return CgiInput::FromMemory(std::string_view(body.data, static_cast<size_t>(body.length)));
  }
  if (body.kind == CgiBodySource::kSpooled) {
    platform::File file = platform::File::OpenRead(SpoolFilePath(body.spoolNumber, true));
    // A spool file shorter than the declared body cannot give it whole.
    if (!file.IsOpen() || file.Size() < body.length) return CgiInput();
    return CgiInput::FromFile(std::move(file), body.length);
  }
  return CgiInput();
}

}  // namespace

void RunCgi(ConnId conn, HttpRequest& request, ResponseHead& response, std::string& requestPath,
            std::string& scriptPath, std::string& documentRoot, std::string& cgiProgram,
            const CgiBodySource& body) {
  if (documentRoot.empty() || documentRoot.back() != platform::kPathSeparator) {
    documentRoot += platform::kPathSeparator;
  }

  // HEAD runs the script like GET (the program sees REQUEST_METHOD=HEAD)
  // and gets the head alone; nothing else reaches a program.
  const std::string& method = request.Method;
  const bool isPost = method == "POST";
  if (method != "GET" && method != "HEAD" && !isPost) {
    SendErrorPage(405, request, response, conn);
    return;
  }

  // The script path goes into the program's command line: where that is
  // one text the program splits itself, a quote in it could end the
  // argument early and hand the rest to the program as options.
  if (!platform::PassesAsOneArgument(scriptPath)) {
    SendErrorPage(403, request, response, conn);
    return;
  }

  // Only an existing regular file is run: the interpreter is never started
  // on a path that names nothing, a directory or a device.
  if (int error = platform::RegularFileError(scriptPath); error != 0) {
    SendErrorPage(404, request, response, conn, OsDetail(error));
    return;
  }

  CgiCommand command = BuildCgiCommand(cgiProgram, scriptPath);
  std::string scriptName = requestPath;
  if (platform::kPathSeparator != '/') {
    std::replace(scriptName.begin(), scriptName.end(), platform::kPathSeparator, '/');
  }
  std::string listenAddress;
  uint16_t listenPort = 0;
  if (!Link().ListenAddress(listenAddress, listenPort)) listenAddress.clear();
  const std::string remoteAddress = RemoteAddressText(conn);
  const std::string remotePort = RemotePortText(conn);

  platform::ChildSpec launch;
  launch.environment = BuildCgiEnvironment(method, request, scriptName, scriptPath, request.Query, remoteAddress,
                                         remotePort, listenAddress, documentRoot, request.ContentLength,
                                         request.ContentType, request.ScriptPath, request.Uri);
  launch.arguments = std::move(command.arguments);
  launch.workingDirectory = command.workingDirectory;
  launch.inputPipe = isPost;

  // Until a head of the program replaces them, these hold for its output.
  response.ContentType = "text/html";
  response.ContentEncoding.clear();

  CgiInput input;
  if (isPost) {
    // Checked before anything starts: an empty or unreadable body is
    // answered without running the program at all.
    input = OpenBody(body);
    if (input.Empty()) {
      SendErrorPage(500, request, response, conn, "无法读取 POST 数据。\r\nCGI 程序地址： " + command.commandLine);
      return;
    }
  }

  platform::StartFailure failure = platform::StartFailure::kNone;
  int error = 0;
  platform::ChildProcess child = platform::ChildProcess::Start(launch, failure, error);
  if (!child.IsStarted()) {
    std::string detail;
    switch (failure) {
      case platform::StartFailure::kOutputPipe:
        detail = "无法创建 CGI 程序输出通道。\r\n" + OsDetail(error);
        break;
      case platform::StartFailure::kInputPipe:
        detail = "无法创建 CGI 程序输入通道。\r\n" + OsDetail(error);
        break;
      default:
        detail = "无法启动 CGI 进程。\r\n" + OsDetail(error);
        detail += isPost ? "\r\nCGI 程序地址： " : "\r\n当前网站配置的 CGI 程序地址： ";
        detail += command.commandLine;
        break;
    }
    SendErrorPage(502, request, response, conn, detail);
    return;
  }

  RelayCgiOutput(conn, child, input, request, response, command.commandLine);
}

}  // namespace zevra
