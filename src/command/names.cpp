#include "command/names.hpp"

#include "core/ports/explanations.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {

std::optional<std::string> user_name(std::optional<std::uint32_t> uid) {
    if (!uid) return std::nullopt;
    std::optional<std::string> name = ports::user_name(*uid);
    if (name) return text::repaired(*name);
    return name;
}

}  // namespace velmor::command
