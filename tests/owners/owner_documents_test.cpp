#include "owners/owner_documents.hpp"

#include <gtest/gtest.h>

namespace orvex {
namespace {

// "message at line L column C", or "ok".
std::string identity_error(std::string_view bytes) {
    auto parsed = parse_owner_identity(bytes);
    return parsed ? "ok" : parsed.error().text();
}
std::string active_error(std::string_view bytes) {
    auto parsed = parse_active_owner_state(bytes);
    return parsed ? "ok" : parsed.error().text();
}

const std::string SID = "S-1-5-21-1111111111-2222222222-3333333333-1001";

TEST(OwnerIdentityDocument, AcceptsBothVariantsInBothForms) {
    EXPECT_EQ(parse_owner_identity(R"({"Windows":{"sid":")" + SID + R"("}})"),
              (OwnerIdentity{WindowsIdentity{SID}}));
    EXPECT_EQ(parse_owner_identity(R"({"Windows":[")" + SID + R"("]})"),
              (OwnerIdentity{WindowsIdentity{SID}}));
    EXPECT_EQ(parse_owner_identity(R"({"Unix":{"uid":1000,"gid":1000}})"),
              (OwnerIdentity{UnixIdentity{1000, 1000}}));
    EXPECT_EQ(parse_owner_identity(" \t\r\n{\"Unix\" : [ 0 , 4294967295 ] }\n  "),
              (OwnerIdentity{UnixIdentity{0, 4294967295u}}));
    // Unknown members are skipped, whatever they hold.
    EXPECT_EQ(parse_owner_identity(R"({"Windows":{"x":[{"y":[1,{}]}],"sid":"S-1-5-18","z":null}})"),
              (OwnerIdentity{WindowsIdentity{"S-1-5-18"}}));
    // Escapes resolve before keys and values are used.
    EXPECT_EQ(parse_owner_identity(R"({"\u0057indows":{"s\u0069d":"S-1-5-\u0031\u0038"}})"),
              (OwnerIdentity{WindowsIdentity{"S-1-5-18"}}));
    EXPECT_EQ(parse_owner_identity(R"({"Windows":{"sid":"caf\u00e9 \ud83d\ude00"}})"),
              (OwnerIdentity{WindowsIdentity{"caf\xC3\xA9 \xF0\x9F\x98\x80"}}));
}

TEST(OwnerIdentityDocument, VariantNamesAndShape) {
    EXPECT_EQ(identity_error(R"("Windows")"),
              "invalid type: unit variant, expected struct variant at line 1 column 9");
    EXPECT_EQ(identity_error(R"("Linux")"),
              "unknown variant `Linux`, expected `Unix` or `Windows` at line 1 column 7");
    EXPECT_EQ(identity_error(R"({"windows":{"sid":"x"}})"),
              "unknown variant `windows`, expected `Unix` or `Windows` at line 1 column 10");
    EXPECT_EQ(identity_error("{}"), "Missing a name for object member. at line 1 column 2");
    EXPECT_EQ(identity_error(R"({"Windows":{"sid":"x"},"Unix":[1,2]})"),
              "Missing '}' after the only member of an identity object. at line 1 column 23");
    EXPECT_EQ(identity_error("[1]"), "Invalid value. at line 1 column 1");
    EXPECT_EQ(identity_error("42"), "Invalid value. at line 1 column 2");
    EXPECT_EQ(
        identity_error(R"({"Unix":null})"),
        "invalid type: null, expected struct variant OwnerIdentity::Unix at line 1 column 12");
    EXPECT_EQ(
        identity_error(R"({"Windows":"S-1-5-18"})"),
        "invalid type: string \"S-1-5-18\", expected struct variant OwnerIdentity::Windows at "
        "line 1 column 21");
}

TEST(OwnerIdentityDocument, UnknownVariantNamesAreEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {R"("Linux")", "Linux"},
        {R"("\u001b[2J\r\u0007")", "\\u{1b}[2J\\r\\u{7}"},
        {R"({"a\\b\"\u202e\t":1})", "a\\b\"\\u{202e}\\t"},
        {R"("\u0301Mac")", "\\u{301}Mac"},
    };
    for (const auto& [document, name] : cases) {
        const std::string message = identity_error(document);
        EXPECT_EQ(message.substr(0, message.find(" at line")),
                  "unknown variant `" + name + "`, expected `Unix` or `Windows`");
    }
}

