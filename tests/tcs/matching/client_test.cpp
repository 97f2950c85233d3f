// Matcher client interface over a pumped stack: opening by id, refusals, the synchronous wrappers,
// enrolment and matching on public prints with matcher 1.
#include "matching_support.h"

#include "tcs/matching/mss.h"

#include <cstring>
#include <vector>

namespace {

using namespace matchtest;

struct Completion {
    int calls = 0;
    void* handle = nullptr;
    TcsResult status = 0xFFFF;
};

TcsResult record(void* handle, TcsResult status, void* context) {
    auto* c = static_cast<Completion*>(context);
    c->handle = handle;
    c->status = status;
    ++c->calls;
    return TCS_RESULT_OK;
}

class MatcherClientTest : public StackTest {};

TEST_F(MatcherClientTest, OpenByIdAndGetters) {
    struct Case {
        uint32_t requested;
        uint32_t id;
        uint32_t type;
        const char* idPrefix;
    };
    for (const Case& c : {Case{0, 1, 1, "MinuEngine"}, Case{1, 1, 1, "MinuEngine"}, Case{4, 4, 5, "Recog: M="},
                          Case{257, 257, 256, "AEM 0.9: MinuEngine"}, Case{260, 260, 256, "AEM 0.9: Recog: M="}}) {
        TcsHandle matcher = 0;
        ASSERT_EQ(tcsMatcherOpen(client_, c.requested, &matcher), TCS_RESULT_OK) << c.requested;
        ASSERT_NE(matcher, 0u);
        EXPECT_EQ(tcsMatcherGetID(matcher), c.id);
        EXPECT_EQ(tcsMatcherGetTemplateType(matcher), c.type);
        EXPECT_EQ(tcsMatcherGetIDStringSize(matcher), 40u);
        char text[40] = {};
        EXPECT_EQ(tcsMatcherGetIDStringA(matcher, text, sizeof text), TCS_RESULT_OK);
        EXPECT_EQ(std::string(text).rfind(c.idPrefix, 0), 0u) << text;
        uint16_t wide[40] = {};
        EXPECT_EQ(tcsMatcherGetIDStringW(matcher, wide, 40), TCS_RESULT_OK);
        EXPECT_EQ(wide[0], uint16_t(text[0]));
        EXPECT_EQ(tcsMatcherGetIDStringA(matcher, text, uint32_t(std::strlen(text))), TCS_RESULT_BAD_PARAM);
        EXPECT_EQ(tcsMatcherGetIDStringA(matcher, text, 0), TCS_RESULT_BAD_PARAM);
        EXPECT_EQ(tcsMatcherGetIDStringA(matcher, nullptr, 40), TCS_RESULT_NULL_POINTER);
        EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
        EXPECT_EQ(tcsMatcherGetID(matcher), 0u);
    }
    EXPECT_TRUE(palListIsEmpty(&clientRecord()->matchers));
}

TEST_F(MatcherClientTest, OpenRefusals) {
    TcsHandle matcher = 77;
    Completion done;
    for (uint32_t id : {3u, 5u, 256u, 259u, 261u}) {
        EXPECT_EQ(tcsMatcherOpenAsync(client_, id, record, &done), TCS_RESULT_BAD_PARAM) << id;
    }
    EXPECT_EQ(tcsMatcherOpenAsync(client_, 1, nullptr, &done), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsMatcherOpenAsync(client_ + 1000, 1, record, &done), TCS_RESULT_NULL_CLIENT_HANDLE);
    EXPECT_EQ(tcsMatcherOpen(client_, 1, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsMatcherOpen(0, 1, &matcher), TCS_RESULT_NULL_CLIENT_HANDLE);
    EXPECT_EQ(done.calls, 0);
    EXPECT_EQ(matcher, 77u);
    // Without its library matcher 2 cannot be opened, nor the wrapper over it.
    mssOrbisSetLibraryPath("/nonexistent/OrbisBioSDK.so");
    EXPECT_EQ(tcsMatcherOpen(client_, 2, &matcher), TCS_RESULT_ERROR);
    EXPECT_EQ(tcsMatcherOpen(client_, 258, &matcher), TCS_RESULT_ERROR);
    mssOrbisSetLibraryPath(nullptr);
    EXPECT_TRUE(palListIsEmpty(&clientRecord()->matchers));
}

TEST_F(MatcherClientTest, CloseQueuedRefusesLaterCallsAndCompletesWithZero) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 1, &matcher), TCS_RESULT_OK);
    TcsHandle image = imageHandle(fvc("101_1.tif"));
    Completion closed, quality;
    ASSERT_EQ(tcsMatcherCloseAsync(matcher, record, &closed), TCS_RESULT_OK);
    // Between queueing and completion the handle resolves, but every call is refused.
    EXPECT_EQ(tcsMatcherCheckImageQualityAsync(matcher, image, record, &quality),
              TCS_RESULT_SENSOR_CLOSE_IN_PROCESS);
    EXPECT_EQ(tcsMatcherCloseAsync(matcher, record, &closed), TCS_RESULT_SENSOR_CLOSE_IN_PROCESS);
    EXPECT_EQ(tcsMatcherGetID(matcher), 0u);
    char text[40];
    EXPECT_EQ(tcsMatcherGetIDStringA(matcher, text, 40), TCS_RESULT_SENSOR_CLOSE_IN_PROCESS);
    ASSERT_TRUE(pumpUntil([&] { return closed.calls == 1; }));
    EXPECT_EQ(closed.status, TCS_RESULT_OK);
    EXPECT_EQ(closed.handle, nullptr);
    EXPECT_EQ(quality.calls, 0);
    EXPECT_EQ(tcsMatcherGetIDStringA(matcher, text, 40), TCS_RESULT_NULL_HANDLE_POINTER);
    tcsHandleDestroy(image);
}

