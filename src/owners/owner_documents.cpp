#include "owners/owner_documents.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include "common/text.hpp"

namespace orvex {
namespace {

// A byte range for RapidJSON's reader. RapidJSON marks the end of input with '\0', so a NUL byte
// inside the document ends the reader's view there; what follows is then refused as trailing
// characters or as an unterminated value, never silently accepted.
class ByteStream {
  public:
    using Ch = char;
    explicit ByteStream(std::string_view bytes) : bytes_(bytes) {}
    Ch Peek() const { return pos_ < bytes_.size() ? bytes_[pos_] : '\0'; }
    Ch Take() { return pos_ < bytes_.size() ? bytes_[pos_++] : '\0'; }
    std::size_t Tell() const { return pos_; }
    // Writing is never used: the reader does not parse in place.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }

  private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

constexpr unsigned PARSE_FLAGS =
    rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
    rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;

// RapidJSON has validated the document's UTF-8, but it lets a \u escape of a lone low surrogate
// through, encoded with the lead byte 0xED; only then is the text checked in full.
bool holds_surrogate(std::string_view text) {
    return text.find('\xED') != std::string_view::npos && !is_valid_unicode(text);
}

bool is_json_whitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Line (from 1) and byte column (from 1) of the byte at `offset`.
JsonError error_at(std::string_view input, std::string message, std::size_t offset) {
    offset = std::min(offset, input.size());
    std::uint64_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (input[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return JsonError{std::move(message), line, offset - line_start + 1};
}

// A number, classified from its text: integers without fraction or exponent that fit, else a
// floating-point value.
struct Number {
    enum class Kind { Unsigned, Signed, Float, TooBig };
    Kind kind = Kind::Float;
    std::uint64_t unsigned_value = 0;
    std::int64_t signed_value = 0;
    double float_value = 0;
};

Number classify(std::string_view raw) {
    Number n;
    const char* first = raw.data();
    const char* last = raw.data() + raw.size();
    if (raw.find_first_of(".eE") == std::string_view::npos && raw != "-0") {
        if (raw.front() == '-') {
            if (auto r = std::from_chars(first, last, n.signed_value); r.ec == std::errc{}) {
                n.kind = Number::Kind::Signed;
                return n;
            }
        } else if (auto r = std::from_chars(first, last, n.unsigned_value); r.ec == std::errc{}) {
            n.kind = Number::Kind::Unsigned;
            return n;
        }
    }
    n.kind = Number::Kind::Float;
    if (std::from_chars(first, last, n.float_value).ec == std::errc::result_out_of_range) {
        // Beyond the range of a double, or so close to zero that it reads as a signed zero.
        n.float_value = std::strtod(std::string(raw).c_str(), nullptr);
        if (std::isinf(n.float_value)) {
            n.kind = Number::Kind::TooBig;
        }
    }
    return n;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A copy of the document in which every number that RapidJSON might refuse as beyond the range
// of a double (an exponent of three digits or more, or more than 300 integer digits) is a zero of
// the same length and the same shape at its end, so that what follows it reads as before; the
// handler takes each number's text from the original bytes. Gives nothing when no number needs
// this. Strings are passed over, escapes included; from the reader's first fault on, the two views
// may differ, but nothing is read from there.
std::optional<std::string> defuse_huge_numbers(std::string_view in) {
    std::optional<std::string> out;
    const auto digits = [&](std::size_t& at) {
        const std::size_t from = at;
        while (at < in.size() && is_digit(in[at])) {
            ++at;
        }
        return at - from;
    };
    std::size_t i = 0;
    while (i < in.size()) {
        if (in[i] == '"') {
            for (++i; i < in.size() && in[i] != '"'; i += in[i] == '\\' ? 2 : 1) {
            }
            ++i;
            continue;
        }
        if (in[i] != '-' && !is_digit(in[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i + (in[i] == '-' ? 1 : 0);
        std::size_t at = start;
        const std::size_t whole = at < in.size() && in[at] == '0' ? (++at, 1) : digits(at);
        std::size_t exponent = 0;
        bool malformed = whole == 0;
        if (!malformed && at < in.size() && in[at] == '.') {
            ++at;
            malformed = digits(at) == 0;
        }
        if (!malformed && at < in.size() && (in[at] == 'e' || in[at] == 'E')) {
            ++at;
            if (at < in.size() && (in[at] == '+' || in[at] == '-')) {
                ++at;
            }
            exponent = digits(at);
            malformed = exponent == 0;
        }
        if (!malformed && (exponent >= 3 || whole > 300)) {
            if (!out) {
                out.emplace(in);
            }
            std::string& text = *out;
            text[start] = '0';
            text[start + 1] = exponent > 0 ? 'e' : '.';
            std::fill(text.begin() + static_cast<std::ptrdiff_t>(start + 2),
                      text.begin() + static_cast<std::ptrdiff_t>(at), '0');
        }
        i = std::max(at, i + 1);
    }
    return out;
}

// The shortest digits that read back as the same double, laid out in plain decimal without an
// exponent, with ".0" when no decimal point would appear: 1e5 is "100000.0", 5e-324 is "0." with
// 323 zeros and "5".
std::string format_float(double value) {
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof(buffer), value,
                                 std::chars_format::scientific); // "-d.ddde+XX"
    const std::string_view text(buffer, r.ptr);
    const std::size_t e = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exponent);
    std::string digits;
    for (const char c : text.substr(0, e)) {
        if (is_digit(c)) {
            digits.push_back(c);
        }
    }
    std::string out = text.front() == '-' ? "-" : "";
    const auto count = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent >= count - 1) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<std::size_t>(exponent + 1));
    }
    return out;
}

// What a value was, in the words of the refusal messages.
struct Found {
    std::string text;
};
Found found_null() {
    return {"null"};
}
Found found_bool(bool b) {
    return {std::string("boolean `") + (b ? "true" : "false") + "`"};
}
Found found_string(std::string_view s) {
    return {"string " + quote_path(s)};
}
Found found_number(const Number& n) {
    switch (n.kind) {
    case Number::Kind::Unsigned:
        return {"integer `" + std::to_string(n.unsigned_value) + "`"};
    case Number::Kind::Signed:
        return {"integer `" + std::to_string(n.signed_value) + "`"};
    default:
        return {"floating point `" + format_float(n.float_value) + "`"};
    }
}
Found found_sequence() {
    return {"sequence"};
}
Found found_map() {
    return {"map"};
}

enum class Document { Identity, Active };

// What the next value must be.
enum class Target {
    Document,
    String,
    U32,
    U64,
    Identity,
    UnixContent,
    WindowsContent,
    Skip,
    Extra
};

struct Frame {
    enum class Kind {
        ActiveObject,
        ActiveArray,
        IdentityObject,
        UnixObject,
        UnixArray,
        WindowsObject,
        WindowsArray
    };
    Frame() = default;
    explicit Frame(Kind k, OwnerIdentity* destination = nullptr) : kind(k), identity(destination) {}
    Kind kind = Kind::ActiveObject;
    OwnerIdentity* identity = nullptr; // where an identity frame's result goes
    unsigned seen = 0;                 // defined keys met so far (objects)
    std::size_t count = 0;             // elements met so far (arrays)
    int variant_state = 0; // IdentityObject: 0 before the key, 1 in the content, 2 after
    OwnerIdentity::Unix unix_value;
    OwnerIdentity::Windows windows_value;
};

// The records nest three deep at most (the active owner record, its identity, the variant's
// content); a skipped value is counted, not stacked. So the frames need no allocation.
class FrameStack {
  public:
    bool empty() const { return size_ == 0; }
    Frame& back() { return frames_[size_ - 1]; }
    void push_back(Frame frame) {
        assert(size_ < frames_.size());
        frames_[size_++] = std::move(frame);
    }
    void pop_back() { --size_; }

  private:
    std::array<Frame, 3> frames_;
    std::size_t size_ = 0;
};

// Field bits for `Frame::seen`.
enum : unsigned {
    OWNER_KEY = 1,
    IDENTITY = 2,
    APP_DATA_ROOT = 4,
    GENERATION = 8,
    SESSION_TOKEN_HASH = 16,
    UID = 1,
    GID = 2,
    SID = 1,
};

const char* UNIX_EXPECTED = "struct variant OwnerIdentity::Unix";
const char* WINDOWS_EXPECTED = "struct variant OwnerIdentity::Windows";

// The SAX handler: a state machine whose stack depth is bounded by the records' own nesting.
// Unknown members of any depth are skipped by counting brackets, without recursion.
class Handler {
  public:
    Handler(Document document, std::string_view input, const ByteStream& stream)
        : document_(document), input_(input), stream_(stream) {}

    std::optional<JsonError> error;
    OwnerIdentity identity_result;
    ActiveOwnerState active_result;

    // ---- Scalars ----
    bool Null() {
        return scalar([] { return found_null(); }, [](Target) { return false; });
    }
    bool Bool(bool b) {
        return scalar([b] { return found_bool(b); }, [](Target) { return false; });
    }
    bool Int(int) { return true; } // never called: numbers arrive as text
    bool Uint(unsigned) { return true; }
    bool Int64(std::int64_t) { return true; }
    bool Uint64(std::uint64_t) { return true; }
    bool Double(double) { return true; }

    bool RawNumber(const char*, rapidjson::SizeType length, bool) {
        // The text from the original bytes: the reader may have been handed a stand-in.
        const std::size_t start = stream_.Tell() - length;
        if (stream_.Tell() < input_.size() && is_digit(input_[stream_.Tell()])) {
            // A leading zero ("01", "-01"): the reader has ended the number at the zero and will
            // refuse the stray digit next, with its own message and position. The whole document
            // is the exception, as the reader stops there; it would say this without the stop.
            if (frames_.empty()) {
                return fail(
                    rapidjson::GetParseError_En(rapidjson::kParseErrorDocumentRootNotSingular),
                    stream_.Tell());
            }
            return true;
        }
        const Number number = classify(input_.substr(start, length));
        if (number.kind == Number::Kind::TooBig && skip_depth_ == 0) {
            const Target target = next_target();
            if (target == Target::Skip) {
                value_done(stream_.Tell());
                return true;
            }
            if (target == Target::Extra) {
                return trailing();
            }
            return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorNumberTooBig), start);
        }
        return scalar([&] { return found_number(number); },
                      [&](Target target) { return store_number(target, number); });
    }

