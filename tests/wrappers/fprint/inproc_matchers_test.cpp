// In-process matchers: opening per client, the matcher's id string, the argument checks of each
// operation and the release of result handles when a match fails.
#include "apps/shared/inproc_matchers.h"

#include "sim/swipe/grey_image.h"
#include "tests/apps/shared/fixture.h"
#include "wrappers/fprint/tfs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

namespace {

using tov::client::testing::ServiceTest;

class InprocMatcherTest : public ServiceTest {
protected:
    uint64_t fingerImage(const char* name = "101_1.tif") {
        swipe_model::GreyImage image;
        EXPECT_TRUE(swipe_model::loadTiff(std::string(TOV_DATA_DIR) + "/fvc/FVC2000_DB1_B/" + name, image));
        uint64_t handle = 0;
        EXPECT_EQ(tcsImageCreate(&handle, image.pixels.data(), uint32_t(image.pixels.size()), image.height,
                                 image.width, 0),
                  TCS_RESULT_OK);
        return handle;
    }
};

TEST_F(InprocMatcherTest, OneMatcherOfAnIdPerClient) {
    TcsHandle first = createClient();
    TcsHandle second = createClient();
    TcsHandle a = 0, b = 0, c = 0;
    ASSERT_EQ(tcsMatcherOpen(first, 1, &a), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatcherGetID(a), 1u);
    EXPECT_EQ(tcsMatcherOpen(first, 1, &b), TCS_RESULT_INVALID);
    EXPECT_EQ(tcsMatcherOpen(first, 0, &b), TCS_RESULT_INVALID);  // 0 is matcher 1
    EXPECT_EQ(b, 0u);
    ASSERT_EQ(tcsMatcherOpen(second, 0, &b), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatcherGetID(b), 1u);
    for (uint32_t id : {3u, 5u, 256u, 259u}) {
        c = 0;
        EXPECT_EQ(tcsMatcherOpen(first, id, &c), 300u) << id;
        EXPECT_EQ(c, 0u) << id;
    }
    EXPECT_EQ(tcsMatcherOpen(0, 1, &c), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherOpen(first, 1, nullptr), TCS_RESULT_NULL_POINTER);

    // Closed, the id may be opened again; a closed handle is unknown.
    ASSERT_EQ(tcsMatcherClose(a), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatcherClose(a), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherGetID(a), 0u);
    ASSERT_EQ(tcsMatcherOpen(first, 1, &a), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatcherClose(a), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatcherClose(b), TCS_RESULT_OK);
}

TEST_F(InprocMatcherTest, NewMatcherReadsTheClientsFalseAcceptanceRate) {
    TcsHandle client = createClient();
    ASSERT_EQ(tcsSetParam(client, 15, 12345), TCS_RESULT_OK);
    const size_t before = requestsOf(TOV_FN_GET_PARAM).size();
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client, 1, &matcher), TCS_RESULT_OK);
    auto reads = requestsOf(TOV_FN_GET_PARAM);
    ASSERT_EQ(reads.size(), before + 1);
    EXPECT_EQ(tov::client::testing::read64(reads.back().payload, 0), client);
    EXPECT_EQ(tov::client::testing::read32(reads.back().payload, 8), 15u);
    tcsMatcherClose(matcher);
}

TEST_F(InprocMatcherTest, IdStringNeedsRoomForItsTerminator) {
    TcsHandle client = createClient();
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client, 1, &matcher), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatcherGetIDStringSize(matcher), 40u);
    char id[64];
    ASSERT_EQ(tcsMatcherGetIDStringA(matcher, id, sizeof id), TCS_RESULT_OK);
    const uint32_t length = uint32_t(strlen(id));
    ASSERT_GT(length, 0u);
    char exact[64];
    EXPECT_EQ(tcsMatcherGetIDStringA(matcher, exact, length), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsMatcherGetIDStringA(matcher, exact, length + 1), TCS_RESULT_OK);
    EXPECT_STREQ(exact, id);
    uint16_t wide[64];
    EXPECT_EQ(tcsMatcherGetIDStringW(matcher, wide, length), TCS_RESULT_BAD_PARAM);
    ASSERT_EQ(tcsMatcherGetIDStringW(matcher, wide, length + 1), TCS_RESULT_OK);
    for (uint32_t i = 0; i <= length; ++i) EXPECT_EQ(wide[i], uint16_t(uint8_t(id[i]))) << i;
    EXPECT_EQ(tcsMatcherGetIDStringA(matcher, nullptr, 64), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherGetIDStringA(~0ull, id, 64), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsMatcherGetIDStringW(~0ull, wide, 64), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsMatcherGetIDStringSize(~0ull), 0u);
    EXPECT_EQ(tcsMatcherGetTemplateType(~0ull), 0u);
    tcsMatcherClose(matcher);
}

