#include "owners/json_value.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "common/text.hpp"

namespace orvex::json_value {
namespace {

// The shortest digits that read back as the same double, in plain decimal without an exponent,
// with ".0" when no decimal point would appear: 1e5 is "100000.0", 5e-324 is "0.", 323 zeros, "5".
std::string format_float(double value) {
    char buffer[32]; // "-d.ddde+XX"
    const char* end =
        std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::scientific).ptr;
    const std::string_view text(buffer, end);
    const std::size_t e = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), end, exponent);
    std::string digits(text.substr(text[0] == '-' ? 1 : 0, e - (text[0] == '-' ? 1 : 0)));
    std::erase(digits, '.');
    const auto count = static_cast<int>(digits.size());
    if (exponent < 0) {
        digits.insert(0, "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0'));
    } else if (exponent >= count - 1) {
        digits.append(static_cast<std::size_t>(exponent - (count - 1)), '0').append(".0");
    } else {
        digits.insert(digits.begin() + exponent + 1, '.');
    }
    return text[0] == '-' ? "-" + digits : digits;
}

} // namespace

Number classify(std::string_view text) {
    Number n;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos && text != "-0") {
        if (text[0] == '-' && std::from_chars(first, last, n.signed_value).ec == std::errc{}) {
            n.kind = Number::Kind::Signed;
            return n;
        }
        if (text[0] != '-' && std::from_chars(first, last, n.unsigned_value).ec == std::errc{}) {
            n.kind = Number::Kind::Unsigned;
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

std::string describe(const Value& value) {
    if (const auto* n = std::get_if<Number>(&value)) {
        return n->kind == Number::Kind::Unsigned
                   ? "integer `" + std::to_string(n->unsigned_value) + "`"
               : n->kind == Number::Kind::Signed
                   ? "integer `" + std::to_string(n->signed_value) + "`"
                   : "floating point `" + format_float(n->float_value) + "`";
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

std::string invalid_type(const Value& found, std::string_view expected) {
    return "invalid type: " + describe(found) + ", expected " + std::string(expected);
}

std::expected<std::uint64_t, std::string> unsigned_field(const Value& value, unsigned bits) {
    const auto* n = std::get_if<Number>(&value);
    const char* expected = bits == 32 ? "u32" : "u64";
    if (n != nullptr && n->kind == Number::Kind::Unsigned &&
        (bits == 64 || n->unsigned_value <= 0xFFFFFFFFu)) {
        return n->unsigned_value;
    }
    if (n != nullptr && (n->kind == Number::Kind::Signed || n->kind == Number::Kind::Unsigned)) {
        return std::unexpected("invalid value: " + describe(value) + ", expected " + expected);
    }
    return std::unexpected(invalid_type(value, expected));
}

} // namespace orvex::json_value