TEST_F(MatcherClientTest, ValidationOfImagesTemplatesCountsAndModes) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 1, &matcher), TCS_RESULT_OK);
    TcsHandle image = imageHandle(fvc("101_1.tif"));
    const uint8_t bytes[4] = {1, 2, 3, 4};
    TcsHandle templ = 0;
    ASSERT_EQ(tcsTemplateCreate(&templ, bytes, 4), TCS_RESULT_OK);
    TcsHandle list[2] = {templ, templ};
    TcsHandle unknown = image + 5000;
    Completion c;
    uint32_t verdict = 0;
    TcsHandle out = 0;
    EXPECT_EQ(tcsMatcherCheckImageQualityAsync(matcher, unknown, record, &c), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(tcsMatcherCheckImageQualityAsync(matcher, image, nullptr, &c), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsMatcherCheckImageQuality(matcher, image, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherExtractTemplate(matcher, image, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    EXPECT_EQ(tcsMatcherMatchTemplates(matcher, templ, unknown, &out), TCS_RESULT_INVALID_HANDLE);
    EXPECT_EQ(tcsMatcherMatchTemplates(matcher, templ, templ, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    struct Case {
        TcsHandle image;
        const TcsHandle* list;
        uint32_t count;
        uint32_t mode;
        TcsResult expected;
    };
    TcsHandle withUnknown[2] = {templ, unknown};
    for (const Case& k : {Case{image, list, 0, 1, TCS_RESULT_BAD_PARAM}, Case{image, list, 2, 3, TCS_RESULT_BAD_PARAM},
                          Case{unknown, list, 2, 1, TCS_RESULT_INVALID_HANDLE},
                          Case{image, nullptr, 2, 1, TCS_RESULT_NULL_POINTER},
                          Case{image, withUnknown, 2, 2, TCS_RESULT_BAD_PARAM}}) {
        EXPECT_EQ(tcsMatcherMatchImageToTemplatesAsync(matcher, k.image, k.list, k.count, k.mode, record, &c),
                  k.expected);
    }
    uint32_t number = 3;
    TcsHandle results[3];
    EXPECT_EQ(tcsMatcherMatchImageToTemplatesExAsync(matcher, image, list, 2, &number, results, nullptr, &c),
              TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(number, 0u);  // every refusal clears the caller's number
    number = 0;
    EXPECT_EQ(tcsMatcherMatchImageToTemplatesEx(matcher, image, list, 2, &number, results), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(tcsMatcherCheckImageQuality(matcher, image, &verdict), TCS_RESULT_OK);
    EXPECT_EQ(c.calls, 0);
    tcsHandleDestroy(templ);
    tcsHandleDestroy(image);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

// Enrols three impressions of finger 101 with matcher 1 and matches another impression of it and
// one of finger 102.
TEST_F(MatcherClientTest, EnrolAndMatchWithMatcherOne) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 1, &matcher), TCS_RESULT_OK);
    TcsHandle templ = 0;
    uint32_t status = 0;
    std::vector<TcsHandle> images;
    for (const char* name : {"101_1.tif", "101_2.tif", "101_3.tif"}) images.push_back(imageHandle(fvc(name)));
    for (size_t i = 0; i < images.size(); ++i) {
        ASSERT_EQ(tcsMatcherAddImageToTemplate(matcher, images[i], &status, &templ), TCS_RESULT_OK) << i;
        EXPECT_EQ(status, i < 2 ? uint32_t(MSS_ENROLL_STATUS_MORE_IMAGES) : uint32_t(MSS_ENROLL_STATUS_COMPLETE));
        EXPECT_EQ(templ != 0, i == 2);
    }
    EXPECT_EQ(tcsTemplateGetType(templ), 1u);
    EXPECT_GE(tcsTemplateGetDataSize(templ), 1024u);
    EXPECT_GT(tcsTemplateGetFeatures(templ), 0u);
    ASSERT_EQ(tcsTemplateSetUserID(templ, 42), TCS_RESULT_OK);
    ASSERT_EQ(tcsTemplateSetFinger(templ, 7), TCS_RESULT_OK);

    TcsHandle genuine = imageHandle(fvc("101_5.tif"));
    TcsHandle impostor = imageHandle(fvc("102_1.tif"));
    TcsHandle result = 0;
    TcsHandle list[1] = {templ};
    ASSERT_EQ(tcsMatcherMatchImageToTemplates(matcher, genuine, list, 1, 1, &result), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatchResultsGetStatus(result), 1u);
    EXPECT_EQ(tcsMatchResultsGetUserID(result), 42u);
    EXPECT_EQ(tcsMatchResultsGetFinger(result), 7u);
    const uint32_t genuineScore = tcsMatchResultsGetScore(result);
    EXPECT_EQ(tcsMatchResultsDestroyHandle(result), TCS_RESULT_OK);
    ASSERT_EQ(tcsMatcherMatchImageToTemplates(matcher, impostor, list, 1, 2, &result), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatchResultsGetStatus(result), 0u);
    EXPECT_LT(tcsMatchResultsGetScore(result), genuineScore);
    tcsMatchResultsDestroyHandle(result);

    // Template against template: an extracted probe of the same finger matches the enrolled one.
    TcsHandle probe = 0;
    ASSERT_EQ(tcsMatcherExtractTemplate(matcher, genuine, &probe), TCS_RESULT_OK);
    ASSERT_EQ(tcsMatcherMatchTemplates(matcher, probe, templ, &result), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatchResultsGetStatus(result), 1u);
    EXPECT_EQ(tcsMatchResultsGetUserID(result), 42u);
    tcsMatchResultsDestroyHandle(result);
    // The extended form is not one of matcher 1's operations.
    uint32_t number = 1;
    TcsHandle results[1] = {};
    EXPECT_EQ(tcsMatcherMatchImageToTemplatesEx(matcher, genuine, list, 1, &number, results),
              TCS_RESULT_NOT_IMPLEMENTED);

    for (TcsHandle h : images) tcsHandleDestroy(h);
    for (TcsHandle h : {genuine, impostor, probe, templ}) tcsHandleDestroy(h);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

TEST_F(MatcherClientTest, RejectedImageLeavesTheTemplateHandle) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 4, &matcher), TCS_RESULT_OK);
    // Matcher 4 refuses images of fewer than 150 rows.
    const swipe_model::GreyImage& g = fvc("101_1.tif");
    TcsHandle shortImage = 0;
    ASSERT_EQ(tcsImageCreate(&shortImage, g.pixels.data(), 140 * g.width, 140, g.width, 0), TCS_RESULT_OK);
    TcsHandle templ = 12345;
    uint32_t status = 0;
    EXPECT_EQ(tcsMatcherAddImageToTemplate(matcher, shortImage, &status, &templ), TCS_RESULT_MATCHER_ADD_IMAGE_FAILED);
    EXPECT_EQ(status, uint32_t(MSS_ENROLL_STATUS_MORE_IMAGES));
    EXPECT_EQ(templ, 12345u);
    EXPECT_EQ(tcsMatcherAddImageToTemplate(matcher, shortImage, nullptr, &templ), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(tcsMatcherAddImageToTemplate(matcher, shortImage, &status, nullptr), TCS_RESULT_NULL_HANDLE_POINTER);
    tcsHandleDestroy(shortImage);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

// A client destroyed with matchers still open closes them on the way.
TEST_F(MatcherClientTest, ClientDestroyClosesOpenMatchers) {
    TcsHandle a = 0, b = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 1, &a), TCS_RESULT_OK);
    ASSERT_EQ(tcsMatcherOpen(client_, 260, &b), TCS_RESULT_OK);
    EXPECT_EQ(tcsClientDestroy(client_), TCS_RESULT_OK);
    client_ = 0;
    EXPECT_EQ(tcsMatcherGetID(a), 0u);
    EXPECT_EQ(tcsMatcherGetID(b), 0u);
}

TEST_F(MatcherClientTest, FarParameterReachesOpenMatchers) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsSetParam(client_, 15, 10000), TCS_RESULT_OK);
    ASSERT_EQ(tcsMatcherOpen(client_, 1, &matcher), TCS_RESULT_OK);
    void* object = nullptr;
    tcsSafeMatcherHandleFetch(matcher, &object);
    auto* m = static_cast<MatcherRecord*>(object);
    uint32_t threshold = 0;
    ASSERT_EQ(m->GetParameter(m, 200, &threshold), TCS_RESULT_OK);
    EXPECT_EQ(threshold, 61u);  // rate 10000 at open
    ASSERT_EQ(tcsSetParam(client_, 15, 1000000), TCS_RESULT_OK);
    ASSERT_EQ(m->GetParameter(m, 200, &threshold), TCS_RESULT_OK);
    EXPECT_EQ(threshold, 32u);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

}  // namespace

namespace {

using namespace matchtest;

// Three impressions of different fingers agree too little: the enrolment fails without a template.
TEST_F(MatcherClientTest, PoorEnrolmentFailsWith304) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 1, &matcher), TCS_RESULT_OK);
    TcsHandle templ = 0;
    uint32_t status = 0;
    std::vector<TcsHandle> images;
    for (const char* name : {"101_1.tif", "105_1.tif"}) {
        images.push_back(imageHandle(fvc(name)));
        ASSERT_EQ(tcsMatcherAddImageToTemplate(matcher, images.back(), &status, &templ), TCS_RESULT_OK);
    }
    images.push_back(imageHandle(fvc("109_1.tif")));
    EXPECT_EQ(tcsMatcherAddImageToTemplate(matcher, images.back(), &status, &templ), TCS_RESULT_MATCHER_ENROLL_FAILED);
    EXPECT_EQ(status, uint32_t(MSS_ENROLL_STATUS_FAILED));
    EXPECT_EQ(templ, 0u);
    for (TcsHandle h : images) tcsHandleDestroy(h);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

