// The virtual hosts: the table of host files loaded at start-up and the
// selection of a request's site from its Host header.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/HostFile.h"

namespace zevra {

// Host-file name to host-file content, keyed by exact bytes. 2048 slots
// with linear probing; filled once before any thread starts, read without
// a lock afterwards.
class HostTable {
 public:
  // Slot (1-based) where the probe for a key begins: h = h * 31 + byte + 1
  // over the bytes from the last to the first (32-bit wrap-around), its
  // absolute value as a signed number, then (h mod 2048) + 1.
  static uint32_t FirstSlot(std::string_view key);

  // Refused (false) for an empty key and when only the last free slot is
  // left: an absent key's probe ends only at an empty slot.
  bool Insert(std::string_view key, std::string_view value);
  // The value, or empty when the key is absent. Case matters.
  std::string_view Lookup(std::string_view key) const;
  size_t Count() const { return count_; }
  void Clear();

 private:
  struct Slot {
    std::string key;
    std::string value;
  };
  std::array<Slot, kHostTableSlots> slots_;
  size_t count_ = 0;
};

enum class HostOutcome {
  kRecord,         // a host file for the name, well formed
  kFallback,       // Hosts/ holds no file: the program's own WebRoot
  kNotConfigured,  // host files exist, none for this name (or it is empty)
  kBadRecord,      // fewer than five fields, or a default document without a dot
};

struct HostSelection {
  HostOutcome outcome = HostOutcome::kNotConfigured;
  // For kRecord and kFallback; the views point into the host table (or into
  // the fallback site's texts), which live as long as the process.
  HostRecord record;
};

// Fills the process-wide table from programDirectory/Hosts/ and sets the
// no-virtual-hosts flag. Every regular file is a host file (POSIX has no
// archive or hidden bits to filter on); subdirectories are skipped. Loading
// stops at 2047 files with one error-log line naming how many were left.
void LoadHostFiles(const std::string& programDirectory);
// The same for the start-up program directory.
void LoadHostFiles();

const HostTable& Hosts();
bool NoVirtualHosts();

// The site for a Host header value: the name before the first ':' is looked
// up exactly; a missing header never matches a host file.
HostSelection SelectHost(std::string_view hostHeader);

}  // namespace zevra
