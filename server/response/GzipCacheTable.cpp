// Validators of a file version, the table of its compressed copies and
// the clearing of the copies folder.
#include <string>
#include <string_view>

#include "platform/Directory.h"
#include "platform/File.h"
#include "server/core/ProgramPaths.h"
#include "server/response/StaticFile.h"

namespace zevra {

uint32_t TextHash(std::string_view bytes) {
  uint32_t h = 0;
  for (size_t i = bytes.size(); i > 0; --i) {
    h = h * 31u + static_cast<uint8_t>(bytes[i - 1]) + 1u;
  }
  return h;
}

std::string HashText(std::string_view bytes) {
  int32_t h = static_cast<int32_t>(TextHash(bytes));
  if (h >= 0) return std::to_string(h);
  // The magnitude of INT32_MIN has no int32 form: widen first.
  std::string text(1, 'm');
  text += std::to_string(-static_cast<int64_t>(h));
  return text;
}

std::string EntityTagOf(std::string_view localPath, std::string_view lastModified) {
  std::string tag;
  tag.reserve(26);
  tag += '"';
  tag += HashText(localPath);
  tag += ':';
  tag += HashText(lastModified);
  tag += '"';
  return tag;
}

std::string GzipCachePath(std::string_view programDirectory, std::string_view localPath,
                          std::string_view lastModified) {
  std::string name = "cache_";
  name += HashText(localPath);
  name += '_';
  name += HashText(lastModified);
  return JoinPath(programDirectory, {"WebCache", name});
}

namespace {

size_t HomeSlot(std::string_view key) {
  uint32_t h = TextHash(key);
  uint32_t magnitude = (h & 0x80000000u) ? 0u - h : h;
  return magnitude % GzipCacheTable::kSlots;
}

}  // namespace

size_t GzipCacheTable::FindSlot(std::string_view localPath) const {
  size_t slot = HomeSlot(localPath);
  for (size_t probe = 0; probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
    const Slot& s = slots_[slot];
    if (s.state == SlotState::kEmpty) return kSlots;
    if (s.state == SlotState::kUsed && s.key == localPath) return slot;
  }
  return kSlots;
}

const std::string* GzipCacheTable::Find(std::string_view localPath) const {
  size_t slot = FindSlot(localPath);
  return slot == kSlots ? nullptr : &slots_[slot].value;
}

int64_t GzipCacheTable::MadeAt(std::string_view localPath) const {
  size_t slot = FindSlot(localPath);
  return slot == kSlots ? 0 : slots_[slot].madeAt;
}

bool GzipCacheTable::Set(std::string_view localPath, std::string_view lastModified, int64_t copySize,
                         int64_t madeAt) {
  size_t slot = FindSlot(localPath);
  if (slot != kSlots) {
    Slot& s = slots_[slot];
    s.madeAt = madeAt;
    s.value.assign(lastModified);
    totalBytes_ += copySize - s.size;
    s.size = copySize;
    s.order = nextOrder_++;
    return true;
  }
  // The last free slot is kept so that a probe for an absent path always
  // ends at an empty slot; a full table stops caching new paths.
  if (!HasRoom()) return false;
  slot = HomeSlot(localPath);
  for (size_t probe = 0; probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
    Slot& s = slots_[slot];
    if (s.state != SlotState::kUsed) {
      s.state = SlotState::kUsed;
      s.key.assign(localPath);
      s.value.assign(lastModified);
      s.size = copySize;
      s.madeAt = madeAt;
      s.order = nextOrder_++;
      totalBytes_ += copySize;
      ++count_;
      return true;
    }
  }
  return false;
}

void GzipCacheTable::Drop(Slot& slot) {
  // A removed slot stays a step on other keys' probe paths.
  slot.state = SlotState::kRemoved;
  slot.key.clear();
  slot.value.clear();
  totalBytes_ -= slot.size;
  slot.size = 0;
  --count_;
}

void GzipCacheTable::Remove(std::string_view localPath) {
  size_t slot = FindSlot(localPath);
  if (slot == kSlots) return;
  Drop(slots_[slot]);
}

std::vector<GzipCacheTable::Dropped> GzipCacheTable::MakeRoom(int64_t bytes, int64_t limit, std::string_view keep) {
  std::vector<Dropped> dropped;
  // The oldest first: a copy made long ago is the likeliest to be of a
  // file nobody asks for any more. A walk over the slots per drop is
  // plenty for a table this size and a rare event.
  while (totalBytes_ + bytes > limit && count_ > 0) {
    Slot* oldest = nullptr;
    for (Slot& s : slots_) {
      if (s.state == SlotState::kUsed && s.key != keep && (oldest == nullptr || s.order < oldest->order)) oldest = &s;
    }
    if (oldest == nullptr) break;
    dropped.push_back(Dropped{oldest->key, oldest->value});
    Drop(*oldest);
  }
  return dropped;
}

void GzipCacheTable::Clear() {
  for (Slot& s : slots_) {
    s.state = SlotState::kEmpty;
    s.key.clear();
    s.value.clear();
    s.size = 0;
  }
  count_ = 0;
  totalBytes_ = 0;
}

void ClearGzipCacheFolder(std::string_view programDirectory) {
  const std::string folder = JoinPath(programDirectory, {"WebCache"});
  platform::DirectoryReader reader = platform::DirectoryReader::Open(folder);
  platform::DirectoryEntry entry;
  // Only what this server names there: anything else an administrator put
  // in the folder stays.
  while (reader.Next(entry)) {
    if (entry.isDirectory || !entry.name.starts_with("cache_")) continue;
    platform::RemoveFile(JoinPath(folder, {entry.name}));
  }
}

GzipCacheTable& GzipCache() {
  static GzipCacheTable table;
  return table;
}

}  // namespace zevra
