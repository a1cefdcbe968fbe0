#include "owners/json_value.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "common/text.hpp"

namespace orvex::json_value {
namespace {

// The shortest digits that read back as the same double, in plain decimal without an exponent,
// with ".0" when no decimal point would appear: 1e5 is "100000.0", 5e-324 is "0.", 323 zeros, "5".
std::string format_float(double value) {
    char buffer[32]{}; // "-d.ddde-XXX", and a NUL after it for the exponent's conversion
    std::to_chars(buffer, buffer + sizeof(buffer) - 1, value, std::chars_format::scientific);
    const std::string_view text(buffer);
    const std::size_t sign = text[0] == '-' ? 1 : 0;
    const std::size_t e = text.find('e');
    std::string digits(text.substr(sign, e - sign));
    std::erase(digits, '.');
    const int point = std::atoi(buffer + e + 1) + 1; // digits before the decimal point
    digits.insert(0, static_cast<std::size_t>(std::max(1 - point, 0)), '0');
    const auto at = static_cast<std::size_t>(std::max(point, 1));
    digits.resize(std::max(digits.size(), at + 1), '0');
    return std::string(sign, '-') + digits.insert(at, 1, '.');
}

std::string describe(const Value& value) {
    if (const auto* n = std::get_if<Number>(&value)) {
        return n->kind == Number::Kind::Float
                   ? "floating point `" + format_float(n->float_value) + "`"
                   : "integer `" + std::string(n->text) + "`";
    }
    if (const auto* s = std::get_if<std::string_view>(&value)) {
        return "string " + quote_path(*s);
    }
    if (const auto* b = std::get_if<bool>(&value)) {
        return *b ? "boolean `true`" : "boolean `false`";
    }
    return std::holds_alternative<Map>(value)        ? "map"
           : std::holds_alternative<Sequence>(value) ? "sequence"
                                                     : "null";
}

} // namespace

Number classify(std::string_view text) {
    Number n{.text = text};
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos && text != "-0") {
        std::int64_t negative = 0;
        if (text[0] == '-' ? std::from_chars(first, last, negative).ec == std::errc{}
                           : std::from_chars(first, last, n.unsigned_value).ec == std::errc{}) {
            n.kind = text[0] == '-' ? Number::Kind::Signed : Number::Kind::Unsigned;
            return n;
        }
    }
    if (std::from_chars(first, last, n.float_value).ec == std::errc::result_out_of_range) {
        // Beyond the range of a double, or so close to zero that it reads as a signed zero.
        n.float_value = std::strtod(std::string(text).c_str(), nullptr);
        n.kind = std::isinf(n.float_value) ? Number::Kind::TooBig : Number::Kind::Float;
    }
    return n;
}

std::string invalid_type(const Value& found, std::string_view expected) {
    return "invalid type: " + describe(found) + ", expected " + std::string(expected);
}

std::expected<std::uint64_t, std::string> unsigned_field(const Value& value, unsigned bits) {
    const auto* n = std::get_if<Number>(&value);
    const std::string expected = bits == 32 ? "u32" : "u64";
    if (n == nullptr || (n->kind != Number::Kind::Unsigned && n->kind != Number::Kind::Signed)) {
        return std::unexpected(invalid_type(value, expected));
    }
    if (n->kind == Number::Kind::Signed || (bits == 32 && n->unsigned_value > 0xFFFFFFFFu)) {
        return std::unexpected("invalid value: " + describe(value) + ", expected " + expected);
    }
    return n->unsigned_value;
}

} // namespace orvex::json_value
