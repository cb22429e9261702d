#include <cstdint>

#include "check.hpp"
#include "core/dataparts.hpp"

using namespace brivel;

TEST(dataparts_size_keeps_configured_until_9000_parts) {
    const std::int64_t mib64 = 64 * dataparts::kMiB;
    CHECK_EQ(dataparts::part_size(603979776000LL, mib64, 10000), mib64);
    CHECK_EQ(dataparts::part_size(603979776001LL, mib64, 10000), 68157440LL);
    CHECK_EQ(dataparts::part_count(603979776001LL, 68157440LL), 8862);
    CHECK_EQ(dataparts::part_size(100, mib64, 10000), mib64);
}

TEST(dataparts_size_caps_at_5_gib_and_counts_parts) {
    const std::int64_t five = dataparts::kMaxPartSize;
    CHECK_EQ(dataparts::part_size(53687091200000LL, 64 * dataparts::kMiB, 10000), five);
    CHECK_EQ(dataparts::part_count(53687091200000LL, five), 10000);
    CHECK_EQ(dataparts::part_count(53687091200001LL, five), 10001);
    // A configured size above 5 GiB or of zero takes the growth rule.
    CHECK_EQ(dataparts::part_size(10, 0, 10000), dataparts::kMiB);
    CHECK_EQ(dataparts::part_size(0, 0, 10000), 0);
}

TEST(dataparts_count_and_ranges) {
    CHECK_EQ(dataparts::part_count(0, 64), 1);
    CHECK_EQ(dataparts::part_count(150, 64), 3);
    auto last = dataparts::part_range(3, 64, 150);
    CHECK_EQ(last.offset, 128);
    CHECK_EQ(last.length, 22);
    const std::int64_t mib64 = 64 * dataparts::kMiB;
    CHECK_EQ(dataparts::part_range(5, mib64, 300 * dataparts::kMiB).length, 44 * dataparts::kMiB);
}

TEST(dataparts_zero_room_divides_by_zero) {
    bool raised = false;
    try {
        dataparts::part_size(10, 1, 1000);
    } catch (const dataparts::ZeroDivision&) {
        raised = true;
    }
    CHECK(raised);
}

TEST(dataparts_etag_rules) {
    CHECK_EQ(std::string(dataparts::strip_quotes("\"\"abc\"\"")), "abc");
    CHECK_EQ(std::string(dataparts::strip_quotes("W/\"abc\"")), "W/\"abc");
    CHECK_EQ(std::string(dataparts::strip_quotes("\"\"")), "");
    CHECK(dataparts::is_hex_md5("900150983cd24fb0d6963f7d28e17f72"));
    CHECK(dataparts::is_hex_md5("900150983CD24FB0D6963F7D28E17F72"));
    CHECK(!dataparts::is_hex_md5("900150983cd24fb0d6963f7d28e17f7"));
    CHECK(!dataparts::is_hex_md5("900150983cd24fb0d6963f7d28e17f722"));
    CHECK(!dataparts::is_hex_md5("900150983cd24fb0d6963f7d28e17f-2"));
    CHECK(!dataparts::is_hex_md5("g00150983cd24fb0d6963f7d28e17f72"));
    CHECK(!dataparts::is_hex_md5(""));
    CHECK(dataparts::same_md5("900150983CD24FB0D6963F7D28E17F72", "900150983cd24fb0d6963f7d28e17f72"));
    CHECK(!dataparts::same_md5("000150983cd24fb0d6963f7d28e17f72", "900150983cd24fb0d6963f7d28e17f72"));
}

TEST(dataparts_backoff_table) {
    const double want[] = {0.25, 1.0, 1.0, 4.0, 4.0, 16.0, 15.0, 30.0, 15.0, 30.0};
    for (int a = 0; a < 10; ++a) CHECK(dataparts::backoff_seconds(a) == want[a]);
}

TEST(dataparts_backoff_base) {
    const double want[] = {0.5, 1.0, 2.0, 4.0, 8.0, 16.0, 30.0, 30.0};
    for (int a = 0; a < 8; ++a) CHECK(dataparts::backoff_base(a) == want[a]);
    CHECK(dataparts::backoff_base(INT64_MAX) == 30.0);
    CHECK(dataparts::backoff_base(-1) == 0.25 && dataparts::backoff_base(INT64_MIN) == 0.0);
}
