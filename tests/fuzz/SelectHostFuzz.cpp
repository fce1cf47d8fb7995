// Any bytes as a host file's content and as a Host header. The record's
// fields are the content's first five ";" pieces exactly; the selection
// looks up only the name before the first ':'.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/System.h"
#include "server/dispatch/HostTable.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool Inside(std::string_view part, std::string_view whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A table of a few hosts, good and bad, for the selection half.
  namespace fs = std::filesystem;
  const fs::path root =
      fs::temp_directory_path() / ("zevra-fuzz-hosts-" + std::to_string(zevra::platform::CurrentProcessId()));
  std::error_code error;
  fs::remove_all(root, error);
  fs::create_directories(root / "Hosts");
  const std::pair<const char*, const char*> hosts[] = {
      {"localhost", "/srv/www;index.html;ExecCGI;.php;/usr/bin/php-cgi %s"},
      {"bad.example", "/srv/bad;index"},
      {"127.0.0.1", "/srv/ip;a.b.c;Static;None;None;extra;fields"},
      {"empty", ""},
  };
  for (const auto& [name, content] : hosts) std::ofstream(root / "Hosts" / name, std::ios::binary) << content;
  zevra::LoadHostFiles(root.string());
  fs::remove_all(root, error);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);

  zevra::HostRecord record;
  if (zevra::ParseHostRecord(content, record)) {
    const std::string_view fields[] = {record.documentRoot, record.defaultDocument, record.executePermission,
                                       record.cgiExtension, record.cgiProgram};
    // Consecutive pieces of the content, split at single separators.
    size_t at = 0;
    for (size_t i = 0; i < 5; ++i) {
      Check(Inside(fields[i], content));
      Check(content.substr(at, fields[i].size()) == fields[i]);
      at += fields[i].size();
      if (i < 4) {
        Check(at < content.size() && content[at] == ';');
        ++at;
      }
      if (i < 4) Check(fields[i].find(';') == std::string_view::npos);
    }
    Check(record.defaultDocument.find('.') != std::string_view::npos);
  }

  const zevra::HostSelection selection = zevra::SelectHost(content);
  const std::string_view name = content.substr(0, content.find(':'));
  const std::string_view stored = zevra::Hosts().Lookup(name);
  switch (selection.outcome) {
    case zevra::HostOutcome::kRecord:
      Check(!stored.empty());
      Check(Inside(selection.record.documentRoot, stored) && Inside(selection.record.cgiProgram, stored));
      break;
    case zevra::HostOutcome::kBadRecord:
      Check(!stored.empty());
      break;
    case zevra::HostOutcome::kNotConfigured:
      Check(stored.empty());
      break;
    case zevra::HostOutcome::kFallback:
      Check(false);  // the table is not empty
      break;
  }
  return 0;
}
