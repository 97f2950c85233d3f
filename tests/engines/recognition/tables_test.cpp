// Fixed tables: sine, logarithms, factorial logarithms and the probability scale.
#include <gtest/gtest.h>

#include <initializer_list>

#include "engines/recognition/tables.h"

namespace {

namespace E = DurodudUrodera::FpRecEngineImpl::Embedded;

TEST(RecogTables, AngleSineAndCosine) {
    struct Case { int angle, sin, cos; };
    for (auto [angle, sin, cos] : std::initializer_list<Case>{
             {0, 0, 256}, {32, 181, 181}, {64, 256, 0}, {128, 0, -256}, {192, -256, 0}, {255, -6, 256}, {7, 44, 252}}) {
        EXPECT_EQ(E::Angle::sin(uint8_t(angle)), sin) << angle;
        EXPECT_EQ(E::Angle::cos(uint8_t(angle)), cos) << angle;
    }
}

TEST(RecogTables, FixedPointLog2) {
    struct Case { uint32_t x; int32_t log2; };
    for (auto [x, log2] : std::initializer_list<Case>{
             {0, -512}, {1, 0}, {2, 256}, {3, 406}, {255, 2047}, {256, 2048}, {65536, 4096},
             {60000, 4063}, {0xFFFFFFFFu, 8191}}) {
        EXPECT_EQ(E::log2_fixed(x), log2) << x;
    }
}

TEST(RecogTables, Log2Factorials) {
    struct Case { uint32_t n; int32_t value; };
    for (auto [n, value] : std::initializer_list<Case>{
             {0, 0}, {1, 0}, {2, 256}, {3, 662}, {4, 1174}, {5, 1768}, {75, 93031}, {76, 94630},
             // Stirling's form above the table.
             {77, 96210}, {100, 134356}}) {
        EXPECT_EQ(E::log2_factorial_table(n), value) << n;
    }
}

TEST(RecogTables, Pow10ScaleAndItsEdges) {
    struct Case { int32_t index; uint32_t probability; };
    for (auto [index, probability] : std::initializer_list<Case>{
             {-100, 0x7FFFFFFF}, {-1, 0x7FFFFFFF}, {0, 0x7FFFFFFF}, {1, 1705806894}, {10, 214748365},
             {51, 17058}, {52, 13550}, {70, 215}, {89, 3}, {90, 2}, {92, 1}, {96, 1}, {97, 0}, {1000, 0}}) {
        EXPECT_EQ(E::pow10_x_10(index), probability) << index;
    }
}

}  // namespace
