// The directory listing. The page is put together by concatenation rather
// than by replacing placeholders in a template, so that a "%" in a file name
// can never be taken for a placeholder; names are escaped for HTML and
// percent-encoded in links, and the entries keep the file system's order.
#include "server/response/DirectoryListing.h"

#include <cstdio>
#include <string>

#include "common/Text.h"
#include "platform/Directory.h"
#include "server/response/Answer.h"
#include "server/response/ErrorPages.h"
#include "server/response/Logs.h"
#include "server/response/ResponseHead.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

constexpr std::string_view kPageStart =
    "<!DOCTYPE HTML><html><head><meta name=\"generator\"content=\"";
constexpr std::string_view kPageTitle = "\"/><title>目录:";
constexpr std::string_view kPageStyle =
    "</title><script>function cka(o){o.getElementsByTagName(\"a\")[0].click()}</script></head><body><style>"
    "tr{background-color:#ffffff;line-height:1.3}body{background-color:#e5e5e5}a{text-decoration:none}"
    "tbody tr:hover a{color:white}tbody tr:hover td{background-color:#444444;color:white}"
    "tr a:hover{color:orange}.thd tr{background-color:#aaaaaa;height:24px;border-bottom:1px solid#777777;"
    "line-height:1.4}";
constexpr std::string_view kPageHeading = "</style><h3>";
constexpr std::string_view kPageTable =
    "</h3><table style='width:100%;border-collapse: collapse;border-bottom:1px solid #888888;"
    "border-right:1px solid #cccccc'id='mtb'><thead Class='thd'><tr><td>&nbsp;&nbsp;名称/Name</td>"
    "<td>大小/Size</td><td>日期/Date</td></tr></thead><tfoot Class='thd'><tr><td colspan='3'>"
    "<div style='margin-left:10px;float:left'>共计(Sum):";
constexpr std::string_view kPageFooter = "个对象</div><div style='float:right;margin-right:10px'>";
constexpr std::string_view kPageBody =
    "</div></td></tr></tfoot><tbody><tr ondblclick=cka(this)><td class='bkrtn'><a href='../'>"
    ".. 返回上级目录(Return)</a><td></td><td></td></tr>";
constexpr std::string_view kPageEnd = "</tbody></table></body></html>";

