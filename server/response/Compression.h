// The server's binding to the compression library.
#pragma once

#include <string>
#include <string_view>

namespace zevra {

// A complete gzip stream of the input (also of empty input), at the level
// of the GZIPCompressLevel setting.
// When the library reports an error, the bytes produced so far are
// returned as they are.
std::string CompressBytes(std::string_view input);

// The same, with the outcome: false when the library reported an error
// (output then holds an incomplete stream that must not be sent as gzip).
bool CompressBytes(std::string_view input, std::string& output);

}  // namespace zevra