TEST(OwnerIdentityDocument, MissingDuplicateAndLengthFaults) {
    EXPECT_EQ(identity_error(R"({"Windows":{}})"), "missing field `sid` at line 1 column 13");
    EXPECT_EQ(identity_error(R"({"Unix":{"gid":1}})"), "missing field `uid` at line 1 column 17");
    EXPECT_EQ(identity_error(R"({"Unix":{"uid":1}})"), "missing field `gid` at line 1 column 17");
    EXPECT_EQ(identity_error(R"({"Unix":{"uid":1,"uid":2,"gid":3}})"),
              "duplicate field `uid` at line 1 column 22");
    EXPECT_EQ(identity_error(R"({"Windows":{"sid":"a","sid":"b"}})"),
              "duplicate field `sid` at line 1 column 27");
    EXPECT_EQ(identity_error(R"({"Unix":[1000]})"),
              "invalid length 1, expected struct variant OwnerIdentity::Unix with 2 elements at "
              "line 1 column 14");
    EXPECT_EQ(identity_error(R"({"Unix":[]})"),
              "invalid length 0, expected struct variant OwnerIdentity::Unix with 2 elements at "
              "line 1 column 10");
    EXPECT_EQ(identity_error(R"({"Windows":[]})"),
              "invalid length 0, expected struct variant OwnerIdentity::Windows with 1 element at "
              "line 1 column 13");
    EXPECT_EQ(identity_error(R"({"Unix":[1, 2,  3]})"), "trailing characters at line 1 column 17");
    EXPECT_EQ(identity_error(R"({"Windows":["a", {"b":1}]})"),
              "trailing characters at line 1 column 18");
}

TEST(OwnerIdentityDocument, IntegerFieldsAcceptOnlyWholeNumbersInRange) {
    const auto uid = [](const std::string& value) {
        return identity_error(R"({"Unix":{"uid":)" + value + R"(,"gid":0}})");
    };
    EXPECT_EQ(uid("4294967295"), "ok");
    EXPECT_EQ(uid("-1"), "invalid value: integer `-1`, expected u32 at line 1 column 17");
    EXPECT_EQ(uid("4294967296"),
              "invalid value: integer `4294967296`, expected u32 at line 1 column 25");
    EXPECT_EQ(uid("1.0"), "invalid type: floating point `1.0`, expected u32 at line 1 column 18");
    EXPECT_EQ(uid("1e3"),
              "invalid type: floating point `1000.0`, expected u32 at line 1 column 18");
    EXPECT_EQ(uid("-0"), "invalid type: floating point `-0.0`, expected u32 at line 1 column 17");
    EXPECT_EQ(uid("\"1000\""), "invalid type: string \"1000\", expected u32 at line 1 column 21");
    EXPECT_EQ(uid("true"), "invalid type: boolean `true`, expected u32 at line 1 column 19");
    EXPECT_EQ(uid("[1]"), "invalid type: sequence, expected u32 at line 1 column 16");
    EXPECT_EQ(uid("{}"), "invalid type: map, expected u32 at line 1 column 16");
    EXPECT_EQ(uid("18446744073709551616"),
              "invalid type: floating point `18446744073709552000.0`, expected u32 at line 1 "
              "column 35");
    EXPECT_EQ(uid("1e400"), "Number too big to be stored in double. at line 1 column 16");
    EXPECT_EQ(uid("01"), "Missing a comma or '}' after an object member. at line 1 column 17");
}

