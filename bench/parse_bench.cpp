// Parse time of the two documents that stress the owner-document reader: a member skipped at
// 1,000,000 levels of nesting, and a 10 MB record made mostly of skipped members. Prints figures;
// asserts nothing about time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

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

} // namespace

int main() {
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
