#include "owners/owner_documents.hpp"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdlib>
#include <span>

#include "common/text.hpp"
#include "owners/json_reader.hpp"
#include "owners/json_value.hpp"

namespace orvex {
namespace {

using json_reader::Place;
using json_reader::refuse;
using json_reader::Step;
using json_reader::Syntax;
using json_value::Number;
using json_value::Value;

// ---- The records as tables of fields ----

template <class Struct> struct Record;
// A record being read, from its object or its array form, and the object it fills.
template <class Struct> struct Into {
    const Record<Struct>* record;
    Struct* object;
};
// The tagged identity, from its object form only: one member, whose name chooses the variant.
struct IntoIdentity {
    OwnerIdentity* identity;
};
// Every record there is; what reads them visits this.
using Open =
    std::variant<Into<UnixIdentity>, Into<WindowsIdentity>, Into<ActiveOwnerState>, IntoIdentity>;

// Where a value goes: a scalar's place (the pointer's type is its kind) or a record to open.
using Target = std::variant<std::string*, std::uint32_t*, std::uint64_t*, Open>;

enum Presence : bool { Optional, Required }; // whether the object form must hold the field

// A field of a record: its name, its presence, and its member.
template <class Struct> struct Field {
    std::string_view name;
    Presence presence;
    std::variant<std::string Struct::*, std::uint32_t Struct::*, std::uint64_t Struct::*,
                 OwnerIdentity Struct::*>
        member;

    Target target(Struct& object) const {
        return std::visit(
            [&]<class Type>(Type Struct::*field) -> Target {
                if constexpr (std::same_as<Type, OwnerIdentity>) {
                    return Open{IntoIdentity{&(object.*field)}};
                } else {
                    return &(object.*field);
                }
            },
            member);
    }
};

// A record's name in refusals and its fields in declared order, which is that of the array form
// (required ones first).
template <class Struct> struct Record {
    std::string_view name;
    std::span<const Field<Struct>> fields;
};

constexpr Field<UnixIdentity> UNIX_FIELDS[] = {{"uid", Required, &UnixIdentity::uid},
                                               {"gid", Required, &UnixIdentity::gid}};
constexpr Record<UnixIdentity> UNIX{"struct variant OwnerIdentity::Unix", UNIX_FIELDS};
constexpr Field<WindowsIdentity> WINDOWS_FIELDS[] = {{"sid", Required, &WindowsIdentity::sid}};
constexpr Record<WindowsIdentity> WINDOWS{"struct variant OwnerIdentity::Windows", WINDOWS_FIELDS};
constexpr Field<ActiveOwnerState> ACTIVE_OWNER_FIELDS[] = {
    {"owner_key", Required, &ActiveOwnerState::owner_key},
    {"identity", Required, &ActiveOwnerState::identity},
    {"app_data_root", Required, &ActiveOwnerState::app_data_root},
    {"generation", Optional, &ActiveOwnerState::generation},
    {"session_token_hash", Optional, &ActiveOwnerState::session_token_hash},
};
constexpr Record<ActiveOwnerState> ACTIVE_OWNER{"struct ActiveOwnerState", ACTIVE_OWNER_FIELDS};
constexpr std::string_view IDENTITY_NAME = "enum OwnerIdentity";

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
    Open into;
    bool array = false;
    Want next = Skip{};    // object: the value after the last key
    unsigned seen = 0;     // object: one bit per field met
    std::size_t count = 0; // array: elements met
};

// The strict record reader, driven by the document's events. Its frames nest three deep at most
// (the active owner record, its identity, the variant's content); a skipped value of any depth is
// counted, not stacked, so the frames need no allocation.
class RecordReader final : public json_reader::Events {
  public:
    explicit RecordReader(Open root) : root_(root) {}

    Step value(const Value& found, const Place& place) override {
        if (skip_depth_ > 0) {
            skip_depth_ += opens(found) ? 1 : 0;
            return {};
        }
        return put(next_want(), found, place);
    }

    Step key(std::string_view name, const Place& place) override {
        if (skip_depth_ > 0) {
            return {};
        }
        Frame& frame = frames_[depth_ - 1];
        return std::visit([&](auto into) { return member(frame, into, name, place); }, frame.into);
    }

    Step end(std::size_t bracket) override {
        if (skip_depth_ > 0) {
            --skip_depth_;
            return {};
        }
        const Frame& frame = frames_[depth_ - 1];
        Step closed =
            std::visit([&](auto into) { return close(frame, into, bracket); }, frame.into);
        depth_ -= closed ? 1 : 0;
        return closed;
    }

  private:
    static bool opens(const Value& found) {
        return std::holds_alternative<json_value::Map>(found) ||
               std::holds_alternative<json_value::Sequence>(found);
    }

    // What the value that starts now must be; in an array, the next field in order.
    Want next_want() {
        if (depth_ == 0) {
            return Target{root_};
        }
        Frame& frame = frames_[depth_ - 1];
        if (!frame.array) {
            return frame.next;
        }
        const std::size_t index = frame.count++;
        return std::visit(
            [&]<class Into>(const Into& into) -> Want {
                if constexpr (std::same_as<Into, IntoIdentity>) {
                    return Beyond{}; // never met: the tagged form opens no array
                } else {
                    const auto fields = into.record->fields;
                    return index < fields.size() ? Want{fields[index].target(*into.object)}
                                                 : Want{Beyond{}};
                }
            },
            frame.into);
    }