TEST(OwnerIdentityDocument, FloatingPointValuesAreWrittenInPlainDecimal) {
    const std::pair<std::string, std::string> cases[] = {
        {"1e5", "100000.0"},
        {"1.5e9", "1500000000.0"},
        {"0.0001", "0.0001"},
        {"-0.0", "-0.0"},
        {"-1.5E-3", "-0.0015"},
        {"123.456", "123.456"},
        {"2.50e1", "25.0"},
        {"1.2345678901234568e29", "123456789012345680000000000000.0"},
        {"18446744073709551616", "18446744073709552000.0"},
        {"1e300", "1" + std::string(300, '0') + ".0"},
        {"5e-324", "0." + std::string(323, '0') + "5"},
        {"-1e-400", "-0.0"},
    };
    for (const auto& [number, text] : cases) {
        EXPECT_EQ(identity_error(R"({"Unix":{"uid":)" + number + R"(,"gid":0}})"),
                  "invalid type: floating point `" + text + "`, expected u32 at line 1 column " +
                      std::to_string(15 + number.size()));
    }
}

TEST(OwnerIdentityDocument, NumbersBeyondDoubleRangeAreWellFormedWhereSkipped) {
    const std::string many_digits = "1" + std::string(400, '0');
    const std::pair<std::string, std::string> cases[] = {
        {R"({"Windows":{"sid":"S-1-5-18","extra":1e400}})", "ok"},
        {R"({"Windows":{"x":[-1E+400,{"y":1.5e99999999999}],"sid":"a","z":)" + many_digits + "}}",
         "ok"},
        {R"({"Windows":["1e400 \"2e999"]})", "ok"},
        {R"({"Unix":{"uid":1e400,"gid":0}})",
         "Number too big to be stored in double. at line 1 column 16"},
        {R"({"Unix":[1,2,1e400]})", "trailing characters at line 1 column 14"},
        {R"({"Windows":{"x":1.5e400e,"sid":"a"}})",
         "Missing a comma or '}' after an object member. at line 1 column 24"},
        {R"({"Windows":{"x":)" + many_digits + ".e}}", "Number too big to be stored in double. at "
                                                       "line 1 column 17"},
    };
    for (const auto& [document, expected] : cases) {
        EXPECT_EQ(identity_error(document), expected) << document;
    }
    EXPECT_EQ(parse_owner_identity(R"({"Windows":["1e400 \"2e999"]})"),
              (OwnerIdentity{WindowsIdentity{"1e400 \"2e999"}}));
    EXPECT_EQ(active_error(R"({"owner_key":"k","x":-2e400,"identity":{"Unix":[1,1]},)"
                           R"("app_data_root":"r"})"),
              "ok");
}

TEST(OwnerIdentityDocument, ALeadingZeroIsASyntaxFaultAtTheStrayDigit) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"Windows":{"sid":01}})",
         "Missing a comma or '}' after an object member. at line 1 column 20"},
        {R"({"Unix":{"uid":-01,"gid":0}})",
         "Missing a comma or '}' after an object member. at line 1 column 18"},
        {R"({"Unix":[00,1]})",
         "Missing a comma or ']' after an array element. at line 1 column 11"},
        {R"({"Windows":{"x":[1,-02],"sid":"a"}})",
         "Missing a comma or ']' after an array element. at line 1 column 22"},
        {"-012", "The document root must not be followed by other values. at line 1 column 3"},
    };
    for (const auto& [document, expected] : cases) {
        EXPECT_EQ(identity_error(document), expected) << document;
    }
    EXPECT_EQ(active_error(" 01"),
              "The document root must not be followed by other values. at line 1 column 3");
    EXPECT_EQ(active_error(R"(["k",{"Unix":[1,1]},"r",07])"),
              "Missing a comma or ']' after an array element. at line 1 column 26");
}

