// The tool's result-code name table.

#include "tcs/result.h"

#include <gtest/gtest.h>

#include <initializer_list>

TEST(ResultNames, KnownAndUnknownCodes) {
    struct Case { TcsResult code; const char* name; };
    for (auto [code, name] : std::initializer_list<Case>{
             {0, "TCS_RESULT_OK"},
             {10, "TCS_RESULT_SENSOR_WRITE_TIMEOUT"},
             {11, "TCS_RESULT_SENSOR_READ_TIMEOUT"},
             {51, "TCS_RESULT_SENSOR_NO_ECNRYPT"},
             {80, "TCS_RESULT_INVALID_DATABASE_SPEC"},
             {217, "TCS_RESULT_NO_WORK_ITEMS"},
             {307, "TCS_RESULT_MATCHER_MATCH_IMAGE_FAILED"},
             {370, "TCS_RESULT_SENSOR_CMD_DENIED"}}) {
        ASSERT_NE(tcsResultName(code), nullptr) << code;
        EXPECT_STREQ(tcsResultName(code), name) << code;
    }
    for (TcsResult unnamed : {81u, 199u, 221u, 358u, 372u, 513u}) {
        EXPECT_EQ(tcsResultName(unnamed), nullptr) << unnamed;
    }
}

TEST(ResultNames, TableOrderKeepsElevenBeforeTen) {
    size_t i10 = 0, i11 = 0;
    for (size_t i = 0; i < 111; ++i) {
        if (gTcsResultNames[i].code == 10) i10 = i;
        if (gTcsResultNames[i].code == 11) i11 = i;
    }
    EXPECT_EQ(i11 + 1, i10);
    for (size_t i = 1; i < 111; ++i) {
        if (i == i10 || i == i10 + 1) continue;
        EXPECT_LT(gTcsResultNames[i - 1].code, gTcsResultNames[i].code) << i;
    }
}