// The row: <tr ondblclick=cka(this)><td class='%i'><a href='%h'>%n</a><td>%s</td><td>%d</td></tr>
// (the name cell has no "</td>" of its own; browsers close it).
void AppendRow(std::string& rows, const char* iconClass, std::string_view link, std::string_view name,
               std::string_view size, std::string_view date) {
  rows += "<tr ondblclick=cka(this)><td class='";
  rows += iconClass;
  rows += "'><a href='";
  rows += link;
  rows += "'>";
  rows += name;
  rows += "</a><td>";
  rows += size;
  rows += "</td><td>";
  rows += date;
  rows += "</td></tr>";
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

const char* ListingIconClass(std::string_view fileName) {
  const std::string ext = ExtensionOf(fileName);
  auto any = [&ext](std::initializer_list<std::string_view> list) {
    for (std::string_view e : list) {
      if (ext == e) return true;
    }
    return false;
  };
  if (ext == "css") return "bkcss";
  if (any({"html", "shtml"})) return "bkhtml";
  if (ext == "java") return "bkjava";
  if (any({"xls", "ppt", "doc", "docx", "xlsx", "pptx"})) return "bkoffice";
  if (ext == "php") return "bkphp";
  if (any({"exe", "zip", "7z", "rar", "tar", "gz", "bin", "tgz", "bz2", "iso"})) return "bkbinary";
  if (any({"js", "vbs"})) return "bkscript";
  if (any({"mp4", "mov", "rm", "rmvb", "wmv", "avi", "3gp", "flv", "mkv"})) return "bkmovie";
  if (any({"mp3", "wav", "ogg", "wma", "aac", "flac"})) return "bkmusic";
  if (any({"ico", "png", "bmp", "jpg", "jpeg", "tiff", "tif", "gif", "jng", "svg"})) return "bkimage";
  return "bkfile";
}

std::string FormatListingDate(const platform::CivilTime& t) {
  // "%d-%02d-%02d %02d:%02d:%02d" without a format string: a listing
  // formats one per entry.
  std::string text;
  text.reserve(19);
  AppendDateTime(text, t.year, 1, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

std::string FormatFileSize(int64_t bytes) {
  if (bytes < 0) bytes = 0;
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  size_t unit = 0;
  uint64_t divisor = 1024;
  const uint64_t value = static_cast<uint64_t>(bytes);
  // The figure moves to the next unit once it would show 1000 or more.
  while (unit + 1 < sizeof kUnits / sizeof kUnits[0] && value / divisor >= 1000) {
    ++unit;
    divisor *= 1024;
  }
  // Hundredths of the unit, cut off; 128 bits since bytes * 100 overflows 64.
  const uint64_t hundredths = static_cast<uint64_t>(static_cast<unsigned __int128>(value) * 100 / divisor);
  const uint64_t whole = hundredths / 100;
  char text[48];
  if (whole < 10) {
    std::snprintf(text, sizeof text, "%llu.%02llu %s", static_cast<unsigned long long>(whole),
                  static_cast<unsigned long long>(hundredths % 100), kUnits[unit]);
  } else if (whole < 100) {
    std::snprintf(text, sizeof text, "%llu.%llu %s", static_cast<unsigned long long>(whole),
                  static_cast<unsigned long long>(hundredths % 100 / 10), kUnits[unit]);
  } else {
    std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(whole), kUnits[unit]);
  }
  return text;
}

std::string EncodeUrlPath(std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (char ch : path) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c) || c == '/') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string BuildListingPage(const std::string& localDirectory, std::string urlPath, size_t& entryCount) {
  std::string directoryRows;
  std::string fileRows;
  entryCount = 0;
  // Directories first, then files, each group in the file system's order:
  // one enumeration feeds both groups.
  platform::DirectoryReader reader = platform::DirectoryReader::Open(localDirectory);
  platform::DirectoryEntry entry;
  std::string encodedBase;
  while (entryCount < kMaxListingEntries && reader.Next(entry)) {
    // A name that is not UTF-8 could be shown only garbled, and its link
    // would lead nowhere: a request path is UTF-8, so it can never name
    // that file. Such entries are left out (and not counted).
    if (!IsValidUtf8(entry.name)) continue;
    if (urlPath.empty() || urlPath.back() != '/') urlPath += '/';
    if (encodedBase.empty()) encodedBase = EncodeUrlPath(urlPath);
    const std::string name = EscapeHtml(entry.name);
    std::string link = encodedBase + EncodeUrlPath(entry.name);
    const std::string date = FormatListingDate(platform::UtcFromUnixSeconds(entry.lastWriteTime));
    if (entry.isDirectory) {
      link += '/';
      AppendRow(directoryRows, "bkdir", link, name, "&lt;DIR&gt;", date);
    } else {
      AppendRow(fileRows, ListingIconClass(entry.name), link, name, FormatFileSize(entry.size), date);
    }
    ++entryCount;
  }

  const std::string shownPath = EscapeHtml(urlPath);
  std::string page;
  page.reserve(8192 + directoryRows.size() + fileRows.size());
  page += kPageStart;
  page += kDisplayName;
  page += kPageTitle;
  page += shownPath;
  page += kPageStyle;
  for (const ListingIcon& icon : kListingIcons) {
    page += '.';
    page += icon.className;
    page += "{padding-left:30px;background:white url('data:image/png;base64,";
    page += icon.pngBase64;
    page += "')no-repeat 10px center}";
  }
  page += kPageHeading;
  page += shownPath;
  page += kPageTable;
  page += std::to_string(entryCount);
  page += kPageFooter;
  page += kDisplayName;
  page += kPageBody;
  page += directoryRows;
  page += fileRows;
  page += kPageEnd;
  return page;
}

void SendDirectoryListing(const std::string& localDirectory, const std::string& urlPath, const HttpRequest& request,
                          ResponseHead& response, ConnId conn) {
  size_t count = 0;
  std::string body = BuildListingPage(localDirectory, urlPath, count);
  response.Status = "200 OK";
  response.ContentType = "text/html; charset=utf-8";
  Answer answer;
  answer.body = body;
  // The dispatcher chose the encoding; a page the library cannot compress
  // goes out as it is, and the head says so.
  answer.compress = response.ContentEncoding == "gzip";
  answer.accessLine = AccessLine::kWithoutPort;
  FinishAnswer(conn, request, response, answer);
}

}  // namespace zevra