    bool String(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view value(text, length);
        if (holds_surrogate(value)) {
            return bad_surrogate();
        }
        return scalar([value] { return found_string(value); },
                      [&](Target target) { return store_string(target, value); });
    }

    // ---- Objects ----
    bool StartObject() {
        bool handled = true;
        const auto target = container_target(handled);
        if (!target) {
            return handled;
        }
        switch (*target) {
        case Target::Document:
            if (document_ == Document::Active) {
                frames_.push_back(Frame{Frame::Kind::ActiveObject});
            } else {
                frames_.push_back(Frame{Frame::Kind::IdentityObject, &identity_result});
            }
            return true;
        case Target::Identity:
            frames_.push_back(Frame{Frame::Kind::IdentityObject, &active_result.identity});
            return true;
        case Target::UnixContent:
            frames_.push_back(Frame{Frame::Kind::UnixObject, slot_identity_});
            return true;
        case Target::WindowsContent:
            frames_.push_back(Frame{Frame::Kind::WindowsObject, slot_identity_});
            return true;
        default:
            return invalid_type(found_map(), *target, here());
        }
    }

    bool Key(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view key(text, length);
        if (holds_surrogate(key)) {
            return bad_surrogate();
        }
        if (skip_depth_ > 0) {
            return true;
        }
        Frame& frame = frames_.back();
        switch (frame.kind) {
        case Frame::Kind::ActiveObject:
            return member_key(
                frame, key,
                {{"owner_key", OWNER_KEY, Target::String, &active_result.owner_key},
                 {"identity", IDENTITY, Target::Identity},
                 {"app_data_root", APP_DATA_ROOT, Target::String, &active_result.app_data_root},
                 {"generation", GENERATION, Target::U64, nullptr, nullptr,
                  &active_result.generation},
                 {"session_token_hash", SESSION_TOKEN_HASH, Target::String,
                  &active_result.session_token_hash}});
        case Frame::Kind::UnixObject:
            return member_key(frame, key,
                              {{"uid", UID, Target::U32, nullptr, &frame.unix_value.uid},
                               {"gid", GID, Target::U32, nullptr, &frame.unix_value.gid}});
        case Frame::Kind::WindowsObject:
            return member_key(frame, key, {{"sid", SID, Target::String, &frame.windows_value.sid}});
        case Frame::Kind::IdentityObject:
            if (frame.variant_state == 2) {
                // The tagged form has exactly one member: a second one is a syntax fault at its
                // comma.
                return fail("Missing '}' after the only member of an identity object.",
                            comma_before_key());
            }
            if (key == "Unix") {
                pending_ = Target::UnixContent;
            } else if (key == "Windows") {
                pending_ = Target::WindowsContent;
            } else {
                return fail(unknown_variant(key), last_byte());
            }
            slot_identity_ = frame.identity;
            frame.variant_state = 1;
            return true;
        default:
            return true; // arrays have no keys
        }
    }

