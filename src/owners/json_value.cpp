#include "owners/json_value.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "common/text.hpp"

namespace orvex::json_value {
namespace {

// The shortest digits that read back as the same double, laid out in plain decimal without an
// exponent, with ".0" when no decimal point would appear: 1e5 is "100000.0", 5e-324 is "0." with
// 323 zeros and "5".
std::string format_float(double value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof(buffer), value,
                                   std::chars_format::scientific) // "-d.ddde+XX"
                         .ptr;
    const std::string_view text(buffer, end);
    const std::size_t e = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), end, exponent);
    std::string digits;
    for (const char c : text.substr(0, e)) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    std::string out = text.front() == '-' ? "-" : "";
    const auto count = static_cast<int>(digits.size());
    if (exponent < 0) {
        out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    } else if (exponent >= count - 1) {
        out.append(digits).append(static_cast<std::size_t>(exponent - (count - 1)), '0');
        out += ".0";
    } else {
        const auto point = static_cast<std::size_t>(exponent + 1);
        out.append(digits, 0, point).append(".").append(digits, point);
    }
    return out;
}

} // namespace

Number classify(std::string_view text) {
    Number n;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos && text != "-0") {
        if (text.front() == '-') {
            if (std::from_chars(first, last, n.signed_value).ec == std::errc{}) {
                n.kind = Number::Kind::Signed;
                return n;
            }
        } else if (std::from_chars(first, last, n.unsigned_value).ec == std::errc{}) {
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

std::string describe(const Scalar& value) {
    if (const auto* b = std::get_if<bool>(&value)) {
        return *b ? "boolean `true`" : "boolean `false`";
    }
    if (const auto* s = std::get_if<std::string_view>(&value)) {
        return "string " + quote_path(*s);
    }
    if (const auto* n = std::get_if<Number>(&value)) {
        switch (n->kind) {
        case Number::Kind::Unsigned:
            return "integer `" + std::to_string(n->unsigned_value) + "`";
        case Number::Kind::Signed:
            return "integer `" + std::to_string(n->signed_value) + "`";
        default:
            return "floating point `" + format_float(n->float_value) + "`";
        }
    }
    return "null";
}

std::string invalid_type(std::string_view found, std::string_view expected) {
    return "invalid type: " + std::string(found) + ", expected " + std::string(expected);
}

std::expected<std::uint64_t, std::string> unsigned_field(const Scalar& value, unsigned bits) {
    const auto* n = std::get_if<Number>(&value);
    const char* expected = bits == 32 ? "u32" : "u64";
    const std::uint64_t max = bits == 32 ? 0xFFFFFFFFu : ~std::uint64_t{0};
    if (n != nullptr && n->kind == Number::Kind::Unsigned && n->unsigned_value <= max) {
        return n->unsigned_value;
    }
    if (n != nullptr && (n->kind == Number::Kind::Signed || n->kind == Number::Kind::Unsigned)) {
        return std::unexpected("invalid value: " + describe(value) + ", expected " + expected);
    }
    return std::unexpected(invalid_type(describe(value), expected));
}

} // namespace orvex::json_value
