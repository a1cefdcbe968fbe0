#include "owners/json_reader.hpp"

#include <algorithm>
#include <optional>

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "common/text.hpp"

namespace orvex::json_reader {

static_assert(READER_FLAGS ==
              (rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
               rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag));

namespace {

using json_value::Number;
using json_value::Value;
using Stream = rapidjson::MemoryStream; // a NUL byte reads as the end of input, as at the end

std::unexpected<Fault> refuse(std::size_t offset, rapidjson::ParseErrorCode code) {
    return json_reader::refuse(offset, rapidjson::GetParseError_En(code));
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

// RapidJSON refuses a number beyond the range of a double while reading it, also where the value
// would be skipped. On that refusal the document is read once more from a copy in which every
// well-formed number that it may refuse so (an exponent of three digits or more, or over 300
// integer digits) is a zero of the same length ending in the same part (exponent or not): what
// follows reads as before, and each number's text is taken from the original bytes. Strings are
// passed over; from the reader's first fault on, the views may differ.
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

// Turns RapidJSON's callbacks into Events. What the stream's position means at each callback: a
// scalar or a key ends at the byte before it, a bracket is at it. A second reading of the same
// document (see above) meets the same events up to the number that stopped the first: the ones
// that the first already handed on are passed over, so that the events see each once.
class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
  public:
    Handler(std::string_view input, const Stream& stream, Events& events, std::size_t handed)
        : input_(input), stream_(stream), events_(events), already_handed_(handed) {}

    std::optional<Fault> fault; // why the handler stopped the reader, if it did
    std::size_t handed() const { return handed_; }

    bool Null() { return value(std::monostate{}, stream_.Tell() - 1); }
    bool Bool(bool b) { return value(b, stream_.Tell() - 1); }
    bool StartObject() { return open(json_value::Map{}); }
    bool StartArray() { return open(json_value::Sequence{}); }
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
        // The text from the original bytes: the reader may have been handed a defused copy.
        const Number number = json_value::classify(input_.substr(end - length, length));
        return value(number, number.kind == Number::Kind::TooBig ? end - length : end - 1);
    }

    bool Key(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view name(text, length);
        return valid_text(name) &&
               hand([&] { return events_.key(name, place(stream_.Tell() - 1)); });
    }

  private:
    template <class Call> bool hand(Call call) {
        return handed_++ < already_handed_ || settle(call());
    }

    bool settle(Step step) {
        if (!step) {
            fault = std::move(step.error());
        }
        return step.has_value();
    }

    Place place(std::size_t at) const { return Place{at, input_, previous_end_}; }

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

    bool value(const Value& found, std::size_t at) {
        const bool taken = hand([&] { return events_.value(found, place(at)); });
        previous_end_ = stream_.Tell();
        return taken;
    }

    bool open(const Value& found) {
        const bool opened = hand([&] { return events_.value(found, place(stream_.Tell())); });
        depth_ += opened ? 1 : 0;
        return opened;
    }

    bool end() {
        if (!hand([&] { return events_.end(stream_.Tell()); })) {
            return false;
        }
        --depth_;
        previous_end_ = stream_.Tell() + 1;
        return true;
    }

    std::string_view input_;
    const Stream& stream_;
    Events& events_;
    std::size_t already_handed_;
    std::size_t handed_ = 0;       // events met, handed on or passed over
    std::size_t depth_ = 0;        // containers open
    std::size_t previous_end_ = 0; // one past the last value that ended
};

} // namespace

std::size_t Place::separator() const {
    return skip_separators(input, previous_end, false);
}

std::size_t Place::start() const {
    return skip_separators(input, previous_end, true);
}

std::unexpected<Fault> refuse(std::size_t offset, std::string message) {
    return std::unexpected(Fault{std::move(message), offset});
}

std::unexpected<Fault> refuse(std::size_t offset, Syntax fault) {
    return refuse(offset, fault == Syntax::InvalidValue  ? rapidjson::kParseErrorValueInvalid
                          : fault == Syntax::MissingName ? rapidjson::kParseErrorObjectMissName
                                                         : rapidjson::kParseErrorNumberTooBig);
}

std::expected<void, JsonError> read(std::string_view input, Events& events) {
    std::optional<std::string> defused;
    std::size_t handed = 0;
    while (true) {
        const std::string_view view = defused ? *defused : input;
        Stream stream(view.data(), view.size());
        Handler handler(input, stream, events, handed);
        rapidjson::Reader reader;
        const rapidjson::ParseResult parsed = reader.Parse<READER_FLAGS>(stream, handler);
        if (parsed.Code() == rapidjson::kParseErrorNumberTooBig && !defused) {
            defused = defuse_huge_numbers(input);
            handed = handler.handed();
            continue;
        }
        const std::size_t after = skip_separators(input, stream.Tell(), false);
        if (handler.fault || parsed.IsError() || after < input.size()) {
            return std::unexpected(
                error_at(input, handler.fault      ? std::move(*handler.fault)
                                : parsed.IsError() ? refuse(parsed.Offset(), parsed.Code()).error()
                                                   : Fault{"trailing characters", after}));
        }
        return {};
    }
}

} // namespace orvex::json_reader
