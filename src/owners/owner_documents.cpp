#include "owners/owner_documents.hpp"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdlib>
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
using json_value::Value;
using Stream = rapidjson::MemoryStream; // a NUL byte reads as the end of input, as at the end

// A refusal, and the offset of the byte at which it was found.
struct Fault {
    std::string message;
    std::size_t offset;
};
using Step = std::expected<void, Fault>;

std::unexpected<Fault> refuse(std::size_t offset, std::string message) {
    return std::unexpected(Fault{std::move(message), offset});
}
std::unexpected<Fault> refuse(std::size_t offset, rapidjson::ParseErrorCode code) {
    return refuse(offset, rapidjson::GetParseError_En(code));
}

JsonError error_at(std::string_view input, Fault fault) {
    const std::string_view before = input.substr(0, std::min(fault.offset, input.size()));
    const std::size_t line_start = before.rfind('\n') + 1; // 0 without a line feed
    return JsonError{std::move(fault.message),
                     1 + static_cast<std::uint64_t>(std::ranges::count(before, '\n')),
                     before.size() - line_start + 1};
}

// The offset of the first byte after white space (and commas, if asked) from `pos`.
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
    const auto take = [&](std::string_view set, std::size_t most = 1) {
        const std::size_t from = at;
        while (at < in.size() && at - from < most && set.contains(in[at])) {
            ++at;
        }
        return at - from;
    };
    const auto digits = [&] { return take("0123456789", in.size()); };
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
        const std::size_t whole = take("0") > 0 ? 1 : digits();
        bool well_formed = whole > 0 && (take(".") == 0 || digits() > 0);
        std::size_t exponent = 0;
        if (well_formed && take("eE") > 0) {
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

// ---- The records as tables of fields ----

struct Record;
// A record being read, from its object or its array form; a tagged identity from its object
// form only.
struct Into {
    const Record* record;
    void* object;
};
// Where a value goes; the pointer's type is its kind.
using Target = std::variant<std::string*, std::uint32_t*, std::uint64_t*, Into>;

// A field of a record: its name, whether the object form must hold it, and where in the record
// its value goes.
struct Field {
    std::string_view name;
    bool required;
    Target (*destination)(void* object);
};

// A record's name in refusals and its fields in declared order, which is that of the array form
// (required ones first). A tagged record is an object of one member, named by one of its fields.
struct Record {
    std::string_view name;
    std::span<const Field> fields;
    bool tagged = false;
};

// The place of a field; an identity is read as the tagged record below.
Target target_of(auto* place) {
    return place;
}
Target target_of(OwnerIdentity* identity);

template <auto member> Target destination(void* object) {
    return [object]<class Struct, class Type>(Type Struct::*field) {
        return target_of(&(static_cast<Struct*>(object)->*field));
    }(member);
}

template <class Variant, const Record& record> Target variant(void* identity) {
    return Into{&record, &static_cast<OwnerIdentity*>(identity)->value.emplace<Variant>()};
}

constexpr Field UNIX_FIELDS[] = {{"uid", true, destination<&UnixIdentity::uid>},
                                 {"gid", true, destination<&UnixIdentity::gid>}};
constexpr Record UNIX{"struct variant OwnerIdentity::Unix", UNIX_FIELDS};
constexpr Field WINDOWS_FIELDS[] = {{"sid", true, destination<&WindowsIdentity::sid>}};
constexpr Record WINDOWS{"struct variant OwnerIdentity::Windows", WINDOWS_FIELDS};
constexpr Field IDENTITY_FIELDS[] = {{"Unix", false, variant<UnixIdentity, UNIX>},
                                     {"Windows", false, variant<WindowsIdentity, WINDOWS>}};
constexpr Record IDENTITY{"enum OwnerIdentity", IDENTITY_FIELDS, true};
Target target_of(OwnerIdentity* identity) {
    return Into{&IDENTITY, identity};
}
constexpr Field ACTIVE_OWNER_FIELDS[] = {
    {"owner_key", true, destination<&ActiveOwnerState::owner_key>},
    {"identity", true, destination<&ActiveOwnerState::identity>},
    {"app_data_root", true, destination<&ActiveOwnerState::app_data_root>},
    {"generation", false, destination<&ActiveOwnerState::generation>},
    {"session_token_hash", false, destination<&ActiveOwnerState::session_token_hash>},
};
constexpr Record ACTIVE_OWNER{"struct ActiveOwnerState", ACTIVE_OWNER_FIELDS};

std::string unknown_variant(std::string_view name) {
    return "unknown variant `" + escape_text(name) + "`, expected `Unix` or `Windows`";
}

// What the next value must be: skipped (an unknown member's), refused (an element past a record's
// last field), or put in a target.
struct Skip {};
struct Beyond {};
using Want = std::variant<Skip, Beyond, Target>;

// An open object or array of a record.
struct Frame {
    Into into;
    bool array = false;
    Want next = Skip{};    // object: the value after the last key
    unsigned seen = 0;     // object: one bit per field met
    std::size_t count = 0; // array: elements met
};

// The strict record reader, driven by RapidJSON's events. Its frames nest three deep at most (the
// active owner record, its identity, the variant's content); a skipped value of any depth is
// counted, not stacked, so nothing recurses and the frames need no allocation.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
  public:
    Handler(std::string_view input, const Stream& stream, Into root)
        : input_(input), stream_(stream), root_(root) {}

    std::optional<Fault> fault; // why the handler stopped the reader, if it did

    // A scalar or a key ends at the byte before the stream's position, a bracket is at it; a
    // refused scalar is reported at its last byte, a refused container at its opening bracket.
    bool Null() { return value(std::monostate{}, stream_.Tell() - 1); }
    bool Bool(bool b) { return value(b, stream_.Tell() - 1); }
    bool StartObject() { return value(json_value::Map{}, stream_.Tell()); }
    bool StartArray() { return value(json_value::Sequence{}, stream_.Tell()); }
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool EndArray(rapidjson::SizeType) { return end(); }

    bool String(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view s(text, length);
        return valid_text(s) && value(s, stream_.Tell() - 1);
    }

    bool RawNumber(const char*, rapidjson::SizeType length, bool) {
        const std::size_t end = stream_.Tell();
        if (end < input_.size() && input_[end] >= '0' && input_[end] <= '9') {
            // A leading zero ("01"): the reader has ended the number at the zero and refuses the
            // stray digit next, with its own message; as the whole document it would stop there.
            return depth_ > 0 || settle(refuse(end, rapidjson::kParseErrorDocumentRootNotSingular));
        }
        if (skip_depth_ > 0) {
            return true;
        }
        // The text from the original bytes: the reader may have been handed a defused copy. The
        // reader's own refusal of a huge number is at its first byte.
        const Number number = json_value::classify(input_.substr(end - length, length));
        return value(number, number.kind == Number::Kind::TooBig ? end - length : end - 1);
    }

    bool Key(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view key(text, length);
        return valid_text(key) && (skip_depth_ > 0 || settle(member(frames_[depth_ - 1], key)));
    }

  private:
    bool settle(Step step) {
        if (!step) {
            fault = std::move(step.error());
        }
        return step.has_value();
    }

    // RapidJSON validates the document's UTF-8 but lets a \u escape of a lone low surrogate
    // through, encoded with the lead byte 0xED; so only a text that is not plain ASCII is checked.
    bool valid_text(std::string_view text) {
        unsigned char bits = 0;
        for (const char c : text) {
            bits |= static_cast<unsigned char>(c);
        }
        return bits < 0x80 || is_valid_unicode(text) ||
               settle(
                   refuse(stream_.Tell() - 1, rapidjson::kParseErrorStringUnicodeSurrogateInvalid));
    }

    static bool opens(const Value& found) {
        return std::holds_alternative<json_value::Map>(found) ||
               std::holds_alternative<json_value::Sequence>(found);
    }

    // What the value that starts now must be; in an array, the next field in order.
    Want next_want() {
        if (depth_ == 0) {
            return root_;
        }
        Frame& frame = frames_[depth_ - 1];
        if (!frame.array) {
            return frame.next;
        }
        const std::size_t index = frame.count++;
        const auto fields = frame.into.record->fields;
        return index < fields.size() ? Want{fields[index].destination(frame.into.object)}
                                     : Want{Beyond{}};
    }

    bool value(const Value& found, std::size_t at) {
        if (skip_depth_ > 0) {
            skip_depth_ += opens(found) ? 1 : 0;
            return true;
        }
        const Step step = put(next_want(), found, at);
        if (!opens(found)) {
            previous_end_ = stream_.Tell();
        }
        return settle(step);
    }

    Step put(const Want& want, const Value& found, std::size_t at) {
        if (std::holds_alternative<Skip>(want)) {
            skip_depth_ = opens(found) ? 1 : 0;
            return {};
        }
        if (std::holds_alternative<Beyond>(want)) {
            return refuse(skip_separators(input_, previous_end_, true), "trailing characters");
        }
        if (const auto* n = std::get_if<Number>(&found); n && n->kind == Number::Kind::TooBig) {
            return refuse(at, rapidjson::kParseErrorNumberTooBig);
        }
        return std::visit([&](auto target) { return fill(target, found, at); },
                          std::get<Target>(want));
    }

    static Step fill(std::string* field, const Value& found, std::size_t at) {
        const auto* text = std::get_if<std::string_view>(&found);
        if (text == nullptr) {
            return refuse(at, json_value::invalid_type(found, "a string"));
        }
        field->assign(*text);
        return {};
    }

    template <std::unsigned_integral Integer>
    static Step fill(Integer* field, const Value& found, std::size_t at) {
        auto number = json_value::unsigned_field(found, sizeof(Integer) * 8);
        if (!number) {
            return refuse(at, std::move(number.error()));
        }
        *field = static_cast<Integer>(*number);
        return {};
    }

    Step fill(Into into, const Value& found, std::size_t at) {
        const bool map = std::holds_alternative<json_value::Map>(found);
        if (into.record->tagged && !map) {
            // A bare string names a variant without its fields; anything else is no identity.
            const auto* text = std::get_if<std::string_view>(&found);
            return text == nullptr ? refuse(at, rapidjson::kParseErrorValueInvalid)
                   : *text == "Unix" || *text == "Windows"
                       ? refuse(at, "invalid type: unit variant, expected struct variant")
                       : refuse(at, unknown_variant(*text));
        }
        if (!opens(found)) {
            return refuse(at, json_value::invalid_type(found, into.record->name));
        }
        // The tables nest three deep at most; a deeper one is a fault in them, never in a
        // document, and must stop the program rather than write past the stack.
        if (depth_ >= frames_.size()) {
            std::abort();
        }
        frames_[depth_++] = Frame{.into = into, .array = !map};
        return {};
    }

    // A key: a field's name or an unknown member's; in a tagged record, its only member's.
    Step member(Frame& frame, std::string_view key) const {
        const Record& record = *frame.into.record;
        if (record.tagged && frame.seen != 0) {
            // A second member of the tagged form is a syntax fault at its comma.
            return refuse(skip_separators(input_, previous_end_, false),
                          "Missing '}' after the only member of an identity object.");
        }
        const auto field = std::ranges::find(record.fields, key, &Field::name);
        if (field == record.fields.end()) {
            frame.next = Skip{};
            return record.tagged ? refuse(stream_.Tell() - 1, unknown_variant(key)) : Step{};
        }
        const unsigned bit = 1u << (field - record.fields.begin());
        if ((frame.seen & bit) != 0) {
            return refuse(stream_.Tell() - 1, "duplicate field `" + std::string(key) + "`");
        }
        frame.seen |= bit;
        frame.next = field->destination(frame.into.object);
        return {};
    }

    bool end() {
        if (skip_depth_ > 0) {
            --skip_depth_;
        } else if (!settle(close(frames_[depth_ - 1], stream_.Tell()))) {
            return false;
        } else {
            --depth_;
        }
        previous_end_ = stream_.Tell() + 1;
        return true;
    }

    // The checks at a closing bracket, at offset `bracket`.
    static Step close(const Frame& frame, std::size_t bracket) {
        const Record& record = *frame.into.record;
        if (record.tagged && frame.seen == 0) {
            return refuse(bracket, rapidjson::kParseErrorObjectMissName);
        }
        for (std::size_t i = 0; !frame.array && i < record.fields.size(); ++i) {
            if (record.fields[i].required && (frame.seen & (1u << i)) == 0) {
                return refuse(bracket,
                              "missing field `" + std::string(record.fields[i].name) + "`");
            }
        }
        const auto size = record.fields.size();
        if (frame.array &&
            std::cmp_less(frame.count, std::ranges::count_if(record.fields, &Field::required))) {
            return refuse(bracket, "invalid length " + std::to_string(frame.count) + ", expected " +
                                       std::string(record.name) + " with " + std::to_string(size) +
                                       (size == 1 ? " element" : " elements"));
        }
        return {};
    }

    std::string_view input_;
    const Stream& stream_;
    Into root_;
    std::array<Frame, 3> frames_;
    std::size_t depth_ = 0;
    std::size_t skip_depth_ = 0;
    std::size_t previous_end_ = 0; // one past the last value that ended
};

