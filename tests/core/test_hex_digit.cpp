#include "check.hpp"
#include "core/hex_digit.hpp"

using namespace brivel;

TEST(hex_digit_every_character) {
    for (std::uint32_t c = 0; c < 0x200; ++c) {
        int any = -1, lower = -1;
        if (c >= '0' && c <= '9') any = lower = static_cast<int>(c - '0');
        if (c >= 'a' && c <= 'f') any = lower = static_cast<int>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') any = static_cast<int>(c - 'A' + 10);
        CHECK(hex::digit(c) == any);
        CHECK(hex::lower_digit(c) == lower);
    }
    CHECK(hex::digit(0x10FFFF) == -1 && hex::lower_digit(0xFFFFFFFF) == -1);
}
