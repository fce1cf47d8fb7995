// Reads a gzip stream back with zlib itself, so that the tests judge the
// server's streams by an independent reader.
#pragma once

#include <zlib.h>

#include <string>

namespace zevra::support {

// Reads one gzip member into out; fails unless the member ends exactly at
// the end of the bytes (a truncated stream and trailing bytes are both
// faults).
inline bool Gunzip(const std::string& gz, std::string& out) {
  out.clear();
  z_stream s{};
  if (inflateInit2(&s, 15 + 16) != Z_OK) return false;
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  s.avail_in = static_cast<uInt>(gz.size());
  unsigned char buffer[16384];
  int r = Z_OK;
  // Every round but the last fills the buffer, so this bounds streams far
  // beyond any test's size.
  for (int rounds = 0; r == Z_OK && rounds < 1000000; ++rounds) {
    s.next_out = buffer;
    s.avail_out = sizeof buffer;
    r = inflate(&s, Z_NO_FLUSH);
    out.append(reinterpret_cast<char*>(buffer), sizeof buffer - s.avail_out);
  }
  const bool complete = r == Z_STREAM_END && s.avail_in == 0;
  inflateEnd(&s);
  return complete;
}

}  // namespace zevra::support