// An image with nothing to extract: matcher 4 tries five times and gives up with 303.
TEST_F(MatcherClientTest, BlankImageExtractionFailsWith303) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 4, &matcher), TCS_RESULT_OK);
    std::vector<uint8_t> blank(300 * 300, 200);
    TcsHandle image = 0;
    ASSERT_EQ(tcsImageCreate(&image, blank.data(), uint32_t(blank.size()), 300, 300, 0), TCS_RESULT_OK);
    TcsHandle templ = 0;
    EXPECT_EQ(tcsMatcherExtractTemplate(matcher, image, &templ), TCS_RESULT_MATCHER_EXTRACT_FAILED);
    EXPECT_EQ(templ, 0u);
    tcsHandleDestroy(image);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

}  // namespace

namespace {

using namespace matchtest;

// Releasing an open matcher's handle directly closes it instead of leaving its record in the
// client's list.
TEST_F(MatcherClientTest, HandleDestroyOfAnOpenMatcherClosesIt) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 257, &matcher), TCS_RESULT_OK);
    EXPECT_EQ(tcsHandleDestroy(matcher), TCS_RESULT_OK);
    EXPECT_TRUE(palListIsEmpty(&clientRecord()->matchers));
    EXPECT_EQ(tcsMatcherGetID(matcher), 0u);
    EXPECT_NE(tcsHandleDestroy(matcher), TCS_RESULT_OK);
}

}  // namespace

