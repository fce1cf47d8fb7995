#include "common/FileReplace.h"

#include "platform/File.h"
#include "platform/System.h"

namespace zevra {

bool ReplaceFileContent(const std::string& path, const std::string& tempPath, std::string_view bytes,
                        int& errorCode) {
  platform::File temp = platform::File::CreateNew(tempPath);
  if (!temp) {
    // Left behind by a save that did not finish: it holds nothing of value.
    platform::RemoveFile(tempPath);
    temp = platform::File::CreateNew(tempPath);
  }
  if (!temp) {
    errorCode = platform::LastErrorCode();
    return false;
  }
  bool written = bytes.empty() || temp.WriteAll(bytes.data(), bytes.size());
  if (written) {
    temp.Close();
    if (platform::ReplaceFileWith(tempPath, path)) return true;
  }
  errorCode = platform::LastErrorCode();
  temp.Close();
  platform::RemoveFile(tempPath);
  platform::SetLastErrorCode(errorCode);
  return false;
}

std::string OsErrorDetail(int errorCode) {
  return "OS信息 : (" + std::to_string(errorCode) + ") " + platform::SystemErrorText(errorCode);
}

}  // namespace zevra
