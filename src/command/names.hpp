#pragma once
// Names from the system as the command's text holds them: bytes that are
// not UTF-8 read as U+FFFD (one for each longest piece that cannot start a
// character, as the package's decoding reads them), and users' names looked
// up once per uid.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::command {

// `bytes` as valid UTF-8, every ill-formed piece replaced by U+FFFD.
std::string repaired(std::string_view bytes);

// `bytes` as code points, every byte that is not part of a UTF-8
// character as a lone surrogate U+DC80-U+DCFF (as the interpreter reads
// the words of a call).
std::u32string with_escaped_bytes(std::string_view bytes);

// The name of user `uid`, none when it has none (or uid is none).
std::optional<std::string> user_name(std::optional<std::uint32_t> uid);

}  // namespace velmor::command
