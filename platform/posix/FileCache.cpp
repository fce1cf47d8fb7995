// The file cache on Linux: inotify watches on every folder of a kept path
// (the root included) and on the kept file itself.
//
// A notification names a watched folder and, for what happened inside it,
// the entry's name; it drops every kept path at or below that name (a file
// written, a folder renamed with everything under it). A notification about
// the watched object itself drops everything at or below it. The file's own
// watch catches writes made through another hard link, whose notifications
// go to that link's folder only.
#include "platform/FileCache.h"

#include <algorithm>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <set>
#include <thread>
#include <mutex>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Descriptor.h"

namespace zevra::platform {
namespace {

// What is watched on a folder: anything that changes which entry a name
// inside it stands for or what that entry holds, and the folder's own
// permissions, removal and renaming.
constexpr uint32_t kFolderEvents = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_CLOSE_WRITE | IN_ONLYDIR;
// On a kept file: its content, its permissions and times, its end.
constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_CLOSE_WRITE;

// When the cache is full, one miss in this many is kept (evicting another).
constexpr uint64_t kAdmitWhenFull = 8;

bool Within(std::string_view path, std::string_view prefix) {
  return path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
         (path.size() == prefix.size() || path[prefix.size()] == '/');
}

}  // namespace

struct FileCache::State {
  FileCacheLimits limits;
  mutable std::mutex lock;
  // The inotify instance, or -1 when there is none. Set once and closed
  // only by the destructor: it is read outside the lock.
  int fd = -1;
  // Threads reading the queue, and threads holding notifications they read
  // and have not applied yet (see TakeIn).
  std::atomic<int> reading{0};
  std::atomic<int> holding{0};
  std::map<std::string, FileCacheRef, std::less<>> entries;
  int64_t bytes = 0;
  // Where each watch sits: a watch may be reached by more than one path (a
  // hard link, a folder mounted twice).
  std::unordered_map<int, std::vector<std::string>> watches;
  // Watches set on a folder of some path: never given back one by one,
  // since any kept path below may rely on them.
  std::unordered_set<int> folderWatches;
  // The watch each looked-at file got for itself, so that it can be given
  // back when its entry is evicted: without that, every distinct file ever
  // looked at would hold a watch until the limit made the cache start over.
  std::unordered_map<std::string, int> fileWatches;
  // Paths whose entries were dropped and whose watches are to be given
  // back once no notification is being applied.
  std::vector<std::string> unkept;
  // Folders (every one from the root down) that are watched and were found
  // to hold no link, with nothing notified about them since: a look at a
  // file in one of them sets no watch on them again.
  std::set<std::string, std::less<>> plainFolders;
  // Looks at paths that are under way outside the lock: a notification that
  // hits one of them while it is under way makes it a look kept by nobody.
  struct Pending {
    std::string_view path;
    bool spoiled = false;
  };
  std::vector<Pending*> pending;
  std::string evictAfter;  // the round-robin eviction's position
  // Misses met while every entry was taken (see Open).
  uint64_t fullMisses = 0;
  uint64_t overflows = 0;

  void DropLocked(std::map<std::string, FileCacheRef, std::less<>>::iterator at) {
    if (at->second->hasBytes) bytes -= static_cast<int64_t>(at->second->bytes.size());
    if (at->second->facts.exists) unkept.push_back(at->first);
    entries.erase(at);
  }

  // Drops every entry at or below target, and spoils such looks under way.
  void DropWithinLocked(std::string_view target) {
    for (auto at = entries.lower_bound(target); at != entries.end() && at->first.starts_with(target);) {
      if (Within(at->first, target)) {
        auto next = std::next(at);
        DropLocked(at);
        at = next;
      } else {
        ++at;
      }
    }
    for (Pending* p : pending) {
      if (Within(p->path, target)) p->spoiled = true;
    }
    for (auto at = plainFolders.lower_bound(target); at != plainFolders.end() && at->starts_with(target);) {
      at = Within(*at, target) ? plainFolders.erase(at) : std::next(at);
    }
  }

