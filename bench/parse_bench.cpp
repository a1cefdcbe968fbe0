// Parse time of the owner documents: the two that stress the reader (a member skipped at 1,000,000
// levels of nesting, and a 10 MB record made mostly of skipped members), and real documents as the
// service writes them, beside RapidJSON's Reader with a handler that does nothing. Prints figures;
// asserts nothing about time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <rapidjson/reader.h>

#include "owners/owner_documents.hpp"

namespace {

template <class Parse> double median_ms(const std::string& document, Parse parse, int runs) {
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = parse(document);
        const auto stop = std::chrono::steady_clock::now();
        if (!ok) {
            std::fprintf(stderr, "parse failed\n");
            std::exit(1);
        }
        samples.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::ranges::sort(samples);
    return samples[samples.size() / 2];
}

// Nanoseconds per parse of a small document over one batch of many parses.
double batch_ns(const std::string& document, bool (*parse)(const std::string&)) {
    constexpr int BATCH = 50'000;
    int accepted = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < BATCH; ++i) {
        accepted += parse(document) ? 1 : 0;
    }
    const auto stop = std::chrono::steady_clock::now();
    if (accepted != BATCH) {
        std::fprintf(stderr, "parse failed\n");
        std::exit(1);
    }
    return std::chrono::duration<double, std::nano>(stop - start).count() / BATCH;
}

// The floor: RapidJSON's Reader over the same bytes, validating UTF-8, with a handler that does
// nothing.
bool reader_only(const std::string& document) {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::StringStream stream(document.c_str());
    rapidjson::Reader reader;
    return !reader.Parse<rapidjson::kParseValidateEncodingFlag>(stream, handler).IsError();
}

// The two in alternating batches, each the fastest of 21: on a shared machine the other load only
// ever adds time.
void compare_small(const char* name, const std::string& document,
                   bool (*parse)(const std::string&)) {
    double ours = 1e30;
    double floor = 1e30;
    for (int run = 0; run < 21; ++run) {
        ours = std::min(ours, batch_ns(document, parse));
        floor = std::min(floor, batch_ns(document, reader_only));
    }
    std::printf("parse, %s (%zu bytes): %.0f ns; RapidJSON Reader with a do-nothing handler: %.0f "
                "ns; ratio %.2f (fastest of 21 alternating batches)\n",
                name, document.size(), ours, floor, ours / floor);
}

} // namespace

int main() {
    const std::string owner =
        R"({"Windows":{"sid":"S-1-5-21-1111111111-2222222222-3333333333-1001"}})";
    const std::string active =
        R"({"owner_key":"3f7a1c0e9b2d4f6a8c5e7b9d1f3a5c7e9b2d4f6a8c5e7b9d1f3a5c7e9b2d4f6a",)"
        R"("identity":{"Windows":{"sid":"S-1-5-21-1111111111-2222222222-3333333333-1001"}},)"
        R"("app_data_root":"C:\\Users\\owner\\AppData\\Local","generation":7})";
    compare_small("owner.json", owner,
                  [](const std::string& d) { return orvex::parse_owner_identity(d).has_value(); });
    compare_small("active-owner.json", active, [](const std::string& d) {
        return orvex::parse_active_owner_state(d).has_value();
    });

    constexpr std::size_t DEPTH = 1'000'000;
    std::string deep = R"({"Windows":{"x":)";
    deep.append(DEPTH, '[');
    deep.append(DEPTH, ']');
    deep += R"(,"sid":"S-1-5-18"}})";

    std::string large = R"({"owner_key":"k",)";
    while (large.size() < 10 * 1024 * 1024) {
        large += R"("skipped_member":{"a":[1,2.5,"text",null,true,{"b":[]}]},)";
    }
    large += R"("identity":{"Unix":[1,2]},"app_data_root":"r"})";

    const double deep_ms = median_ms(
        deep, [](const std::string& d) { return orvex::parse_owner_identity(d).has_value(); }, 7);
    const double large_ms = median_ms(
        large, [](const std::string& d) { return orvex::parse_active_owner_state(d).has_value(); },
        7);
    std::printf("parse, 1,000,000-deep skipped member (%zu bytes): %.1f ms (median of 7)\n",
                deep.size(), deep_ms);
    std::printf("parse, 10 MB document of skipped members (%zu bytes): %.1f ms (median of 7), "
                "%.0f MB/s\n",
                large.size(), large_ms, large.size() / 1e6 / (large_ms / 1e3));
    return 0;
}
