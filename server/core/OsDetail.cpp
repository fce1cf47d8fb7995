#include "server/core/OsDetail.h"

#include "platform/System.h"

namespace zevra {

std::string OsDetail(int code, std::string_view lead) {
  std::string detail(lead);
  detail += std::to_string(code);
  detail += ") ";
  detail += platform::SystemErrorText(code);
  return detail;
}

}  // namespace zevra