    bool EndObject(rapidjson::SizeType) {
        if (skip_depth_ > 0) {
            return end_skipped();
        }
        Frame& frame = frames_.back();
        const std::size_t at = stream_.Tell(); // the closing brace, not yet taken
        switch (frame.kind) {
        case Frame::Kind::ActiveObject:
            for (const auto& [bit, name] :
                 {std::pair{OWNER_KEY, "owner_key"}, std::pair{IDENTITY, "identity"},
                  std::pair{APP_DATA_ROOT, "app_data_root"}}) {
                if ((frame.seen & bit) == 0) {
                    return fail(std::string("missing field `") + name + "`", at);
                }
            }
            break;
        case Frame::Kind::IdentityObject:
            if (frame.variant_state == 0) {
                return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorObjectMissName), at);
            }
            break;
        case Frame::Kind::UnixObject:
            if ((frame.seen & UID) == 0) {
                return fail("missing field `uid`", at);
            }
            if ((frame.seen & GID) == 0) {
                return fail("missing field `gid`", at);
            }
            frame.identity->value = frame.unix_value;
            break;
        case Frame::Kind::WindowsObject:
            if ((frame.seen & SID) == 0) {
                return fail("missing field `sid`", at);
            }
            frame.identity->value = std::move(frame.windows_value);
            break;
        default:
            break;
        }
        frames_.pop_back();
        value_done(at + 1);
        return true;
    }

