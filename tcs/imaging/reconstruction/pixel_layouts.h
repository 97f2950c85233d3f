// Sensor-module pixel layouts: which sensor pixel number feeds each output column, per flex.
// One source for the stack and for the swipe model, so both agree on the module wiring.
#pragma once

#include <stdint.h>

#include <array>
#include <cstddef>

namespace pixel_layouts {

// Every secondary bank has 64 pixels; each secondary pixel looks at one primary column.
inline constexpr std::size_t kSecondaryCount = 64;

namespace detail {

// A run of consecutive pixel numbers, rising or falling.
template <std::size_t N>
constexpr std::array<uint16_t, N> run(int first, int step) {
    std::array<uint16_t, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = uint16_t(first + step * int(i));
    return out;
}

// Secondary banks count down from `top` to 0 and wrap to 279 downwards.
constexpr std::array<uint16_t, kSecondaryCount> wrappedDown(int top) {
    std::array<uint16_t, kSecondaryCount> out{};
    int value = top;
    for (std::size_t i = 0; i < kSecondaryCount; ++i) {
        out[i] = uint16_t(value);
        value = value == 0 ? 279 : value - 1;
    }
    return out;
}

// Secondary pixel i sits over primary column (window + i), held inside the primary bank.
constexpr std::array<uint16_t, kSecondaryCount> secToPri(int window, int primaryCount) {
    std::array<uint16_t, kSecondaryCount> out{};
    for (std::size_t i = 0; i < kSecondaryCount; ++i) {
        int column = window + int(i);
        out[i] = uint16_t(column < primaryCount ? column : primaryCount - 1);
    }
    return out;
}

// The interleaved 144-pixel bank: a fixed head, then the remaining numbers of 10..153 in order.
constexpr std::array<uint16_t, 144> interleaved41A() {
    constexpr uint16_t head[] = {20, 10, 19, 22, 12, 56, 64};
    std::array<uint16_t, 144> out{};
    std::size_t n = 0;
    for (uint16_t h : head) out[n++] = h;
    for (uint16_t v = 10; v <= 153; ++v) {
        bool inHead = false;
        for (uint16_t h : head) inHead = inHead || h == v;
        if (!inHead) out[n++] = v;
    }
    return out;
}

}  // namespace detail

// Module 530 (flex 14).
inline constexpr auto PriPixelLayout_530 = detail::run<200>(26, 1);
inline constexpr auto SecPixelLayout_530 = detail::wrappedDown(11);
inline constexpr auto SecToPriMap_530 = detail::secToPri(68, 200);
// Module 540 (flex 58 and 92).
inline constexpr auto PriPixelLayout_540 = detail::run<200>(25, 1);
inline constexpr auto SecPixelLayout_540 = detail::wrappedDown(10);
inline constexpr auto SecToPriMap_540 = detail::secToPri(68, 200);
// Module 59.
inline constexpr auto PriPixelLayout_59 = detail::run<160>(28, 1);
inline constexpr auto SecPixelLayout_59 = detail::wrappedDown(27);
inline constexpr auto SecToPriMap_59 = detail::secToPri(48, 160);
// Module TFS6xx 12A (flex 19).
inline constexpr auto PriPixelLayout_TFS6xx_12A = detail::run<200>(30, 1);
inline constexpr auto SecPixelLayout_TFS6xx_12A = detail::wrappedDown(29);
inline constexpr auto SecToPriMap_TFS6xx_12A = detail::secToPri(68, 200);
// Module TFS7xx 23A (flex 98).
inline constexpr auto PriPixelLayout_TFS7xx_23A = detail::run<193>(40, 1);
inline constexpr auto SecPixelLayout_TFS7xx_23A = detail::wrappedDown(39);
inline constexpr auto SecToPriMap_TFS7xx_23A = detail::secToPri(136, 193);
// Module TFS7xx 17A (flex 93).
inline constexpr auto PriPixelLayout_TFS7xx_17A = detail::run<160>(30, 1);
inline constexpr auto SecPixelLayout_TFS7xx_17A = detail::wrappedDown(29);
inline constexpr auto SecToPriMap_TFS7xx_17A = detail::secToPri(48, 160);
// Module TFS6xx 22B (flex 72).
inline constexpr auto PriPixelLayout_TFS6xx_22B = detail::run<200>(28, 1);
inline constexpr auto SecPixelLayout_TFS6xx_22B = detail::wrappedDown(27);
inline constexpr auto SecToPriMap_TFS6xx_22B = detail::secToPri(69, 200);
// Module TFS7xx 30A/31A (flex 55 and 26).
inline constexpr auto PriPixelLayout_TFS7xx_30A_31A = detail::run<200>(24, 1);
inline constexpr auto SecPixelLayout_TFS7xx_30A_31A = detail::wrappedDown(23);
inline constexpr auto SecToPriMap_TFS7xx_30A_31A = detail::secToPri(69, 200);
// Module TFS7xx 41A (flex 32): interleaved primary bank.
inline constexpr auto PriPixelLayout_TFS7xx_41A = detail::interleaved41A();
inline constexpr auto SecPixelLayout_TFS7xx_41A = detail::wrappedDown(9);
inline constexpr auto SecToPriMap_TFS7xx_41A = detail::secToPri(36, 144);
// Module TFS701 40A (flex 131): primary bank sampled in falling order.
inline constexpr auto PriPixelLayout_TFS701_40A = detail::run<160>(165, -1);
inline constexpr auto SecPixelLayout_TFS701_40A = detail::wrappedDown(5);
inline constexpr auto SecToPriMap_TFS701_40A = detail::secToPri(48, 160);

// Analog-reconstruction reset lists: a count, then the columns.
inline constexpr uint8_t ARresets_FID72[] = {6, 5, 42, 178, 188, 192, 195};
inline constexpr uint8_t ARresets_FID32[] = {5, 4, 11, 17, 122, 130};

// Dead-column ranges (16 bytes): count, fill flag, seven starts, seven ends.
inline constexpr uint8_t IRinterpolRanges_FID72[16] = {7, 0, 43, 190, 186, 42, 45, 49, 61, 43, 190, 186, 42, 45, 49, 61};
inline constexpr uint8_t IRinterpolRanges_FID98[16] = {0, 0, 43, 190, 186, 42, 45, 49, 61, 43, 190, 186, 42, 45, 49, 61};
inline constexpr uint8_t IRinterpolRanges_FID32[16] = {4, 0, 16, 35, 124, 129, 0, 0, 0, 16, 35, 124, 129, 0, 0, 0};

}  // namespace pixel_layouts
