#pragma once
// Text laid out for a terminal: lengths counted in characters (code points,
// as the table's columns and the help's columns count them), paragraphs
// wrapped at spaces with words longer than a line broken, options with
// their description in a column, and the usage line carried over.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::command {

// The number of characters of UTF-8 `text`.
std::size_t characters(std::string_view text) noexcept;
// The first `count` characters of UTF-8 `text`.
std::string_view first_characters(std::string_view text, std::size_t count) noexcept;
// `text` padded with spaces on the right to `width` characters.
std::string padded(std::string_view text, std::size_t width);

// `text` wrapped into lines of at most `width` characters, each starting
// with `indent`; never no line (an empty text gives one empty line).
std::vector<std::string> wrap_text(std::string_view text, std::size_t width, std::string_view indent = "");

// Where the description of an option starts in a help.
inline constexpr std::size_t option_column = 26;

// An option (or argument) and its description, the description from
// `column` on; on a line of its own below a label too long for that.
std::vector<std::string> wrap_item(std::string_view label, std::string_view text, std::size_t width,
                                   std::size_t column = option_column);

// "usage: " and `usage`, its bracketed options carried over to further
// lines under the first one when the line is wider than `width`.
std::vector<std::string> wrap_usage(std::string_view usage, std::size_t width);

// The width a help is wrapped to: COLUMNS when it is a positive number,
// else the terminal's on stdout, else 80; two columns kept free, 30 at least.
std::size_t help_width();

// Lines joined with newlines between them.
std::string joined(const std::vector<std::string>& lines);

}  // namespace velmor::command