    // ---- Arrays ----
    bool StartArray() {
        bool handled = true;
        const auto target = container_target(handled);
        if (!target) {
            return handled;
        }
        switch (*target) {
        case Target::Document:
            if (document_ == Document::Active) {
                frames_.push_back(Frame{Frame::Kind::ActiveArray});
                return true;
            }
            return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorValueInvalid), here());
        case Target::Identity:
            return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorValueInvalid), here());
        case Target::UnixContent:
            frames_.push_back(Frame{Frame::Kind::UnixArray, slot_identity_});
            return true;
        case Target::WindowsContent:
            frames_.push_back(Frame{Frame::Kind::WindowsArray, slot_identity_});
            return true;
        default:
            return invalid_type(found_sequence(), *target, here());
        }
    }

    bool EndArray(rapidjson::SizeType) {
        if (skip_depth_ > 0) {
            return end_skipped();
        }
        Frame& frame = frames_.back();
        const std::size_t at = stream_.Tell(); // the closing bracket, not yet taken
        switch (frame.kind) {
        case Frame::Kind::ActiveArray:
            if (frame.count < 3) {
                return fail("invalid length " + std::to_string(frame.count) +
                                ", expected struct ActiveOwnerState with 5 elements",
                            at);
            }
            break;
        case Frame::Kind::UnixArray:
            if (frame.count < 2) {
                return fail("invalid length " + std::to_string(frame.count) +
                                ", expected struct variant OwnerIdentity::Unix with 2 elements",
                            at);
            }
            frame.identity->value = frame.unix_value;
            break;
        case Frame::Kind::WindowsArray:
            if (frame.count < 1) {
                return fail("invalid length 0, expected struct variant OwnerIdentity::Windows with "
                            "1 element",
                            at);
            }
            frame.identity->value = std::move(frame.windows_value);
            break;
        default:
            break;
        }
        frames_.pop_back();
        value_done(at + 1);
        return true;
    }

  private:
    struct Member {
        std::string_view name;
        unsigned bit;
        Target target;
        std::string* text = nullptr;
        std::uint32_t* u32 = nullptr;
        std::uint64_t* u64 = nullptr;
    };

    std::size_t here() const { return stream_.Tell(); }          // a bracket, not yet taken
    std::size_t last_byte() const { return stream_.Tell() - 1; } // the end of a scalar or key

    bool fail(std::string message, std::size_t offset) {
        error = error_at(input_, std::move(message), offset);
        return false;
    }

    bool bad_surrogate() {
        return fail(
            rapidjson::GetParseError_En(rapidjson::kParseErrorStringUnicodeSurrogateInvalid),
            last_byte());
    }

    static std::string unknown_variant(std::string_view name) {
        return "unknown variant `" + escape_text(name) + "`, expected `Unix` or `Windows`";
    }

    static const char* expected_name(Target target) {
        switch (target) {
        case Target::String:
            return "a string";
        case Target::U32:
            return "u32";
        case Target::U64:
            return "u64";
        case Target::UnixContent:
            return UNIX_EXPECTED;
        case Target::WindowsContent:
            return WINDOWS_EXPECTED;
        default:
            return "struct ActiveOwnerState";
        }
    }

    bool invalid_type(const Found& found, Target target, std::size_t offset) {
        return fail("invalid type: " + found.text + ", expected " + expected_name(target), offset);
    }

    // The first byte of an element beyond the record's fields: after the comma that follows the
    // previous element.
    bool trailing() {
        std::size_t pos = previous_end_;
        while (pos < input_.size() && (is_json_whitespace(input_[pos]) || input_[pos] == ',')) {
            ++pos;
        }
        return fail("trailing characters", pos);
    }

    std::size_t comma_before_key() const {
        std::size_t pos = previous_end_;
        while (pos < input_.size() && input_[pos] != ',') {
            ++pos;
        }
        return pos;
    }

    // What the value that starts now must be, advancing array positions.
    Target next_target() {
        if (frames_.empty()) {
            return Target::Document;
        }
        Frame& frame = frames_.back();
        switch (frame.kind) {
        case Frame::Kind::ActiveArray: {
            static constexpr Target ORDER[] = {Target::String, Target::Identity, Target::String,
                                               Target::U64, Target::String};
            const std::size_t index = frame.count++;
            if (index >= 5) {
                return Target::Extra;
            }
            slot_string_ = index == 0   ? &active_result.owner_key
                           : index == 2 ? &active_result.app_data_root
                                        : &active_result.session_token_hash;
            slot_u64_ = &active_result.generation;
            return ORDER[index];
        }
        case Frame::Kind::UnixArray: {
            const std::size_t index = frame.count++;
            if (index >= 2) {
                return Target::Extra;
            }
            slot_u32_ = index == 0 ? &frame.unix_value.uid : &frame.unix_value.gid;
            return Target::U32;
        }
        case Frame::Kind::WindowsArray: {
            const std::size_t index = frame.count++;
            if (index >= 1) {
                return Target::Extra;
            }
            slot_string_ = &frame.windows_value.sid;
            return Target::String;
        }
        default:
            return pending_;
        }
    }

    // `describe` gives what was found, in the words of a refusal; it runs only for one.
    template <class Describe, class Store> bool scalar(Describe describe, Store store) {
        if (skip_depth_ > 0) {
            return true;
        }
        const Target target = next_target();
        if (target == Target::Skip) {
            value_done(stream_.Tell());
            return true;
        }
        if (target == Target::Extra) {
            return trailing();
        }
        if (store(target)) {
            value_done(stream_.Tell());
            return true;
        }
        if (error) {
            return false;
        }
        if (target == Target::Identity ||
            (target == Target::Document && document_ == Document::Identity)) {
            return fail(rapidjson::GetParseError_En(rapidjson::kParseErrorValueInvalid),
                        last_byte());
        }
        return invalid_type(describe(), target, last_byte());
    }

    bool store_string(Target target, std::string_view value) {
        switch (target) {
        case Target::String:
            slot_string_->assign(value);
            return true;
        case Target::Identity:
        case Target::Document:
            if (target == Target::Document && document_ == Document::Active) {
                return false;
            }
            if (value == "Unix" || value == "Windows") {
                fail("invalid type: unit variant, expected struct variant", last_byte());
            } else {
                fail(unknown_variant(value), last_byte());
            }
            return false;
        default:
            return false;
        }
    }

    bool store_number(Target target, const Number& number) {
        if (target == Target::U32) {
            if (number.kind == Number::Kind::Signed ||
                (number.kind == Number::Kind::Unsigned && number.unsigned_value > 0xFFFFFFFFu)) {
                fail("invalid value: " + found_number(number).text + ", expected u32", last_byte());
                return false;
            }
            if (number.kind != Number::Kind::Unsigned) {
                return false;
            }
            *slot_u32_ = static_cast<std::uint32_t>(number.unsigned_value);
            return true;
        }
        if (target == Target::U64) {
            if (number.kind == Number::Kind::Signed) {
                fail("invalid value: " + found_number(number).text + ", expected u64", last_byte());
                return false;
            }
            if (number.kind != Number::Kind::Unsigned) {
                return false;
            }
            *slot_u64_ = number.unsigned_value;
            return true;
        }
        return false;
    }

    // A key of a record object: sets where its value goes, or skips an unknown member's value.
    bool member_key(Frame& frame, std::string_view key, std::initializer_list<Member> members) {
        for (const Member& member : members) {
            if (key != member.name) {
                continue;
            }
            if ((frame.seen & member.bit) != 0) {
                return fail("duplicate field `" + std::string(key) + "`", last_byte());
            }
            frame.seen |= member.bit;
            pending_ = member.target;
            slot_string_ = member.text;
            slot_u32_ = member.u32;
            slot_u64_ = member.u64;
            return true;
        }
        pending_ = Target::Skip;
        return true;
    }

    // What every container start shares: nesting inside a skipped value, the start of a skipped
    // value, and an element beyond the record's fields. Returns the target when the caller must
    // decide; otherwise `handled` holds the event's result.
    std::optional<Target> container_target(bool& handled) {
        if (skip_depth_ > 0) {
            ++skip_depth_;
            return std::nullopt;
        }
        const Target target = next_target();
        if (target == Target::Skip) {
            skip_depth_ = 1;
            return std::nullopt;
        }
        if (target == Target::Extra) {
            handled = trailing();
            return std::nullopt;
        }
        return target;
    }

    bool end_skipped() {
        if (--skip_depth_ == 0) {
            value_done(stream_.Tell() + 1);
        }
        return true;
    }

    // A value has ended at `end` (one past its last byte).
    void value_done(std::size_t end) {
        previous_end_ = end;
        if (!frames_.empty() && frames_.back().kind == Frame::Kind::IdentityObject &&
            frames_.back().variant_state == 1) {
            frames_.back().variant_state = 2;
        }
    }

    Document document_;
    std::string_view input_;
    const ByteStream& stream_;
    FrameStack frames_;
    std::size_t skip_depth_ = 0;
    std::size_t previous_end_ = 0;
    Target pending_ = Target::Skip;
    std::string* slot_string_ = nullptr;
    std::uint32_t* slot_u32_ = nullptr;
    std::uint64_t* slot_u64_ = nullptr;
    OwnerIdentity* slot_identity_ = nullptr;
};

