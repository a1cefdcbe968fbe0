#pragma once
// A JSON scalar as the owner documents' reader meets it: what kind of value it is, and how a
// refusal names it ("integer `-1`", "floating point `1.0`", "string \"x\"").

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace orvex::json_value {

// A number classified from its text: an integer without fraction or exponent that fits, else a
// floating-point value; TooBig beyond the range of a double.
struct Number {
    enum class Kind { Unsigned, Signed, Float, TooBig };
    Kind kind = Kind::Float;
    std::uint64_t unsigned_value = 0;
    std::int64_t signed_value = 0;
    double float_value = 0;
};
[[nodiscard]] Number classify(std::string_view text);

// null, a boolean, a number or a string (its text after escapes).
using Scalar = std::variant<std::monostate, bool, Number, std::string_view>;

// What was found, in the words of a refusal.
[[nodiscard]] std::string describe(const Scalar& value);

// "invalid type: {found}, expected {expected}"
[[nodiscard]] std::string invalid_type(std::string_view found, std::string_view expected);

// The value of an unsigned integer field of `bits` (32 or 64) bits, or the refusal's text.
[[nodiscard]] std::expected<std::uint64_t, std::string> unsigned_field(const Scalar& value,
                                                                       unsigned bits);

} // namespace orvex::json_value