  void DropAllLocked() {
    for (const auto& entry : entries) {
      if (entry.second->facts.exists) unkept.push_back(entry.first);
    }
    entries.clear();
    plainFolders.clear();
    bytes = 0;
    for (Pending* p : pending) p->spoiled = true;
  }

  // Every watch removed (their last notifications find no place and are
  // skipped), and with them everything kept.
  void ForgetWatchesLocked() {
    for (const auto& watch : watches) ::inotify_rm_watch(fd, watch.first);
    watches.clear();
    folderWatches.clear();
    fileWatches.clear();
    DropAllLocked();
    unkept.clear();
  }

  // Gives back the watches of the entries dropped since the last call.
  void ReleaseUnkeptLocked() {
    for (const std::string& path : unkept) ReleaseFileWatchLocked(path);
    unkept.clear();
  }

  // Gives back the watch a file got for itself, unless something still
  // relies on it: the path's own entry, a look at the path under way, a
  // folder below it, or another name of the same file (a hard link). Never
  // called while a notification is applied (its watch's places are walked
  // then): drops made there wait in `unkept`.
  void ReleaseFileWatchLocked(const std::string& path) {
    const auto own = fileWatches.find(path);
    if (own == fileWatches.end() || entries.contains(path)) return;
    for (const Pending* p : pending) {
      if (p->path == path) return;
    }
    const int wd = own->second;
    fileWatches.erase(own);
    DropPlaceLocked(wd, path);
  }

  // The watch no longer stands for `path`; one that stands for nothing any
  // more is removed (its last notifications, and the removal's own, find no
  // place and are skipped). Folder watches stay.
  void DropPlaceLocked(int wd, const std::string& path) {
    if (folderWatches.contains(wd)) return;
    const auto watch = watches.find(wd);
    if (watch == watches.end()) return;  // already gone with its file
    std::erase(watch->second, path);
    if (!watch->second.empty()) return;
    ::inotify_rm_watch(fd, wd);
    watches.erase(watch);
  }