namespace {

using namespace matchtest;

// The extended match through the synchronous wrapper: asked for 5 results over 3 templates, it
// hands back 3 result handles, best first, each naming its template's position.
TEST_F(MatcherClientTest, ExtendedMatchThroughTheWrapper) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 4, &matcher), TCS_RESULT_OK);
    std::vector<TcsHandle> images;
    TcsHandle templates[3] = {};
    const char* names[3] = {"102_1.tif", "101_1.tif", "104_1.tif"};
    for (int i = 0; i < 3; ++i) {
        images.push_back(imageHandle(fvc(names[i])));
        ASSERT_EQ(tcsMatcherExtractTemplate(matcher, images.back(), &templates[i]), TCS_RESULT_OK) << names[i];
        ASSERT_EQ(tcsTemplateSetUserID(templates[i], 100 + i), TCS_RESULT_OK);
    }
    images.push_back(imageHandle(fvc("101_2.tif")));
    uint32_t number = 5;
    TcsHandle results[5] = {};
    ASSERT_EQ(tcsMatcherMatchImageToTemplatesEx(matcher, images.back(), templates, 3, &number, results), TCS_RESULT_OK);
    ASSERT_EQ(number, 3u);
    EXPECT_EQ(tcsMatchResultsGetIndex(results[0]), 1u);
    EXPECT_EQ(tcsMatchResultsGetUserID(results[0]), 101u);
    EXPECT_EQ(tcsMatchResultsGetStatus(results[0]), 1u);
    EXPECT_GE(tcsMatchResultsGetScore(results[0]), tcsMatchResultsGetScore(results[1]));
    EXPECT_GE(tcsMatchResultsGetScore(results[1]), tcsMatchResultsGetScore(results[2]));
    EXPECT_EQ(results[3], 0u);
    for (uint32_t i = 0; i < number; ++i) EXPECT_EQ(tcsMatchResultsDestroyHandle(results[i]), TCS_RESULT_OK);

    // Asked for one: only the best.
    number = 1;
    ASSERT_EQ(tcsMatcherMatchImageToTemplatesEx(matcher, images.back(), templates, 3, &number, results), TCS_RESULT_OK);
    ASSERT_EQ(number, 1u);
    EXPECT_EQ(tcsMatchResultsGetIndex(results[0]), 1u);
    tcsMatchResultsDestroyHandle(results[0]);

    // The plain form in mode 2 stops at the first template over the threshold.
    TcsHandle result = 0;
    ASSERT_EQ(tcsMatcherMatchImageToTemplates(matcher, images.back(), templates, 3, 2, &result), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatchResultsGetIndex(result), 1u);
    EXPECT_EQ(tcsMatchResultsGetStatus(result), 1u);
    tcsMatchResultsDestroyHandle(result);

    for (TcsHandle h : images) tcsHandleDestroy(h);
    for (TcsHandle h : templates) tcsHandleDestroy(h);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

}  // namespace

