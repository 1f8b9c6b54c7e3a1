#pragma once
// Users' names as the command's text holds them: looked up once per uid by
// the engine, bytes that are not UTF-8 read as U+FFFD.

#include <cstdint>
#include <optional>
#include <string>

namespace velmor::command {

// The name of user `uid`, none when it has none (or uid is none).
std::optional<std::string> user_name(std::optional<std::uint32_t> uid);

}  // namespace velmor::command