  // Takes in every notification queued before the call, and returns holding
  // the lock. The queue is read outside the lock, so that the lock is held
  // only for the look-up that follows. A thread that finds the queue empty
  // may still be behind another that took notifications out before it and
  // has not applied them yet: it waits until no read is under way (reading,
  // a system call's length) and no notifications are held unapplied
  // (holding), so it never overtakes a change another thread took out.
  std::unique_lock<std::mutex> TakeIn() {
    alignas(struct inotify_event) char buffer[8192];
    for (int round = 0; round < 1024; ++round) {
      reading.fetch_add(1);
      ssize_t n;
      do {
        n = ::read(fd, buffer, sizeof buffer);
      } while (n < 0 && errno == EINTR);
      if (n > 0) holding.fetch_add(1);
      reading.fetch_sub(1);
      if (n <= 0) {
        // EAGAIN: nothing was queued when the read looked.
        int wait = 0;
        for (; reading.load() > 0 && wait < kWaitRounds; ++wait) Pause(wait);
        std::unique_lock guard(lock);
        for (; holding.load() > 0 && wait < kWaitRounds; ++wait) {
          guard.unlock();
          Pause(wait);
          guard.lock();
        }
        // Still not applied after all that waiting: what is kept cannot be
        // vouched for, and keeping nothing is exact. (A read that another
        // thread began after both waits ended is no reason: it can only hold
        // what was queued after this thread's own read found nothing.)
        if (wait >= kWaitRounds) DropAllLocked();
        ReleaseUnkeptLocked();
        return guard;
      }
      std::unique_lock guard(lock);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
          // Notifications were lost: nothing kept can be trusted.
          ++overflows;
          DropAllLocked();
        } else {
          ApplyLocked(*event);
        }
      }
      ReleaseUnkeptLocked();
      holding.fetch_sub(1);
    }
    // Still more after all those rounds: something churns faster than it can
    // be followed. Keeping nothing is exact.
    std::unique_lock guard(lock);
    DropAllLocked();
    ReleaseUnkeptLocked();
    return guard;
  }

  // The other thread is inside a short system call or a short locked step:
  // spinning a little is cheaper than sleeping, and yielding lets it run
  // when both share one processor.
  static void Pause(int wait) {
    if (wait >= kSpinRounds) std::this_thread::yield();
  }
  static constexpr int kSpinRounds = 64;
  static constexpr int kWaitRounds = 100000;

  void ApplyLocked(const struct inotify_event& event) {
    auto watch = watches.find(event.wd);
    if (watch == watches.end()) return;
    const std::string_view name = event.len > 0 ? std::string_view(event.name) : std::string_view();
    for (const std::string& where : watch->second) {
      if (name.empty() && where.empty()) {
        // The root itself changed: everything sits below it.
        DropAllLocked();
      } else if (name.empty()) {
        DropWithinLocked(where);
      } else {
        std::string target = where;
        target += '/';
        target += name;
        DropWithinLocked(target);
      }
    }
    if (event.mask & IN_IGNORED) {
      folderWatches.erase(event.wd);
      watches.erase(watch);
    }
  }

  // Adds a watch and notes where it sits; false when the OS refused.
  bool WatchLocked(const std::string& where, uint32_t mask) {
    // Added to what the watch asks already: a folder kept as an entry of its
    // own is watched as a folder and as a file at once.
    const int wd = ::inotify_add_watch(fd, where.empty() ? "/" : where.c_str(), mask | IN_MASK_ADD);
    if (wd < 0) return false;
    if (mask & IN_ONLYDIR) {
      folderWatches.insert(wd);
    } else {
      // The name stands for another file than when it was last watched: the
      // folder's watch saw the change (any entry or look of the name made
      // before it is dropped or spoiled), and the old file's watch is not
      // this name's to keep any more.
      int& own = fileWatches[where];
      if (own != 0 && own != wd) DropPlaceLocked(own, where);
      own = wd;
    }
    std::vector<std::string>& places = watches[wd];
    for (const std::string& place : places) {
      if (place == where) return true;
    }
    places.push_back(where);
    return true;
  }

  void EvictLocked(int64_t incoming) {
    // Round-robin over the key order: cheap, needs no bookkeeping per hit,
    // and never stays on one entry.
    for (size_t round = 0; round <= limits.entries && !entries.empty() &&
                           (entries.size() >= limits.entries || bytes + incoming > limits.bytes);
         ++round) {
      auto at = entries.upper_bound(evictAfter);
      if (at == entries.end()) at = entries.begin();
      evictAfter = at->first;
      DropLocked(at);
    }
    ReleaseUnkeptLocked();
  }
};

