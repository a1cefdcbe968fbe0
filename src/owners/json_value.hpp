#pragma once
// A JSON value as the owner documents' reader meets it: its kind, and how a refusal names it
// ("integer `-1`", "floating point `1.0`", "string \"x\"", "map").

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace orvex::json_value {

// A number classified from its text: an integer without fraction or exponent that fits in 64
// bits, else a floating-point value; TooBig beyond the range of a double. JSON writes an integer
// only one way, so its text is also how a refusal names it.
struct Number {
    enum class Kind { Unsigned, Signed, Float, TooBig };
    Kind kind = Kind::Float;
    std::string_view text;
    std::uint64_t unsigned_value = 0; // Unsigned
    double float_value = 0;           // Float, TooBig
};
[[nodiscard]] Number classify(std::string_view text);

struct Map {};
struct Sequence {};
// null, a boolean, a number, a string (its text after escapes), or the start of a container.
using Value = std::variant<std::monostate, bool, Number, std::string_view, Map, Sequence>;

// "invalid type: " and what was found, in the words of a refusal, then what was expected.
[[nodiscard]] std::string invalid_type(const Value& found, std::string_view expected);

// The value of an unsigned integer field of `bits` (32 or 64) bits, or the refusal's text.
[[nodiscard]] std::expected<std::uint64_t, std::string> unsigned_field(const Value& value,
                                                                       unsigned bits);

} // namespace orvex::json_value