// One document into a record. RapidJSON refuses a number beyond the range of a double while
// reading it, also where the value is skipped; on that refusal the document is read once more with
// every such number defused, each number's text still taken from the original bytes.
template <class Result>
std::expected<Result, JsonError> read_document(std::string_view input, const Record& record) {
    std::optional<std::string> defused;
    while (true) {
        Result result{};
        const std::string_view view = defused ? *defused : input;
        Stream stream(view.data(), view.size());
        Handler handler(input, stream, Into{&record, &result});
        rapidjson::Reader reader;
        const rapidjson::ParseResult parsed =
            reader.Parse<json_value::READER_FLAGS>(stream, handler);
        if (parsed.Code() == rapidjson::kParseErrorNumberTooBig && !defused) {
            defused = defuse_huge_numbers(input);
            continue;
        }
        const std::size_t after = skip_separators(input, stream.Tell(), false);
        if (handler.fault || parsed.IsError() || after < input.size()) {
            return std::unexpected(
                error_at(input, handler.fault      ? std::move(*handler.fault)
                                : parsed.IsError() ? refuse(parsed.Offset(), parsed.Code()).error()
                                                   : Fault{"trailing characters", after}));
        }
        return result;
    }
}

} // namespace

std::expected<OwnerIdentity, JsonError> parse_owner_identity(std::string_view bytes) {
    return read_document<OwnerIdentity>(bytes, IDENTITY);
}

std::expected<ActiveOwnerState, JsonError> parse_active_owner_state(std::string_view bytes) {
    return read_document<ActiveOwnerState>(bytes, ACTIVE_OWNER);
}

} // namespace orvex