FileCache::FileCache(FileCacheLimits limits) : state_(std::make_unique<State>()) {
  // Each entry holds a descriptor: at most a quarter of what the process
  // may hold, so that connections never run short because of the cache.
  const uint64_t descriptors = DescriptorLimit();
  if (descriptors > 0) limits.entries = std::min<size_t>(limits.entries, std::max<uint64_t>(16, descriptors / 4));
  state_->limits = limits;
  state_->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

FileCache::~FileCache() {
  if (state_->fd >= 0) ::close(state_->fd);
}

bool FileCache::Active() const { return state_->fd >= 0; }

FileCacheRef FileCache::Open(const std::string& path) {
  State& s = *state_;
  if (s.fd < 0) return LookAtFile(path, s.limits.smallFile);
  bool passOver = false;
  {
    const auto guard = s.TakeIn();
    auto found = s.entries.find(path);
    if (found != s.entries.end()) return found->second;
    // Full: more distinct paths pass through than the cache holds, and
    // keeping each one would cost a watch set, a watch removed and an
    // eviction per miss for a slim chance of a hit. Most such misses are a
    // plain look kept by nobody; one in kAdmitWhenFull is kept all the same,
    // so that what is kept still follows what is asked for.
    passOver = s.entries.size() >= s.limits.entries && ++s.fullMisses % kAdmitWhenFull != 0;
  }
  if (passOver) return LookAtFile(path, s.limits.smallFile);

  // Kept only for a plain absolute path: no empty, "." or ".." piece, no
  // double or trailing separator, whose folders hold no link.
  const bool plain = path.size() > 1 && path.front() == '/' && path.back() != '/' &&
                     path.find("//") == std::string::npos && path.find("/./") == std::string::npos &&
                     path.find("/../") == std::string::npos && !path.ends_with("/.") && !path.ends_with("/..");
  if (!plain) return LookAtFile(path, s.limits.smallFile);
  const std::string folder = path.substr(0, path.rfind('/'));

  State::Pending pending{path};
  bool folderKnown = false;
  {
    // Watches first, from the root down, then the look: a change after a
    // watch is set is notified, and one before it is seen by the look.
    std::lock_guard guard(s.lock);
    folderKnown = s.plainFolders.contains(folder);
    bool watched = true;
    for (size_t at = 0; !folderKnown && watched && at != std::string::npos; at = folder.find('/', at + 1)) {
      watched = s.WatchLocked(folder.substr(0, at), kFolderEvents);
    }
    if (!folderKnown && watched && !folder.empty()) watched = s.WatchLocked(folder, kFolderEvents);
    if (!watched || s.watches.size() > s.limits.watches) {
      // Out of watches: start over next time, look afresh this time.
      if (watched) s.ForgetWatchesLocked();
      return LookAtFile(path, s.limits.smallFile);
    }
    s.pending.push_back(&pending);
  }
  // The file's own watch is set before it is opened: should another file
  // take its name in between, the folder's watch has seen that.
  bool fileWatched = false;
  {
    std::lock_guard guard(s.lock);
    fileWatched = s.WatchLocked(path, kFileEvents);
  }
  // A link anywhere in the path would make the notifications of its target
  // go unseen: such paths are looked at, never kept.
  char resolved[PATH_MAX];
  struct stat st;
  const bool folderPlain =
      folderKnown || (::realpath(folder.empty() ? "/" : folder.c_str(), resolved) != nullptr &&
                      folder == (std::string_view(resolved) == "/" ? std::string_view() : resolved));
  const bool nameLstat = ::lstat(path.c_str(), &st) == 0;
  const bool namePlain = folderPlain && (nameLstat ? !S_ISLNK(st.st_mode) : errno == ENOENT);
  FileCacheRef entry = LookAtFile(path, s.limits.smallFile);

  // Whatever changed while we looked is applied first: it spoils the look.
  const auto guard = s.TakeIn();
  std::erase(s.pending, &pending);
  if (!pending.spoiled && folderPlain && !folderKnown) {
    for (size_t at = 0; at != std::string::npos; at = folder.find('/', at + 1)) s.plainFolders.emplace(folder.substr(0, at));
    s.plainFolders.emplace(folder);
  }
  const bool exists = entry->facts.exists;
  // A file that is there needs its own watch; a name that is missing needs
  // only its folder's (a creation there is notified).
  const bool keep = !pending.spoiled && namePlain && (fileWatched || !exists) &&
                    (!exists || entry->facts.isRegular || entry->facts.isDirectory);
  const int64_t size = entry->hasBytes ? static_cast<int64_t>(entry->bytes.size()) : 0;
  if (!keep || size > s.limits.bytes) {
    s.ReleaseFileWatchLocked(path);
    return entry;
  }
  if (s.entries.find(path) == s.entries.end()) {
    s.EvictLocked(size);
    s.entries.emplace(path, entry);
    s.bytes += size;
  }
  return entry;
}

size_t FileCache::Count() const {
  std::lock_guard guard(state_->lock);
  return state_->entries.size();
}

int64_t FileCache::Bytes() const {
  std::lock_guard guard(state_->lock);
  return state_->bytes;
}

uint64_t FileCache::Overflows() const {
  std::lock_guard guard(state_->lock);
  return state_->overflows;
}

void FileCache::Clear() {
  std::lock_guard guard(state_->lock);
  state_->ForgetWatchesLocked();
}

FileCache& SharedFileCache() {
  static FileCache cache;
  return cache;
}

}  // namespace zevra::platform