// RapidJSON refuses a number beyond the range of a double while reading it, also where the value
// is skipped. On that refusal the document is read once more with every such number defused.
template <class Take> auto read_document(Document document, std::string_view input, Take take) {
    using Result = decltype(take(std::declval<Handler&>()));
    std::optional<std::string> defused;
    while (true) {
        ByteStream stream(defused ? *defused : input);
        Handler handler(document, input, stream);
        rapidjson::Reader reader;
        const rapidjson::ParseResult result = reader.Parse<PARSE_FLAGS>(stream, handler);
        if (handler.error) {
            return std::expected<Result, JsonError>(std::unexpect, std::move(*handler.error));
        }
        if (result.Code() == rapidjson::kParseErrorNumberTooBig && !defused) {
            if ((defused = defuse_huge_numbers(input))) {
                continue;
            }
        }
        if (result.IsError()) {
            return std::expected<Result, JsonError>(
                std::unexpect,
                error_at(input, rapidjson::GetParseError_En(result.Code()), result.Offset()));
        }
        std::size_t pos = stream.Tell();
        while (pos < input.size() && is_json_whitespace(input[pos])) {
            ++pos;
        }
        if (pos < input.size()) {
            return std::expected<Result, JsonError>(std::unexpect,
                                                    error_at(input, "trailing characters", pos));
        }
        return std::expected<Result, JsonError>(take(handler));
    }
}

} // namespace

std::expected<OwnerIdentity, JsonError> parse_owner_identity(std::string_view bytes) {
    return read_document(Document::Identity, bytes,
                         [](Handler& handler) { return std::move(handler.identity_result); });
}

std::expected<ActiveOwnerState, JsonError> parse_active_owner_state(std::string_view bytes) {
    return read_document(Document::Active, bytes,
                         [](Handler& handler) { return std::move(handler.active_result); });
}

} // namespace orvex
