#pragma once
// The one escape for text from the system.
//
// Process names, command lines, user names and paths are chosen by whoever
// starts a process or names a user: any local user can put a terminal
// escape, a carriage return, a newline or a right-to-left override into
// them. Every such string passes through printable() before it reaches a
// terminal or a line of text, so that it shows as what it is and cannot
// retitle a terminal, rewrite a line or forge one. JSON is left alone: its
// own escaping keeps each value inside its string.

#include <string>
#include <string_view>

namespace velmor::text {

// `utf8` with every character that is not printable written as its
// escape (\x1b, \n, \t, \u202e, \U000e0001): one line of printable
// characters, which escaping again leaves as it is. A byte sequence that
// is not UTF-8 reads as U+FFFD, as the package decodes the system's text.
std::string printable(std::string_view utf8);

// The same for text already decoded into code points, which may hold lone
// surrogates (each is escaped: \udcff).
std::string printable(std::u32string_view code_points);

// `bytes` as valid UTF-8: every ill-formed piece reads as U+FFFD, as the
// package decodes the system's text (for JSON, which must be UTF-8).
std::string repaired(std::string_view bytes);

// `bytes` as code points, every byte that is not part of a UTF-8 character
// as a lone surrogate U+DC80-U+DCFF: how the interpreter reads the words of
// a command line, so that the command names a bad word as Python would.
std::u32string with_escaped_bytes(std::string_view bytes);

// Whether a code point shows as itself: not a control, format, surrogate,
// private-use or unassigned character, nor a separator other than the
// space.
bool is_printable(char32_t code_point) noexcept;

}  // namespace velmor::text
