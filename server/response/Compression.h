// The server's binding to the compression library.
#pragma once

#include <string>
#include <string_view>

namespace zevra {

// A complete gzip stream of the input (also of empty input), at the level
// of the GZIPCompressLevel setting, in output. False when the library
// reported an error: output then holds an unfinished stream that must never
// be sent or kept as gzip.
bool CompressBytes(std::string_view input, std::string& output);

// The same as a value: the stream, or an empty string when the library
// reported an error (a gzip stream is never empty, so empty says failure).
std::string CompressBytes(std::string_view input);

// What CompressBytes runs instead of the library, or null for the library.
// Tests put in one that fails, to see every caller take its failure path.
using CompressFunction = bool (*)(std::string_view input, std::string& output);
void SetCompressFunction(CompressFunction function);

}  // namespace zevra