namespace {

using namespace matchtest;

// A template handle given with an image keeps its own record. Matcher 1 makes a new template at
// every third image whatever it was given; that one has no owner and is released (LeakSanitizer
// checks), for a live handle and for one that no longer exists alike.
TEST_F(MatcherClientTest, AGivenTemplateHandleKeepsItsRecord) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 1, &matcher), TCS_RESULT_OK);
    std::vector<TcsHandle> images;
    for (const char* name : {"101_1.tif", "101_2.tif", "101_3.tif"}) images.push_back(imageHandle(fvc(name)));
    TcsHandle templ = 0;
    uint32_t status = 0;
    for (TcsHandle image : images) {
        ASSERT_EQ(tcsMatcherAddImageToTemplate(matcher, image, &status, &templ), TCS_RESULT_OK);
    }
    ASSERT_EQ(status, uint32_t(MSS_ENROLL_STATUS_COMPLETE));
    const uint32_t size = tcsTemplateGetDataSize(templ);
    std::vector<uint8_t> before(size);
    ASSERT_EQ(tcsTemplateGetData(templ, before.data(), size), TCS_RESULT_OK);

    const TcsHandle gone = templ + 1000;
    for (const TcsHandle given : {templ, gone}) {
        TcsHandle current = given;
        for (TcsHandle image : images) {
            ASSERT_EQ(tcsMatcherAddImageToTemplate(matcher, image, &status, &current), TCS_RESULT_OK);
        }
        EXPECT_EQ(status, uint32_t(MSS_ENROLL_STATUS_COMPLETE));
        EXPECT_EQ(current, given);
    }
    std::vector<uint8_t> after(size);
    ASSERT_EQ(tcsTemplateGetData(templ, after.data(), size), TCS_RESULT_OK);
    EXPECT_EQ(after, before);
    for (TcsHandle h : images) tcsHandleDestroy(h);
    tcsHandleDestroy(templ);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

}  // namespace

