// The server's binding to the compression library.
#pragma once

#include <string>
#include <string_view>

namespace zevra {

// A complete gzip stream of the input (also of empty input), at the level
// of the GZIPCompressLevel setting.
std::string CompressBytes(std::string_view input);

}  // namespace zevra