TEST(ActiveOwnerStateDocument, AcceptsTheObjectAndArrayForms) {
    const std::string record =
        "{\n  \"owner_key\": \"KEY\",\n  \"identity\": {\"Windows\": "
        "{\"sid\": \"" +
        SID +
        "\"}},\n  \"app_data_root\": \"C:\\\\Users\\\\owner\\\\AppData\\\\Local\",\n"
        "  \"generation\": 7\n}\n";
    auto parsed = parse_active_owner_state(record);
    ASSERT_TRUE(parsed) << parsed.error().text();
    EXPECT_EQ(parsed->owner_key, "KEY");
    EXPECT_EQ(parsed->identity, (OwnerIdentity{WindowsIdentity{SID}}));
    EXPECT_EQ(parsed->app_data_root, "C:\\Users\\owner\\AppData\\Local");
    EXPECT_EQ(parsed->generation, 7u);
    EXPECT_EQ(parsed->session_token_hash, "");

    auto array = parse_active_owner_state(R"(["KEY", {"Windows": [")" + SID +
                                          R"("]}, "C:\\Users\\owner\\AppData\\Local", 7])");
    ASSERT_TRUE(array);
    EXPECT_EQ(*array, *parsed);

    auto three = parse_active_owner_state(R"(["k", {"Unix": [1, 2]}, "r"])");
    ASSERT_TRUE(three);
    EXPECT_EQ(three->generation, 0u);
    auto five = parse_active_owner_state(
        R"(["k", {"Unix": {"uid": 1, "gid": 2}}, "r", 18446744073709551615, "h"])");
    ASSERT_TRUE(five);
    EXPECT_EQ(five->generation, 18446744073709551615u);
    EXPECT_EQ(five->session_token_hash, "h");
}

TEST(ActiveOwnerStateDocument, RecordLevelFaults) {
    const std::string identity = R"("identity":{"Unix":[1,1]})";
    EXPECT_EQ(active_error(R"({"identity":{"Unix":[1,1]}})"),
              "missing field `owner_key` at line 1 column 27");
    EXPECT_EQ(active_error(R"({"owner_key":"k","app_data_root":"r"})"),
              "missing field `identity` at line 1 column 37");
    EXPECT_EQ(active_error(R"({"owner_key":"k",)" + identity + "}"),
              "missing field `app_data_root` at line 1 column 43");
    EXPECT_EQ(active_error(R"({"owner_key":"k","owner_key":"k"})"),
              "duplicate field `owner_key` at line 1 column 28");
    EXPECT_EQ(active_error(R"({"owner_key":"k",)" + identity +
                           R"(,"app_data_root":"r","generation":-1})"),
              "invalid value: integer `-1`, expected u64 at line 1 column 78");
    EXPECT_EQ(active_error(R"({"owner_key":"k",)" + identity +
                           R"(,"app_data_root":"r","generation":7.0})"),
              "invalid type: floating point `7.0`, expected u64 at line 1 column 79");
    EXPECT_EQ(active_error(R"({"owner_key":"k",)" + identity +
                           R"(,"app_data_root":"r","generation":18446744073709551616})"),
              "invalid type: floating point `18446744073709552000.0`, expected u64 at line 1 "
              "column 96");
    EXPECT_EQ(active_error(R"({"owner_key":"k",)" + identity + R"(,"app_data_root":5})"),
              "invalid type: integer `5`, expected a string at line 1 column 60");
    EXPECT_EQ(
        active_error("[]"),
        "invalid length 0, expected struct ActiveOwnerState with 5 elements at line 1 column 2");
    EXPECT_EQ(active_error(R"(["k", {"Unix":[1,1]}])"),
              "invalid length 2, expected struct ActiveOwnerState with 5 elements at line 1 column "
              "21");
    EXPECT_EQ(active_error(R"(["k",{"Unix":[1,1]},"r",1,"h", "six"])"),
              "trailing characters at line 1 column 32");
    EXPECT_EQ(active_error("null"),
              "invalid type: null, expected struct ActiveOwnerState at line 1 column 4");
    EXPECT_EQ(active_error("\"x\""),
              "invalid type: string \"x\", expected struct ActiveOwnerState at line 1 column 3");
    EXPECT_EQ(active_error("12"),
              "invalid type: integer `12`, expected struct ActiveOwnerState at line 1 column 2");
    // A malformed identity invalidates the record although its value is not used.
    EXPECT_EQ(active_error(R"({"owner_key":"k","identity":"Unix","app_data_root":"r"})"),
              "invalid type: unit variant, expected struct variant at line 1 column 34");
}