    Step put(const Want& want, const Value& found, const Place& place) {
        if (std::holds_alternative<Skip>(want)) {
            skip_depth_ = opens(found) ? 1 : 0;
            return {};
        }
        if (std::holds_alternative<Beyond>(want)) {
            return refuse(place.start(), "trailing characters");
        }
        if (const auto* n = std::get_if<Number>(&found); n && n->kind == Number::Kind::TooBig) {
            return refuse(place.at, Syntax::NumberTooBig);
        }
        return std::visit([&](auto target) { return fill(target, found, place.at); },
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

    Step fill(Open into, const Value& found, std::size_t at) {
        const bool map = std::holds_alternative<json_value::Map>(found);
        const bool tagged = std::holds_alternative<IntoIdentity>(into);
        if (tagged && !map) {
            // A bare string names a variant without its fields; anything else is no identity.
            const auto* text = std::get_if<std::string_view>(&found);
            return text == nullptr ? refuse(at, Syntax::InvalidValue)
                   : *text == "Unix" || *text == "Windows"
                       ? refuse(at, "invalid type: unit variant, expected struct variant")
                       : refuse(at, unknown_variant(*text));
        }
        if (!opens(found)) {
            const std::string_view name =
                std::visit([](auto record) { return record_name(record); }, into);
            return refuse(at, json_value::invalid_type(found, name));
        }
        // The tables nest three deep at most; a deeper one is a fault in them, never in a
        // document, and must stop the program rather than write past the stack.
        if (depth_ >= frames_.size()) {
            std::abort();
        }
        frames_[depth_++] = Frame{.into = into, .array = !map};
        return {};
    }

    static std::string_view record_name(IntoIdentity) { return IDENTITY_NAME; }
    template <class Struct> static std::string_view record_name(Into<Struct> into) {
        return into.record->name;
    }

    // A member of the tagged form: its name chooses the variant, whose content is read next.
    Step member(Frame& frame, IntoIdentity into, std::string_view key, const Place& place) const {
        if (frame.seen != 0) {
            // A second member of the tagged form is a syntax fault at its comma.
            return refuse(place.separator(),
                          "Missing '}' after the only member of an identity object.");
        }
        frame.seen = 1;
        auto& value = into.identity->value;
        if (key == "Unix") {
            frame.next = Target{Into<UnixIdentity>{&UNIX, &value.emplace<UnixIdentity>()}};
        } else if (key == "Windows") {
            frame.next = Target{Into<WindowsIdentity>{&WINDOWS, &value.emplace<WindowsIdentity>()}};
        } else {
            return refuse(place.at, unknown_variant(key));
        }
        return {};
    }

    // A member of a record: one of its fields, or an unknown one to skip.
    template <class Struct>
    Step member(Frame& frame, Into<Struct> into, std::string_view key, const Place& place) const {
        const auto fields = into.record->fields;
        const auto field = std::ranges::find(fields, key, &Field<Struct>::name);
        if (field == fields.end()) {
            frame.next = Skip{};
            return {};
        }
        const unsigned bit = 1u << (field - fields.begin());
        if ((frame.seen & bit) != 0) {
            return refuse(place.at, "duplicate field `" + std::string(key) + "`");
        }
        frame.seen |= bit;
        frame.next = field->target(*into.object);
        return {};
    }

    // The checks at a closing bracket, at offset `bracket`.
    static Step close(const Frame& frame, IntoIdentity, std::size_t bracket) {
        return frame.seen == 0 ? refuse(bracket, Syntax::MissingName) : Step{};
    }

    template <class Struct>
    static Step close(const Frame& frame, Into<Struct> into, std::size_t bracket) {
        const Record<Struct>& record = *into.record;
        for (std::size_t i = 0; !frame.array && i < record.fields.size(); ++i) {
            if (record.fields[i].presence == Required && (frame.seen & (1u << i)) == 0) {
                return refuse(bracket,
                              "missing field `" + std::string(record.fields[i].name) + "`");
            }
        }
        const auto size = record.fields.size();
        const auto required = std::ranges::count(record.fields, Required, &Field<Struct>::presence);
        if (frame.array && std::cmp_less(frame.count, required)) {
            return refuse(bracket, "invalid length " + std::to_string(frame.count) + ", expected " +
                                       std::string(record.name) + " with " + std::to_string(size) +
                                       (size == 1 ? " element" : " elements"));
        }
        return {};
    }

    Open root_;
    std::array<Frame, 3> frames_;
    std::size_t depth_ = 0;
    std::size_t skip_depth_ = 0;
};

template <class Result>
std::expected<Result, JsonError> read_document(std::string_view input, Open root_of(Result&)) {
    Result result{};
    RecordReader reader(root_of(result));
    if (auto read = json_reader::read(input, reader); !read) {
        return std::unexpected(std::move(read.error()));
    }
    return result;
}

} // namespace

std::expected<OwnerIdentity, JsonError> parse_owner_identity(std::string_view bytes) {
    return read_document<OwnerIdentity>(
        bytes, [](OwnerIdentity& identity) { return Open{IntoIdentity{&identity}}; });
}

std::expected<ActiveOwnerState, JsonError> parse_active_owner_state(std::string_view bytes) {
    return read_document<ActiveOwnerState>(bytes, [](ActiveOwnerState& state) {
        return Open{Into<ActiveOwnerState>{&ACTIVE_OWNER, &state}};
    });
}

} // namespace orvex