TEST_F(InprocMatcherTest, DestroyingTheClientClosesItsMatchers) {
    auto* context = static_cast<AppContext*>(calloc(1, TFS_CONTEXT_SIZE));
    ASSERT_EQ(ClientCreate(context, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(context->signature, TFS_CONTEXT_SIGNATURE);
    EXPECT_EQ(context->captureTimeoutMs, 60000u);
    TcsHandle one = 0, four = 0;
    ASSERT_EQ(tcsMatcherOpen(context->client, 1, &one), TCS_RESULT_OK);
    ASSERT_EQ(tcsMatcherOpen(context->client, 4, &four), TCS_RESULT_OK);
    ASSERT_EQ(ClientDestroy(context, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(context->client, 0u);
    EXPECT_EQ(tcsMatcherGetID(one), 0u);
    EXPECT_EQ(tcsMatcherGetID(four), 0u);
    EXPECT_EQ(ClientDestroy(context, nullptr), TCS_RESULT_NULL_CLIENT_HANDLE);
    ASSERT_NE(context->lastError.text, nullptr);
    EXPECT_EQ(std::string(context->lastError.text).rfind("Client handle is null - messages.cpp(", 0), 0u);
    clearAppLastError(&context->lastError);
    free(context);
}

TEST_F(InprocMatcherTest, OperationsCheckTheirHandles) {
    TcsHandle client = createClient();
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client, 1, &matcher), TCS_RESULT_OK);
    uint64_t image = fingerImage();
    uint64_t templ = 0;
    ASSERT_EQ(tcsMatcherExtractTemplate(matcher, image, &templ), TCS_RESULT_OK);
    EXPECT_GT(tcsTemplateGetDataSize(templ), 0u);

    uint64_t out = 0;
    uint32_t value = 0;
    uint32_t number = 1;
    uint64_t results[2] = {};
    EXPECT_EQ(tcsMatcherExtractTemplate(~0ull, image, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherExtractTemplate(matcher, ~0ull, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherExtractTemplate(matcher, image, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherMatchTemplates(matcher, templ, templ, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherMatchTemplates(matcher, templ, image, &out), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherMatchImageToTemplates(matcher, image, &templ, 0, 1, &out), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsMatcherMatchImageToTemplates(matcher, image, &image, 1, 1, &out), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsMatcherMatchImageToTemplates(~0ull, image, &templ, 1, 1, &out), TCS_RESULT_NULL_POINTER);
    number = 0;
    EXPECT_EQ(tcsMatcherMatchImageToTemplatesEx(matcher, image, &templ, 1, &number, results), TCS_RESULT_BAD_PARAM);
    number = 1;
    EXPECT_EQ(tcsMatcherMatchImageToTemplatesEx(matcher, image, &image, 1, &number, results), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsMatcherMatchImageToTemplatesEx(matcher, image, &templ, 1, nullptr, results), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherCheckImageQuality(~0ull, image, &value), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(tcsMatcherCheckImageQuality(matcher, ~0ull, &value), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherCheckImageQuality(matcher, image, nullptr), TCS_RESULT_NULL_POINTER);
    uint64_t notTemplate = image;
    EXPECT_EQ(tcsMatcherAddImageToTemplate(matcher, image, &value, &notTemplate), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(tcsMatcherAddImageToTemplate(matcher, image, nullptr, &notTemplate), TCS_RESULT_NULL_POINTER);

    // The image matched against its own template gives a result handle.
    ASSERT_EQ(tcsMatcherMatchImageToTemplates(matcher, image, &templ, 1, 1, &out), TCS_RESULT_OK);
    EXPECT_NE(out, 0u);
    EXPECT_EQ(tcsMatchResultsDestroyHandle(out), TCS_RESULT_OK);

    tcsHandleDestroy(templ);
    tcsHandleDestroy(image);
    tcsMatcherClose(matcher);
}

TEST_F(InprocMatcherTest, FailedExtendedMatchReleasesEveryResult) {
    TcsHandle client = createClient();
    TcsHandle matcher = 0;
    // Matcher 1 has no extended match: the call fails after the results were made.
    ASSERT_EQ(tcsMatcherOpen(client, 1, &matcher), TCS_RESULT_OK);
    uint64_t image = fingerImage();
    uint64_t templ = 0;
    ASSERT_EQ(tcsMatcherExtractTemplate(matcher, image, &templ), TCS_RESULT_OK);
    uint64_t templates[2] = {templ, templ};
    uint64_t results[3] = {11, 12, 13};
    uint32_t number = 5;
    EXPECT_EQ(tcsMatcherMatchImageToTemplatesEx(matcher, image, templates, 2, &number, results), 307u);
    EXPECT_EQ(number, 2u);  // capped at the template count
    EXPECT_EQ(results[0], 0u);
    EXPECT_EQ(results[1], 0u);
    EXPECT_EQ(results[2], 13u);  // beyond the cap: untouched
    tcsHandleDestroy(templ);
    tcsHandleDestroy(image);
    tcsMatcherClose(matcher);
}

}  // namespace
