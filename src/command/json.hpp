#pragma once
// JSON documents as the command writes them: two spaces of indent, keys in
// the order given, every character beyond ASCII and every control
// character escaped, so that each value stays inside its string whatever
// the system gave.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velmor::command {

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;

    Json() = default;  // null
    Json(bool value) : value_(value) {}                          // NOLINT(google-explicit-constructor)
    Json(std::int64_t value) : value_(value) {}                  // NOLINT(google-explicit-constructor)
    Json(std::string value) : value_(std::move(value)) {}        // NOLINT(google-explicit-constructor)
    Json(const char* value) : value_(std::string(value)) {}      // NOLINT(google-explicit-constructor)
    Json(Array value) : value_(std::move(value)) {}              // NOLINT(google-explicit-constructor)
    Json(Object value) : value_(std::move(value)) {}             // NOLINT(google-explicit-constructor)

    template <class Number>
    static Json optional_number(const std::optional<Number>& value) {
        return value ? Json(static_cast<std::int64_t>(*value)) : Json();
    }
    static Json optional_text(const std::optional<std::string>& value) { return value ? Json(*value) : Json(); }

    // The document, indented by two spaces per level.
    std::string text() const;
    // The document on one line, items parted by ", " and keys by ": " (a
    // line of JSON Lines).
    std::string line() const;

private:
    // `depth` none: on one line.
    void write(std::string& out, std::optional<std::size_t> depth) const;
    std::variant<std::monostate, bool, std::int64_t, std::string, Array, Object> value_;
};

// `utf8` as a JSON string, quotes included.
std::string json_string(std::string_view utf8);

}  // namespace velmor::command
