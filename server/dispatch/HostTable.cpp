// Virtual hosts: Hosts/ is read once at start-up into a fixed table; each
// request looks its Host name up there and splits the content it finds.
#include "server/dispatch/HostTable.h"

#include <string>

#include "platform/System.h"
#include "server/response/Logs.h"
#include "server/core/ProgramPaths.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

HostTable g_hosts;
bool g_noVirtualHosts = true;
std::string g_fallbackRoot;  // programDirectory + "/WebRoot"

uint32_t SlotOfHash(uint32_t h) { return (h % kHostTableSlots) + 1; }

uint32_t AbsoluteHash(std::string_view key) {
  uint32_t h = 0;
  for (size_t i = key.size(); i > 0; --i) {
    h = h * 31u + static_cast<uint8_t>(key[i - 1]) + 1u;
  }
  // Absolute value of h read as a signed number, taken in unsigned
  // arithmetic so that INT32_MIN (whose magnitude has no signed form)
  // gives 2^31 instead of overflowing.
  return (h & 0x80000000u) ? 0u - h : h;
}

}  // namespace

uint32_t HostTable::FirstSlot(std::string_view key) { return SlotOfHash(AbsoluteHash(key)); }

bool HostTable::Insert(std::string_view key, std::string_view value) {
  if (key.empty() || count_ >= kMaxHostFiles) return false;
  uint32_t h = AbsoluteHash(key);
  for (size_t probe = 0; probe < kHostTableSlots; ++probe, ++h) {
    Slot& slot = slots_[SlotOfHash(h) - 1];
    if (slot.key.empty()) {
      slot.key.assign(key);
      slot.value.assign(value);
      ++count_;
      return true;
    }
  }
  return false;
}

std::string_view HostTable::Lookup(std::string_view key) const {
  if (key.empty()) return {};
  uint32_t h = AbsoluteHash(key);
  for (size_t probe = 0; probe < kHostTableSlots; ++probe, ++h) {
    const Slot& slot = slots_[SlotOfHash(h) - 1];
    if (slot.key.empty()) return {};
    if (slot.key == key) return slot.value;
  }
  return {};
}

void HostTable::Clear() {
  for (Slot& slot : slots_) {
    slot.key.clear();
    slot.value.clear();
  }
  count_ = 0;
}

void LoadHostFiles(const std::string& programDirectory) {
  g_hosts.Clear();
  g_noVirtualHosts = true;
  g_fallbackRoot = JoinPath(programDirectory, {kFallbackRoot});

  size_t skipped = 0;
  std::string content;
  for (const HostFileName& file : ListHostFiles(programDirectory)) {
    g_noVirtualHosts = false;
    if (g_hosts.Count() >= kMaxHostFiles) {
      ++skipped;
      continue;
    }
    // A file that cannot be read is kept with empty content and so answers
    // as "not configured".
    if (ReadHostFile(file.path, content) == HostFileReadStatus::kTooLarge) {
      AppendErrorLog("[ Core ] Host file '" + file.name + "' is not read: larger than 64 KiB.");
    }
    g_hosts.Insert(file.name, content);
  }
  if (skipped > 0) {
    AppendErrorLog("[ Core ] Hosts holds more than " + std::to_string(kMaxHostFiles) + " host files: " +
                   std::to_string(skipped) + " of them were not loaded.");
  }
}

void LoadHostFiles() { LoadHostFiles(g_startup.programDirectory); }

const HostTable& Hosts() { return g_hosts; }
bool NoVirtualHosts() { return g_noVirtualHosts; }

HostSelection SelectHost(std::string_view hostHeader) {
  HostSelection selection;
  std::string_view key = hostHeader.substr(0, hostHeader.find(':'));
  std::string_view content = g_hosts.Lookup(key);
  if (!content.empty()) {
    selection.outcome = ParseHostRecord(content, selection.record) ? HostOutcome::kRecord : HostOutcome::kBadRecord;
    return selection;
  }
  if (!g_noVirtualHosts) {
    selection.outcome = HostOutcome::kNotConfigured;
    return selection;
  }
  selection.outcome = HostOutcome::kFallback;
  selection.record.documentRoot = g_fallbackRoot;
  selection.record.defaultDocument = kFallbackDefaultDocument;
  return selection;
}

}  // namespace zevra