namespace {

using namespace matchtest;

// Slots that take the given time on the stack's clock.
uint32_t gSlotMs = 0;
TcsResult slowExtract(MatcherRecord*, ImageRecord*, EnrollTemplate** out) {
    palTestAdvanceClock(gSlotMs);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    return _tcsTemplateCreate(out, bytes, sizeof bytes);
}
TcsResult slowMatch(MatcherRecord*, ImageRecord*, EnrollTemplate**, uint32_t, uint32_t, MatchResult* result) {
    palTestAdvanceClock(gSlotMs);
    result->status = 1;
    return TCS_RESULT_OK;
}

struct RealClockAfter {
    ~RealClockAfter() { palTestUseRealClock(); }
};

// Synchronous calls wait 10000 ms, an image match one 10000 ms slice per started group of 16
// templates. A call that runs out returns 34 at once; the item completes on a later pass and what its
// completion made for nobody is released (LeakSanitizer and AddressSanitizer check).
TEST_F(MatcherClientTest, WaitsGrowWithTheTemplateListAndLateCompletionsAreHarmless) {
    RealClockAfter restore;
    palTestSetClock(1700000000000ull);
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 1, &matcher), TCS_RESULT_OK);
    void* object = nullptr;
    ASSERT_EQ(tcsSafeMatcherHandleFetch(matcher, &object), TCS_RESULT_OK);
    auto* record = static_cast<MatcherRecord*>(object);
    record->Extract = slowExtract;
    record->MatchImageToTemplates = slowMatch;
    TcsHandle image = imageHandle(fvc("101_1.tif"));
    std::vector<TcsHandle> templates(17);
    const uint8_t bytes[4] = {9, 9, 9, 9};
    for (TcsHandle& t : templates) ASSERT_EQ(tcsTemplateCreate(&t, bytes, sizeof bytes), TCS_RESULT_OK);

    struct Case {
        uint32_t count;
        uint32_t slotMs;
        TcsResult result;
    };
    for (const Case& c : {Case{1, 9000, TCS_RESULT_OK}, Case{15, 10001, TCS_RESULT_TIMEOUT},
                          Case{16, 10001, TCS_RESULT_OK}, Case{16, 20001, TCS_RESULT_TIMEOUT},
                          Case{17, 20001, TCS_RESULT_TIMEOUT}}) {
        gSlotMs = c.slotMs;
        TcsHandle result = 0;
        EXPECT_EQ(tcsMatcherMatchImageToTemplates(matcher, image, templates.data(), c.count, 1, &result), c.result)
            << c.count << " " << c.slotMs;
        EXPECT_EQ(result != 0, c.result == TCS_RESULT_OK) << c.count;
        EXPECT_EQ(tcsMatchResultsGetStatus(result), c.result == TCS_RESULT_OK ? 1u : 0u);
        tcsMatchResultsDestroyHandle(result);
        for (int i = 0; i < 3; ++i) tcsService(stack_, 500, nullptr);  // the late completion
    }
    gSlotMs = 10001;
    TcsHandle extracted = 0;
    EXPECT_EQ(tcsMatcherExtractTemplate(matcher, image, &extracted), TCS_RESULT_TIMEOUT);
    EXPECT_EQ(extracted, 0u);
    for (int i = 0; i < 3; ++i) tcsService(stack_, 500, nullptr);
    gSlotMs = 0;
    EXPECT_EQ(tcsMatcherExtractTemplate(matcher, image, &extracted), TCS_RESULT_OK);
    EXPECT_EQ(tcsTemplateGetDataSize(extracted), 4u);

    for (TcsHandle t : templates) tcsHandleDestroy(t);
    tcsHandleDestroy(extracted);
    tcsHandleDestroy(image);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

}  // namespace

