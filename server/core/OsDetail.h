// The detail a failure that involves the operating system carries: its
// error code and the system's message text for it.
#pragma once

#include <string>
#include <string_view>

namespace zevra {

// How the detail begins. The CGI relay's two "no receipt" messages have
// always been written with a full-width colon; every other one with " : ".
inline constexpr std::string_view kOsDetailLead = "OS信息 : (";
inline constexpr std::string_view kOsDetailLeadFullWidth = "OS信息：(";

// lead + code + ") " + the system's text for code.
std::string OsDetail(int code, std::string_view lead = kOsDetailLead);

}  // namespace zevra
