// UTF-8 (inside) to UTF-16 (every name handed to Windows) and back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zevra::platform {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// Whether the code page holds every character of text exactly: converted
// to it without "best fit" substitutes and back, text comes out unchanged.
// A program that reads its command line in that code page then sees what
// was sent (best fit turns U+FF02 into '"' and, in some code pages, a soft
// hyphen into '-').
bool FitsCodePageExactly(std::wstring_view text, unsigned codePage);

// A name from the file system as UTF-8. NTFS names are any 16-bit units, and
// a surrogate without its pair has no UTF-8 form: it is written as the three
// bytes its code point would take, which no UTF-8 check accepts and no
// request can name, rather than as U+FFFD, which would name another file.
std::string FileNameToUtf8(std::wstring_view name);

// True when a Win32 path could name this entry: none of the characters
// Windows reserves (<>:"/\|?* and the controls). Only file systems that
// Windows does not own (Wine's view of a Linux folder, a network share)
// hold such names; opening them by name fails.
bool IsNameableFileName(std::wstring_view name);

// Seconds since 1970 (UTC) of a FILETIME (100 ns since 1601).
int64_t UnixSecondsOfFileTime(const FILETIME& time);

}  // namespace zevra::platform