TEST(JsonReading, TrailingContentWhitespaceAndSyntaxFaults) {
    const std::string doc = R"({"Unix":[1,2]})";
    EXPECT_EQ(identity_error(doc + "\n   "), "ok");
    EXPECT_EQ(identity_error(doc + doc), "trailing characters at line 1 column 15");
    EXPECT_EQ(identity_error(doc + "\n ,"), "trailing characters at line 2 column 2");
    EXPECT_EQ(identity_error(""), "The document is empty. at line 1 column 1");
    EXPECT_EQ(active_error("  \n "), "The document is empty. at line 2 column 2");
    EXPECT_EQ(identity_error("\xEF\xBB\xBF" + doc), "Invalid value. at line 1 column 1");
    EXPECT_EQ(identity_error(R"({"Unix":[1,2])"),
              "Missing a comma or '}' after an object member. at line 1 column 14");
    EXPECT_EQ(identity_error("{\"Unix\"\n:[1,\n2,]}"), "Invalid value. at line 3 column 3");
    EXPECT_EQ(identity_error("{'Unix':[1,2]}"),
              "Missing a name for object member. at line 1 column 2");
    EXPECT_EQ(identity_error("{\"Unix\":[1,2]}/*c*/"), "trailing characters at line 1 column 15");
    EXPECT_EQ(identity_error("{\"Windows\":[\"a\tb\"]}"),
              "Invalid escape character in string. at line 1 column 15");
    EXPECT_EQ(identity_error("{\"Windows\":[\"\xC3\x28\"]}"),
              "Invalid encoding in string. at line 1 column 14");
    // RapidJSON accepts an escaped lone low surrogate; it is refused after the string is read.
    EXPECT_EQ(identity_error(R"({"Windows":["\udc00"]})"),
              "The surrogate pair in string is invalid. at line 1 column 20");
    EXPECT_EQ(identity_error(R"({"Windows":["\ud800x"]})"),
              "The surrogate pair in string is invalid. at line 1 column 14");
    EXPECT_EQ(identity_error(std::string("{\"Unix\":[1,2]}\0", 15)),
              "trailing characters at line 1 column 15");
    EXPECT_EQ(identity_error(std::string("{\"Windows\":[\"a\0\"]}", 19)),
              "Missing a closing quotation mark in string. at line 1 column 15");
}

TEST(JsonReading, DeepAndLargeDocumentsAreReadWithoutRecursion) {
    constexpr std::size_t DEPTH = 1'000'000;
    std::string deep = R"({"Windows":{"x":)";
    deep.append(DEPTH, '[');
    deep.append(DEPTH, ']');
    deep += R"(,"sid":"S-1-5-18"}})";
    EXPECT_EQ(parse_owner_identity(deep), (OwnerIdentity{WindowsIdentity{"S-1-5-18"}}));

    std::string unclosed = R"({"owner_key":)";
    unclosed.append(DEPTH, '{');
    EXPECT_FALSE(parse_active_owner_state(unclosed));

    std::string large = R"({"owner_key":"k",)";
    while (large.size() < 10 * 1024 * 1024) {
        large += R"("skipped_member":{"a":[1,2.5,"text",null,true,{"b":[]}]},)";
    }
    large += R"("identity":{"Unix":[1,2]},"app_data_root":"r"})";
    auto parsed = parse_active_owner_state(large);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->owner_key, "k");
}

} // namespace
} // namespace orvex
