// libFuzzer target for both owner-document parsers: whatever the bytes, each parse ends with a
// record or with a JsonError that has a position; and a document that RapidJSON's full parse finds
// syntactically invalid is refused. That parse is the one a DOM is built from, with a handler that
// takes every value (RapidJSON 1.1's document.h does not compile with clang 19). The one exception
// is a number beyond the range of a double: RapidJSON refuses it, but it is well formed (and
// accepted where it is skipped).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "owners/owner_documents.hpp"

namespace {

bool well_placed(const orvex::JsonError& error) {
    return error.line >= 1 && error.column >= 1 && !error.message.empty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto identity = orvex::parse_owner_identity(bytes);
    const auto active = orvex::parse_active_owner_state(bytes);
    if ((!identity && !well_placed(identity.error())) ||
        (!active && !well_placed(active.error()))) {
        std::abort();
    }
    rapidjson::MemoryStream stream(bytes.data(), bytes.size());
    rapidjson::BaseReaderHandler<> takes_everything;
    const rapidjson::ParseResult full =
        rapidjson::Reader()
            .Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(
                stream, takes_everything);
    if (full.IsError() && full.Code() != rapidjson::kParseErrorNumberTooBig &&
        (identity || active)) {
        std::abort();
    }
    return 0;
}
