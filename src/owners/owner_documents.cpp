#include "owners/owner_documents.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <optional>
#include <span>

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "common/text.hpp"
#include "owners/json_value.hpp"

namespace orvex {
namespace {

using json_value::Number;
using Stream = rapidjson::MemoryStream; // a NUL byte reads as the end of input, as at the end

constexpr unsigned PARSE_FLAGS =
    rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
    rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;

std::string reader_message(rapidjson::ParseErrorCode code) {
    return rapidjson::GetParseError_En(code);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// RapidJSON validates the document's UTF-8 but lets a \u escape of a lone low surrogate through,
// encoded with the lead byte 0xED; so only a text that is not plain ASCII is checked in full.
bool holds_surrogate(std::string_view text) {
    unsigned char bits = 0;
    for (const char c : text) {
        bits |= static_cast<unsigned char>(c);
    }
    return bits >= 0x80 && !is_valid_unicode(text);
}

// A refusal, and the offset of the byte at which it was found.
struct Fault {
    std::string message;
    std::size_t offset;
};
using Step = std::expected<void, Fault>;

JsonError error_at(std::string_view input, Fault fault) {
    const std::string_view before = input.substr(0, std::min(fault.offset, input.size()));
    const std::size_t line_start = before.rfind('\n') + 1; // 0 without a line feed
    return JsonError{std::move(fault.message),
                     1 + static_cast<std::uint64_t>(std::ranges::count(before, '\n')),
                     before.size() - line_start + 1};
}

// The offset of the first byte after white space and commas from `pos`.
std::size_t skip_separators(std::string_view input, std::size_t pos, bool commas) {
    while (pos < input.size() &&
           (std::string_view(" \t\n\r").contains(input[pos]) || (commas && input[pos] == ','))) {
        ++pos;
    }
    return pos;
}

// A copy of the document in which every well-formed number that RapidJSON may refuse as beyond
// the range of a double (an exponent of three digits or more, or over 300 integer digits) is a zero
// of the same length ending in the same part (exponent or not), so that what follows reads as
// before. Strings are passed over; from the reader's first fault on, the views may differ.
std::string defuse_huge_numbers(std::string_view in) {
    std::string out(in);
    std::size_t at = 0;
    const auto take = [&](std::string_view set) {
        const bool taken = at < in.size() && in[at] != '\0' && set.contains(in[at]);
        at += taken ? 1 : 0;
        return taken;
    };
    const auto digits = [&] {
        const std::size_t from = at;
        while (take("0123456789")) {
        }
        return at - from;
    };
    for (std::size_t i = 0; i < in.size(); i = std::max(at, i + 1)) {
        at = i;
        if (take("\"")) {
            for (; at < in.size() && in[at] != '"'; at += in[at] == '\\' ? 2 : 1) {
            }
            ++at;
            continue;
        }
        take("-");
        const std::size_t start = at;
        const std::size_t whole = take("0") ? 1 : digits();
        bool well_formed = whole > 0 && (!take(".") || digits() > 0);
        std::size_t exponent = 0;
        if (well_formed && take("eE")) {
            take("+-");
            well_formed = (exponent = digits()) > 0;
        }
        if (well_formed && (exponent >= 3 || whole > 300)) {
            out.replace(start, at - start, at - start, '0');
            out[start + 1] = exponent > 0 ? 'e' : '.';
        }
    }
    return out;
}

// ---- The two records as tables of fields ----

// Where a field's value goes; the pointer's type is the field's kind: text, u32, u64 or identity.
using Destination = std::variant<std::string*, std::uint32_t*, std::uint64_t*, OwnerIdentity*>;

struct Field {
    std::string_view name;
    bool required;
    Destination destination;
};

// A record's fields in their declared order, which is that of the array form (required ones
// first), and the record's name in refusals.
struct Record {
    std::string_view name;
    std::array<Field, 5> table;
    std::size_t size = 0;
    std::span<const Field> fields() const { return {table.data(), size}; }
};

Record record_of(ActiveOwnerState* r) {
    return {"struct ActiveOwnerState",
            {{{"owner_key", true, &r->owner_key},
              {"identity", true, &r->identity},
              {"app_data_root", true, &r->app_data_root},
              {"generation", false, &r->generation},
              {"session_token_hash", false, &r->session_token_hash}}},
            5};
}

// The content of the identity's two variants; the identity itself is the tagged form read by
// `Handler::variant_key`.
Record record_of(OwnerIdentity::Unix* r) {
    return {"struct variant OwnerIdentity::Unix",
            {{{"uid", true, &r->uid}, {"gid", true, &r->gid}}},
            2};
}

Record record_of(OwnerIdentity::Windows* r) {
    return {"struct variant OwnerIdentity::Windows", {{{"sid", true, &r->sid}}}, 1};
}

// What the next value must be: skipped, one beyond a record's fields, a field's value, an identity
// in its tagged form, or a record's object or array.
struct Skip {};
struct Beyond {};
using Want =
    std::variant<Skip, Beyond, std::string*, std::uint32_t*, std::uint64_t*, OwnerIdentity*,
                 ActiveOwnerState*, OwnerIdentity::Unix*, OwnerIdentity::Windows*>;

Want want_of(const Destination& destination) {
    return std::visit([](auto* target) -> Want { return target; }, destination);
}

// Calls `use` with the record that `want` asks for; false when it asks for none.
template <class Use> bool with_record(const Want& want, Use use) {
    return std::visit(
        [&](auto target) {
            if constexpr (requires { record_of(target); }) {
                use(record_of(target));
                return true;
            } else {
                return false;
            }
        },
        want);
}

// The expected-type name of a text, an integer or a record in an "invalid type" refusal.
std::string_view expected_name(const Want& want) {
    std::string_view name;
    if (with_record(want, [&](const Record& record) { name = record.name; })) {
        return name;
    }
    return std::holds_alternative<std::string*>(want)     ? "a string"
           : std::holds_alternative<std::uint32_t*>(want) ? "u32"
                                                          : "u64";
}

std::string unknown_variant(std::string_view name) {
    return "unknown variant `" + escape_text(name) + "`, expected `Unix` or `Windows`";
}

// An open object or array of a record, or the object of a tagged identity.
struct Frame {
    enum class Shape { Object, Array, Tagged };
    enum class Tag { BeforeKey, InContent, Done };
    Shape shape = Shape::Object;
    Record record{};                   // Object, Array
    OwnerIdentity* identity = nullptr; // Tagged: where the variant goes
    Tag tag = Tag::BeforeKey;          // Tagged
    unsigned seen = 0;                 // Object: one bit per field met
    std::size_t count = 0;             // Array: elements met
};

// The strict record reader, driven by RapidJSON's events. Its frames nest three deep at most (the
// active owner record, its identity, the variant's content); a skipped value of any depth is
// counted, not stacked, so nothing recurses and the frames need no allocation.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
  public:
    Handler(std::string_view input, const Stream& stream, Want root)
        : input_(input), stream_(stream), pending_(root) {}

    std::optional<Fault> fault;

    bool Null() { return value(std::monostate{}); }
    bool Bool(bool b) { return value(b); }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view s(text, length);
        return holds_surrogate(s) ? settle(bad_surrogate()) : value(s);
    }
    bool StartObject() { return value(json_value::Map{}); }
    bool StartArray() { return value(json_value::Sequence{}); }
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool EndArray(rapidjson::SizeType) { return end(); }

