// Text helpers shared by the server and the console. Texts are UTF-8 bytes;
// case folding touches ASCII letters only, and since no byte of a multibyte
// UTF-8 character is below 0x80, searching and splitting at ASCII separators
// never cuts a character.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zevra {

inline char AsciiLowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char AsciiUpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// The text without the given bytes at either end ("a b" stays "a b").
std::string_view TrimAny(std::string_view text, std::string_view bytes);
// Without spaces and tabs at either end: the blanks HTTP allows around a
// field value or a list item.
inline std::string_view TrimBlanks(std::string_view text) { return TrimAny(text, " \t"); }

// Splits at every occurrence of sep: empty pieces between two separators are
// kept, one empty piece after a final separator is dropped, and an empty
// text gives no pieces. The views point into text.
std::vector<std::string_view> SplitText(std::string_view text, std::string_view sep);

// 1-based position of the first match of what in text, or -1. With
// ignoreCase only ASCII letters fold.
int FindText(std::string_view text, std::string_view what, bool ignoreCase);
// 0-based offset of the first match ignoring ASCII case, or npos.
size_t FindIgnoreCase(std::string_view text, std::string_view what);

// Reads a decimal number the way the C library's atol does: leading blanks
// skipped, an optional sign, digits up to the first other character; no
// leading digits gives 0. The 32-bit result wraps as a 32-bit long would.
int32_t ReadInteger(std::string_view text);
// The same into 64 bits; saturates instead of overflowing.
int64_t ReadInteger64(std::string_view text);

// A token of HTTP (RFC 9110 tchar, at least one): the only form a header
// name may take.
bool IsHttpToken(std::string_view text);

// Appends value in decimal with leading zeros to at least width digits
// (a minus sign goes before them; widths above 40 count as 40): what
// "%0*d" would print, without the cost of a format string on paths that
// run per request.
void AppendZeroPadded(std::string& out, int64_t value, int width);
// Appends "HH:MM:SS", each part zero-padded to two digits.
void AppendClockTime(std::string& out, int hour, int minute, int second);
// Appends year "-" MM "-" DD " " HH ":" MM ":" SS, the year zero-padded to
// yearWidth digits, the other parts to two.
void AppendDateTime(std::string& out, int year, int yearWidth, int month, int day, int hour, int minute, int second);

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text);
// Appends bytes with every ill-formed part replaced by U+FFFD, one per
// maximal ill-formed subpart.
void AppendValidUtf8(std::string_view bytes, std::string& out);

// Replaces every occurrence of what by with, scanning left to right.
std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with);

}  // namespace zevra
