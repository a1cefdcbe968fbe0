#pragma once
// The one unit that reads JSON, with RapidJSON's SAX reader. It hands a document's values, keys and
// closing brackets on in order, each with the offset at which a refusal of it is reported, and it
// carries the library's quirks, so that what reads records from the events never meets them.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "common/error_chain.hpp"
#include "owners/json_value.hpp"

namespace orvex::json_reader {

// How documents are read: without recursion, with their UTF-8 validated, every number as its text
// (classified by json_value), and what follows the value left to the caller. These are RapidJSON's
// kParseIterativeFlag, kParseValidateEncodingFlag, kParseNumbersAsStringsFlag and
// kParseStopWhenDoneFlag, checked against the library where it is included.
inline constexpr unsigned READER_FLAGS = 4 | 2 | 64 | 8;

// A refusal, and the offset of the byte at which it was found.
struct Fault {
    std::string message;
    std::size_t offset;
};
using Step = std::expected<void, Fault>;

[[nodiscard]] std::unexpected<Fault> refuse(std::size_t offset, std::string message);

// Refusals of what a record cannot be, worded as the reader words its own syntax faults.
enum class Syntax { InvalidValue, MissingName, NumberTooBig };
[[nodiscard]] std::unexpected<Fault> refuse(std::size_t offset, Syntax fault);

// Where a value or a key stands.
struct Place {
    std::size_t at; // where a refusal of it is reported (see Events)
    // The first byte after the previous value that is not white space, and its own first byte
    // (past the comma, if any); worked out only when a refusal asks.
    [[nodiscard]] std::size_t separator() const;
    [[nodiscard]] std::size_t start() const;

    std::string_view input;
    std::size_t previous_end; // one past the previous value
};

// What a document's reader hands on. A refusal stops the reading and becomes the document's.
class Events {
  public:
    // A scalar is reported at its last byte, a container at its opening bracket, a number beyond
    // the range of a double (Number::Kind::TooBig, to be refused unless skipped) at its first.
    [[nodiscard]] virtual Step value(const json_value::Value& found, const Place& place) = 0;
    // A member's name, reported at its closing quote.
    [[nodiscard]] virtual Step key(std::string_view name, const Place& place) = 0;
    // The closing bracket of the innermost open container, at offset `bracket`.
    [[nodiscard]] virtual Step end(std::size_t bracket) = 0;

  protected:
    ~Events() = default;
};

// Reads `input` as one document followed by white space only, handing its events on. A fault of
// the syntax, or the first refusal of the events, is returned with its line and column.
[[nodiscard]] std::expected<void, JsonError> read(std::string_view input, Events& events);

} // namespace orvex::json_reader