    bool RawNumber(const char*, rapidjson::SizeType length, bool) {
        const std::size_t end = stream_.Tell();
        if (end < input_.size() && is_digit(input_[end])) {
            // A leading zero ("01"): the reader has ended the number at the zero and refuses the
            // stray digit next, with its own message; as the whole document it would stop there.
            return depth_ > 0 ||
                   settle(at(end, reader_message(rapidjson::kParseErrorDocumentRootNotSingular)));
        }
        // The text from the original bytes: the reader may have been handed a defused copy.
        number_start_ = end - length;
        return value(json_value::classify(input_.substr(number_start_, length)));
    }

    bool Key(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view key(text, length);
        if (holds_surrogate(key)) {
            return settle(bad_surrogate());
        }
        Frame& frame = frames_[depth_ - 1];
        return skip_depth_ > 0 ||
               settle(frame.shape == Frame::Shape::Tagged ? variant_key(frame, key)
                                                          : field_key(frame, key));
    }

  private:
    bool settle(Step step) {
        if (!step) {
            fault = std::move(step.error());
        }
        return step.has_value();
    }

    static std::unexpected<Fault> at(std::size_t offset, std::string message) {
        return std::unexpected(Fault{std::move(message), offset});
    }
    // A scalar or a key ends at the byte before the stream's position.
    std::size_t last_byte() const { return stream_.Tell() - 1; }
    std::unexpected<Fault> bad_surrogate() const {
        return at(last_byte(), reader_message(rapidjson::kParseErrorStringUnicodeSurrogateInvalid));
    }

