// Request heads into HttpRequest records. Parsing never fails: what cannot
// be read stays empty, and the handlers decide what that means.
#pragma once

#include <string>
#include <string_view>

#include "server/core/HttpRequest.h"

namespace zevra {

HttpRequest ParseRequestHead(std::string_view head);
// The same into a record made empty by the caller, so that a record that
// lives in a larger one is filled where it stands instead of moved there
// field by field.
void ParseRequestHeadInto(std::string_view head, HttpRequest& request);
bool SplitTarget(std::string_view target, std::string& directory, std::string& fileName, std::string& query);
std::string PercentDecode(std::string_view text);
// Decoded target bytes into internal text; invalid UTF-8 is replaced.
std::string Utf8ToAnsi(std::string_view bytes);

}  // namespace zevra