namespace {

using namespace matchtest;

// Matcher 4 makes its template at the first image, before it finds the image unusable. The rejected
// call leaves the caller's variable as it was, so that template must not stay behind as a handle
// nobody holds (LeakSanitizer checks).
TEST_F(MatcherClientTest, RejectedFirstImageLeavesNoTemplateBehind) {
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, 4, &matcher), TCS_RESULT_OK);
    std::vector<uint8_t> blank(300 * 300, 200);
    TcsHandle image = 0;
    ASSERT_EQ(tcsImageCreate(&image, blank.data(), uint32_t(blank.size()), 300, 300, 0), TCS_RESULT_OK);
    TcsHandle templ = 0;
    uint32_t status = 0;
    EXPECT_EQ(tcsMatcherAddImageToTemplate(matcher, image, &status, &templ), TCS_RESULT_MATCHER_ADD_IMAGE_FAILED);
    EXPECT_EQ(status, uint32_t(MSS_ENROLL_STATUS_MORE_IMAGES));
    EXPECT_EQ(templ, 0u);
    tcsHandleDestroy(image);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

}  // namespace

namespace {

using namespace matchtest;

// What each match-image call of matcher 1 or 4 was asked to do with its probe features.
std::vector<uint32_t> g_probeFlags;
TcsResult (*g_innerMatch)(MatcherRecord*, ImageRecord*, EnrollTemplate**, uint32_t, uint32_t, MatchResult*);
TcsResult spyMatch(MatcherRecord* m, ImageRecord* image, EnrollTemplate** templates, uint32_t count, uint32_t mode,
                   MatchResult* result) {
    g_probeFlags.push_back(m->controlFlags &
                           (MSS_FLAG_KEEP_PROBE | MSS_FLAG_PROBE_READY | MSS_FLAG_RELEASE_ONLY));
    return g_innerMatch(m, image, templates, count, mode, result);
}

struct Scored {
    uint32_t status, score, index, finger;
    bool operator==(const Scored&) const = default;
};
Scored scored(TcsHandle result) {
    const Scored s{tcsMatchResultsGetStatus(result), tcsMatchResultsGetScore(result), tcsMatchResultsGetIndex(result),
                   tcsMatchResultsGetFinger(result)};
    tcsMatchResultsDestroyHandle(result);
    return s;
}

// A search compares one image with template lists in several calls: the image's features are made at
// its first call and reused by the others, with every result the same as a call on its own. A call of
// another search in between, or one on another image, gets fresh features; the search's end releases
// them. Matchers 2 and the adaptive ones compare as before.
TEST_F(MatcherClientTest, ASearchExtractsItsImageOnceWithTheSameResults) {
    const char* names[] = {"102_1.tif", "101_1.tif", "104_1.tif", "103_2.tif"};
    for (uint32_t id : {1u, 4u}) {
        SCOPED_TRACE(id);
        TcsHandle matcher = 0;
        ASSERT_EQ(tcsMatcherOpen(client_, id, &matcher), TCS_RESULT_OK);
        std::vector<TcsHandle> templates, images;
        for (const char* name : names) {
            images.push_back(imageHandle(fvc(name)));
            TcsHandle t = 0;
            ASSERT_EQ(tcsMatcherExtractTemplate(matcher, images.back(), &t), TCS_RESULT_OK) << name;
            ASSERT_EQ(tcsTemplateSetFinger(t, uint32_t(templates.size() + 1)), TCS_RESULT_OK);
            templates.push_back(t);
        }
        const TcsHandle probe = imageHandle(fvc("101_4.tif"));
        const TcsHandle other = imageHandle(fvc("103_5.tif"));
        // Each template alone and the whole list, as the search asks; plain calls give the expected results.
        std::vector<std::pair<const TcsHandle*, uint32_t>> lists;
        for (const TcsHandle& t : templates) lists.push_back({&t, 1});
        lists.push_back({templates.data(), uint32_t(templates.size())});
        std::vector<Scored> expected;
        for (auto [list, count] : lists) {
            TcsHandle r = 0;
            ASSERT_EQ(tcsMatcherMatchImageToTemplates(matcher, probe, list, count, 1, &r), TCS_RESULT_OK);
            expected.push_back(scored(r));
        }
        EXPECT_EQ(expected[1].status, 1u) << "the same finger";
        EXPECT_EQ(expected[0].status, 0u);

        void* object = nullptr;
        ASSERT_EQ(tcsSafeMatcherHandleFetch(matcher, &object), TCS_RESULT_OK);
        auto* record = static_cast<MatcherRecord*>(object);
        g_innerMatch = record->MatchImageToTemplates;
        record->MatchImageToTemplates = spyMatch;
        g_probeFlags.clear();
        for (size_t i = 0; i < lists.size(); ++i) {
            TcsHandle r = 0;
            ASSERT_EQ(_tcsMatcherMatchImageInSearch(matcher, probe, lists[i].first, lists[i].second, 1,
                                                    i == 0 ? MSS_PROBE_KEEP : MSS_PROBE_REUSE, &r),
                      TCS_RESULT_OK);
            EXPECT_EQ(scored(r), expected[i]) << i;
        }
        const uint32_t keep = MSS_FLAG_KEEP_PROBE, ready = MSS_FLAG_KEEP_PROBE | MSS_FLAG_PROBE_READY;
        EXPECT_EQ(g_probeFlags, (std::vector<uint32_t>{keep, ready, ready, ready, ready}));
        EXPECT_NE(record->probeFeatures, nullptr);

        // Another image, then a plain call in between: the next reuse extracts again, and is right.
        TcsHandle r = 0;
        ASSERT_EQ(_tcsMatcherMatchImageInSearch(matcher, other, lists[3].first, 1, 1, MSS_PROBE_REUSE, &r),
                  TCS_RESULT_OK);
        EXPECT_EQ(tcsMatchResultsGetStatus(r), 1u) << "103_5 is the finger of 103_2";
        tcsMatchResultsDestroyHandle(r);
        ASSERT_EQ(_tcsMatcherMatchImageInSearch(matcher, probe, lists[1].first, 1, 1, MSS_PROBE_REUSE, &r),
                  TCS_RESULT_OK);
        EXPECT_EQ(scored(r), expected[1]);
        ASSERT_EQ(tcsMatcherMatchImageToTemplates(matcher, other, lists[0].first, 1, 1, &r), TCS_RESULT_OK);
        tcsMatchResultsDestroyHandle(r);
        ASSERT_EQ(_tcsMatcherMatchImageInSearch(matcher, probe, lists[4].first, lists[4].second, 1, MSS_PROBE_REUSE,
                                                &r),
                  TCS_RESULT_OK);
        EXPECT_EQ(scored(r), expected[4]);
        EXPECT_EQ(g_probeFlags.size(), 9u);
        EXPECT_EQ(std::vector<uint32_t>(g_probeFlags.begin() + 5, g_probeFlags.end()),
                  (std::vector<uint32_t>{keep, keep, 0, keep}));

        // The end of the search: nothing compared, the features released.
        ASSERT_EQ(_tcsMatcherMatchImageInSearch(matcher, probe, nullptr, 0, 1, MSS_PROBE_RELEASE, &r), TCS_RESULT_OK);
        EXPECT_EQ(tcsMatchResultsGetStatus(r), 0u);
        tcsMatchResultsDestroyHandle(r);
        EXPECT_EQ(g_probeFlags.back(), uint32_t(MSS_FLAG_RELEASE_ONLY));
        EXPECT_EQ(record->probeFeatures, nullptr);
        EXPECT_EQ(record->controlFlags, 0u) << "the flags hold for one call only";
        // Without templates only the release is accepted; an unknown use is refused.
        EXPECT_EQ(_tcsMatcherMatchImageInSearch(matcher, probe, nullptr, 0, 1, MSS_PROBE_REUSE, &r),
                  TCS_RESULT_BAD_PARAM);
        EXPECT_EQ(_tcsMatcherMatchImageInSearch(matcher, probe, templates.data(), 1, 1, 7, &r), TCS_RESULT_BAD_PARAM);

        record->MatchImageToTemplates = g_innerMatch;
        for (TcsHandle h : images) tcsHandleDestroy(h);
        for (TcsHandle h : templates) tcsHandleDestroy(h);
        for (TcsHandle h : {probe, other}) tcsHandleDestroy(h);
        EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
    }

    // The adaptive wrapper manages its inner matcher's probe itself: the search's uses do not reach it.
    TcsHandle matcher = 0;
    ASSERT_EQ(tcsMatcherOpen(client_, MSS_MATCHER_ADAPTIVE + 1, &matcher), TCS_RESULT_OK);
    const TcsHandle probe = imageHandle(fvc("101_4.tif"));
    TcsHandle r = 0;
    ASSERT_EQ(_tcsMatcherMatchImageInSearch(matcher, probe, nullptr, 0, 1, MSS_PROBE_RELEASE, &r), TCS_RESULT_OK);
    EXPECT_EQ(tcsMatchResultsGetStatus(r), 0u);
    tcsMatchResultsDestroyHandle(r);
    tcsHandleDestroy(probe);
    EXPECT_EQ(tcsMatcherClose(matcher), TCS_RESULT_OK);
}

}  // namespace