    // What the value that starts now must be; in an array, the next field in order.
    Want next_want() {
        if (depth_ == 0 || frames_[depth_ - 1].shape != Frame::Shape::Array) {
            return pending_;
        }
        Frame& frame = frames_[depth_ - 1];
        const std::size_t index = frame.count++;
        return index < frame.record.size ? want_of(frame.record.table[index].destination)
                                         : Want{Beyond{}};
    }

    bool value(const json_value::Value& found) {
        const bool opens = std::holds_alternative<json_value::Map>(found) ||
                           std::holds_alternative<json_value::Sequence>(found);
        if (skip_depth_ > 0) {
            skip_depth_ += opens ? 1 : 0;
            return true;
        }
        // A refused container is reported at its opening bracket, a scalar at its last byte.
        Step step = put(next_want(), found, opens, opens ? stream_.Tell() : last_byte());
        if (step && !opens) {
            value_done(stream_.Tell());
        }
        return settle(std::move(step));
    }

    template <class Integer>
    Step put_unsigned(Integer* field, const json_value::Value& found, std::size_t end) {
        auto number = json_value::unsigned_field(found, sizeof(Integer) * 8);
        if (!number) {
            return at(end, std::move(number.error()));
        }
        *field = static_cast<Integer>(*number);
        return {};
    }

    Step put(const Want& want, const json_value::Value& found, bool opens, std::size_t end) {
        const auto* text = std::get_if<std::string_view>(&found);
        const auto* number = std::get_if<Number>(&found);
        if (std::holds_alternative<Skip>(want)) {
            skip_depth_ = opens ? 1 : 0;
            return {};
        }
        if (std::holds_alternative<Beyond>(want)) { // an element beyond a record's fields
            return at(skip_separators(input_, previous_end_, true), "trailing characters");
        }
        if (number && number->kind == Number::Kind::TooBig) {
            return at(number_start_, reader_message(rapidjson::kParseErrorNumberTooBig));
        }
        if (auto* const* field = std::get_if<std::string*>(&want); field && text) {
            (*field)->assign(*text);
            return {};
        }
        if (auto* const* field = std::get_if<std::uint32_t*>(&want)) {
            return put_unsigned(*field, found, end);
        }
        if (auto* const* field = std::get_if<std::uint64_t*>(&want)) {
            return put_unsigned(*field, found, end);
        }
        if (auto* const* identity = std::get_if<OwnerIdentity*>(&want)) {
            if (std::holds_alternative<json_value::Map>(found)) {
                push(Frame::Shape::Tagged).identity = *identity;
                return {};
            }
            // A bare string names a variant without its fields; anything else is no identity.
            return at(end, !text ? reader_message(rapidjson::kParseErrorValueInvalid)
                           : *text == "Unix" || *text == "Windows"
                               ? "invalid type: unit variant, expected struct variant"
                               : unknown_variant(*text));
        }
        const auto shape = std::holds_alternative<json_value::Map>(found) ? Frame::Shape::Object
                                                                          : Frame::Shape::Array;
        if (opens &&
            with_record(want, [&](const Record& record) { push(shape).record = record; })) {
            return {};
        }
        return at(end, json_value::invalid_type(found, expected_name(want)));
    }

    Frame& push(Frame::Shape shape) {
        assert(depth_ < frames_.size());
        Frame& frame = frames_[depth_++];
        frame.shape = shape;
        frame.tag = Frame::Tag::BeforeKey;
        frame.seen = 0;
        frame.count = 0;
        return frame;
    }

    Step field_key(Frame& frame, std::string_view key) {
        const auto fields = frame.record.fields();
        const auto field = std::ranges::find(fields, key, &Field::name);
        const unsigned bit = 1u << (field - fields.begin());
        if (field != fields.end() && (frame.seen & bit) != 0) {
            return at(last_byte(), "duplicate field `" + std::string(key) + "`");
        }
        frame.seen |= field != fields.end() ? bit : 0;
        pending_ = field != fields.end() ? want_of(field->destination) : Want{Skip{}};
        return {};
    }

