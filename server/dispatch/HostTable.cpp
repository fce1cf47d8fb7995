// Virtual hosts: Hosts/ is read once at start-up into a fixed table; each
// request looks its Host name up there and splits the content it finds.
#include "server/dispatch/HostTable.h"

#include <string>

#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/Directory.h"
#include "platform/File.h"
#include "platform/System.h"
#include "server/response/Logs.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

// A host file is one short line; anything much larger is not one, and
// reading it whole would let one stray file take the worker's memory.
constexpr int64_t kMaxHostFileBytes = 64 * 1024;

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

// Reads a host file as the console wrote it (code page bytes) into the
// internal text. A file that cannot be read, or is far too large, is kept
// with empty content and so answers as "not configured".
std::string ReadHostFile(const std::string& path, const std::string& name) {
  platform::File file = platform::File::OpenReadRegular(path);
  if (!file) return {};
  int64_t size = file.Size();
  if (size < 0 || size > kMaxHostFileBytes) {
    AppendErrorLog("[ Core ] Host file '" + name + "' is not read: larger than 64 KiB.");
    return {};
  }
  std::string bytes(static_cast<size_t>(size), '\0');
  int64_t got = 0;
  while (got < size) {
    int64_t n = file.Read(bytes.data() + got, static_cast<size_t>(size - got));
    if (n <= 0) break;
    got += n;
  }
  bytes.resize(static_cast<size_t>(got));
  // An editor's final line end is not part of the last field.
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
  return platform::CodePageToUtf8(bytes);
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
  g_fallbackRoot = programDirectory + platform::kPathSeparator + kFallbackRoot;

  const std::string directory = programDirectory + platform::kPathSeparator + kHostsDirectory;
  platform::DirectoryReader reader = platform::DirectoryReader::Open(directory);
  size_t skipped = 0;
  platform::DirectoryEntry entry;
  while (reader.Next(entry)) {
    if (!entry.isRegular) continue;
    g_noVirtualHosts = false;
    if (g_hosts.Count() >= kMaxHostFiles) {
      ++skipped;
      continue;
    }
    const std::string path = directory + platform::kPathSeparator + entry.name;
    g_hosts.Insert(platform::CodePageToUtf8(entry.name), ReadHostFile(path, entry.name));
  }
  if (skipped > 0) {
    AppendErrorLog("[ Core ] Hosts holds more than " + std::to_string(kMaxHostFiles) + " host files: " +
                   std::to_string(skipped) + " of them were not loaded.");
  }
}

void LoadHostFiles() { LoadHostFiles(g_startup.programDirectory); }

const HostTable& Hosts() { return g_hosts; }
bool NoVirtualHosts() { return g_noVirtualHosts; }

bool ParseHostRecord(std::string_view content, HostRecord& record) {
  // Five fields at most are looked at; later ones are ignored, so the split
  // stops there instead of building a piece per stray separator.
  std::string_view fields[kHostFieldCount];
  size_t count = 0;
  size_t start = 0;
  while (count < kHostFieldCount && start < content.size()) {
    size_t at = content.find(';', start);
    if (at == std::string_view::npos) {
      fields[count++] = content.substr(start);
      start = content.size();
      break;
    }
    fields[count++] = content.substr(start, at - start);
    start = at + 1;
  }
  if (count < kHostFieldCount) return false;
  // The default document must split at "." into two pieces or more: it
  // holds a dot that is not its last character, or more than one dot.
  std::string_view document = fields[kHostDefaultDocument];
  if (SplitText(document, ".").size() < 2) return false;
  record.documentRoot = fields[kHostDocumentRoot];
  record.defaultDocument = document;
  record.executePermission = fields[kHostExecutePermission];
  record.cgiExtension = fields[kHostCgiExtension];
  record.cgiProgram = fields[kHostCgiProgram];
  return true;
}

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
