// libFuzzer target for both owner-document parsers: whatever the bytes, each parse ends with a
// record or with a JsonError that has a position; and where RapidJSON's full parse, with the flags
// the parsers read with, finds the bytes are no JSON document (a syntax fault, or anything but
// white space after the value), each parser refuses them, at that fault or before it: a parser may
// stop sooner on a value it refuses, but never reads past a fault, so it never accepts one. The
// full parse is the one a DOM is built from, with a handler that takes every value, as the
// document's own does (RapidJSON 1.1's document.h does not compile with clang 19). The one
// exception is a number beyond the range of a double: RapidJSON refuses it, but it is well formed
// (and accepted where it is skipped).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "owners/json_reader.hpp"
#include "owners/owner_documents.hpp"

namespace {

bool well_placed(const orvex::JsonError& error) {
    return error.line >= 1 && error.column >= 1 && !error.message.empty();
}

// The line and column of a byte offset, counted as a JsonError counts them.
std::pair<std::uint64_t, std::uint64_t> position(std::string_view bytes, std::size_t offset) {
    const std::string_view before = bytes.substr(0, std::min(offset, bytes.size()));
    return {1 + std::ranges::count(before, '\n'), before.size() - (before.rfind('\n') + 1) + 1};
}

// Where the bytes stop being one JSON document, if they do; nothing when they are one, or when the
// only fault is a number too big for a double.
std::optional<std::size_t> syntax_fault(std::string_view bytes) {
    rapidjson::MemoryStream stream(bytes.data(), bytes.size());
    rapidjson::BaseReaderHandler<> takes_everything;
    const rapidjson::ParseResult full =
        rapidjson::Reader().Parse<orvex::json_reader::READER_FLAGS>(stream, takes_everything);
    if (full.IsError()) {
        return full.Code() == rapidjson::kParseErrorNumberTooBig
                   ? std::nullopt
                   : std::optional<std::size_t>(full.Offset());
    }
    const std::size_t after = bytes.find_first_not_of(" \t\n\r", stream.Tell());
    return after == std::string_view::npos ? std::nullopt : std::optional<std::size_t>(after);
}

template <class Parsed>
void check(const Parsed& parsed, std::string_view bytes, std::optional<std::size_t> fault) {
    if (!parsed && !well_placed(parsed.error())) {
        std::abort();
    }
    if (fault && (parsed || std::pair(parsed.error().line, parsed.error().column) >
                                position(bytes, *fault))) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<std::size_t> fault = syntax_fault(bytes);
    check(orvex::parse_owner_identity(bytes), bytes, fault);
    check(orvex::parse_active_owner_state(bytes), bytes, fault);
    return 0;
}