    Step variant_key(Frame& frame, std::string_view key) {
        if (frame.tag == Frame::Tag::Done) {
            // The tagged form has exactly one member: a second one is a syntax fault at its comma.
            return at(input_.find(',', previous_end_),
                      "Missing '}' after the only member of an identity object.");
        }
        if (key == "Unix") {
            pending_ = &frame.identity->value.emplace<OwnerIdentity::Unix>();
        } else if (key == "Windows") {
            pending_ = &frame.identity->value.emplace<OwnerIdentity::Windows>();
        } else {
            return at(last_byte(), unknown_variant(key));
        }
        frame.tag = Frame::Tag::InContent;
        return {};
    }

    bool end() {
        if (skip_depth_ > 0) {
            if (--skip_depth_ == 0) {
                value_done(stream_.Tell() + 1);
            }
            return true;
        }
        Step step = close(frames_[depth_ - 1], stream_.Tell());
        if (step) {
            --depth_;
            value_done(stream_.Tell() + 1);
        }
        return settle(std::move(step));
    }

    // The checks at a closing bracket, at offset `bracket`.
    static Step close(const Frame& frame, std::size_t bracket) {
        const auto fields = frame.record.fields();
        if (frame.shape == Frame::Shape::Tagged && frame.tag == Frame::Tag::BeforeKey) {
            return at(bracket, reader_message(rapidjson::kParseErrorObjectMissName));
        }
        for (std::size_t i = 0; frame.shape == Frame::Shape::Object && i < fields.size(); ++i) {
            if (fields[i].required && (frame.seen & (1u << i)) == 0) {
                return at(bracket, "missing field `" + std::string(fields[i].name) + "`");
            }
        }
        const auto required = std::ranges::count_if(fields, &Field::required);
        if (frame.shape == Frame::Shape::Array && std::cmp_less(frame.count, required)) {
            return at(bracket, "invalid length " + std::to_string(frame.count) + ", expected " +
                                   std::string(frame.record.name) + " with " +
                                   std::to_string(fields.size()) +
                                   (fields.size() == 1 ? " element" : " elements"));
        }
        return {};
    }

    // A value has ended at `end`, one past its last byte.
    void value_done(std::size_t end) {
        previous_end_ = end;
        if (depth_ > 0 && frames_[depth_ - 1].tag == Frame::Tag::InContent) {
            frames_[depth_ - 1].tag = Frame::Tag::Done;
        }
    }

    std::string_view input_;
    const Stream& stream_;
    std::array<Frame, 3> frames_;
    std::size_t depth_ = 0;
    std::size_t skip_depth_ = 0;
    std::size_t previous_end_ = 0;
    std::size_t number_start_ = 0;
    Want pending_; // the document, or the value after the last key
};

// One document into a record. RapidJSON refuses a number beyond the range of a double while
// reading it, also where the value is skipped; on that refusal the document is read once more with
// every such number defused, each number's text still taken from the original bytes.
template <class Result> std::expected<Result, JsonError> read_document(std::string_view input) {
    std::optional<std::string> defused;
    while (true) {
        Result result{};
        const std::string_view view = defused ? *defused : input;
        Stream stream(view.data(), view.size());
        Handler handler(input, stream, &result);
        rapidjson::Reader reader;
        const rapidjson::ParseResult parsed = reader.Parse<PARSE_FLAGS>(stream, handler);
        if (parsed.Code() == rapidjson::kParseErrorNumberTooBig && !defused) {
            defused = defuse_huge_numbers(input);
            continue;
        }
        std::optional<Fault> fault = std::move(handler.fault);
        if (!fault && parsed.IsError()) {
            fault = Fault{reader_message(parsed.Code()), parsed.Offset()};
        }
        const std::size_t after = skip_separators(input, stream.Tell(), false);
        if (!fault && after < input.size()) {
            fault = Fault{"trailing characters", after};
        }
        if (fault) {
            return std::unexpected(error_at(input, std::move(*fault)));
        }
        return result;
    }
}

} // namespace

std::expected<OwnerIdentity, JsonError> parse_owner_identity(std::string_view bytes) {
    return read_document<OwnerIdentity>(bytes);
}

std::expected<ActiveOwnerState, JsonError> parse_active_owner_state(std::string_view bytes) {
    return read_document<ActiveOwnerState>(bytes);
}

} // namespace orvex
