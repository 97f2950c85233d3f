// Tag-value containers: the documented 13-byte example, parsing limits, lookups and their results.
#include "platform/tag_value.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <vector>

namespace {

struct ContainerDeleter {
    void operator()(TagValueContainer* c) const { palTagValContainerUnInit(c); }
};
using Container = std::unique_ptr<TagValueContainer, ContainerDeleter>;

Container makeContainer() {
    TagValueContainer* c = nullptr;
    EXPECT_EQ(palTagValContainerInit(&c), TCS_RESULT_OK);
    return Container(c);
}

std::vector<uint8_t> serialise(TagValueContainer* c, TcsResult expected = TCS_RESULT_OK) {
    uint32_t size = 0;
    EXPECT_EQ(palTagValGetContainerDataAsBlob(c, &size, nullptr), TCS_RESULT_OK);
    std::vector<uint8_t> blob(size);
    EXPECT_EQ(palTagValGetContainerDataAsBlob(c, &size, blob.data()), expected);
    return blob;
}

size_t propertyCount(TagValueContainer* c) {
    size_t n = 0;
    for (PalListEntry* e = c->properties.next; e != &c->properties; e = e->next) ++n;
    return n;
}

const std::vector<uint8_t> kExample = {0x01, 0x00, 0x01, 0x00, 0x05, 0x02, 0x00, 0x04, 0x00, 0x02, 0x01, 0x00, 0x00};

TEST(TagValue, ByteAndDwordSerialiseToTheDocumentedThirteenBytes) {
    Container c = makeContainer();
    ASSERT_EQ(palTagValSetByteProperty(c.get(), 1, 5), TCS_RESULT_OK);
    ASSERT_EQ(palTagValSetDwordProperty(c.get(), 2, 258), TCS_RESULT_OK);

    uint32_t size = 0;
    EXPECT_EQ(palTagValGetContainerDataAsBlob(c.get(), &size, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(size, 13u);
    EXPECT_EQ(serialise(c.get()), kExample);

    std::vector<uint8_t> small(12);
    size = 12;
    EXPECT_EQ(palTagValGetContainerDataAsBlob(c.get(), &size, small.data()), TCS_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(palTagValGetContainerDataAsBlob(c.get(), &size, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValGetContainerDataAsBlob(c.get(), nullptr, small.data()), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValGetContainerDataAsBlob(nullptr, &size, small.data()), TCS_RESULT_BAD_PARAM);
}

TEST(TagValue, ParsingTheExampleInBothFormsAndCutShort) {
    for (bool byRef : {false, true}) {
        SCOPED_TRACE(byRef ? "by reference" : "copy");
        auto parse = byRef ? palTagValSetBlobAsContainerDataByRef : palTagValSetBlobAsContainerData;
        Container whole = makeContainer();
        ASSERT_EQ(parse(whole.get(), 13, kExample.data()), TCS_RESULT_OK);
        EXPECT_EQ(propertyCount(whole.get()), 2u);
        EXPECT_EQ(whole->totalSize, 13u);
        uint8_t b = 0;
        uint32_t d = 0;
        EXPECT_EQ(palTagValGetByteProperty(whole.get(), 1, &b), TCS_RESULT_OK);
        EXPECT_EQ(b, 5);
        EXPECT_EQ(palTagValGetDwordProperty(whole.get(), 2, &d), TCS_RESULT_OK);
        EXPECT_EQ(d, 258u);
        uint16_t length = 0;
        void* data = nullptr;
        ASSERT_EQ(palTagValGetByteDataPropertyByRef(whole.get(), 2, &length, &data), TCS_RESULT_OK);
        EXPECT_EQ(length, 4);
        EXPECT_EQ(data == kExample.data() + 9, byRef);
        EXPECT_EQ(serialise(whole.get()), kExample);

        Container cut = makeContainer();
        EXPECT_EQ(parse(cut.get(), 12, kExample.data()), TCS_RESULT_BAD_PARAM);
        EXPECT_EQ(propertyCount(cut.get()), 1u);
        EXPECT_EQ(cut->totalSize, 5u);
    }
}

TEST(TagValue, MalformedBlobsAreRefused) {
    struct Case { const char* what; std::vector<uint8_t> blob; TcsResult expected; size_t kept; };
    for (const auto& [what, blob, expected, kept] : std::initializer_list<Case>{
             {"reserved tag", {0xF0, 0xFF, 0x00, 0x00}, TCS_RESULT_BAD_PARAM, 0},
             {"reserved tag after a good one", {0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}, TCS_RESULT_BAD_PARAM, 1},
             {"remainder shorter than a header", {0x01, 0x00, 0x00, 0x00, 0x02, 0x00}, TCS_RESULT_BAD_PARAM, 1},
             {"length past the end", {0x01, 0x00, 0xFF, 0xFF, 0x00}, TCS_RESULT_BAD_PARAM, 0},
             {"empty value", {0x07, 0x00, 0x00, 0x00}, TCS_RESULT_OK, 1},
         }) {
        SCOPED_TRACE(what);
        Container c = makeContainer();
        EXPECT_EQ(palTagValSetBlobAsContainerData(c.get(), uint32_t(blob.size()), blob.data()), expected);
        EXPECT_EQ(propertyCount(c.get()), kept);
    }
    Container c = makeContainer();
    EXPECT_EQ(palTagValSetBlobAsContainerData(c.get(), 0, kExample.data()), TCS_RESULT_INVALID);
    EXPECT_EQ(palTagValSetBlobAsContainerData(c.get(), 13, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValSetBlobAsContainerDataByRef(nullptr, 13, kExample.data()), TCS_RESULT_BAD_PARAM);
}

TEST(TagValue, SettersAppendAndRefuseReservedTags) {
    Container c = makeContainer();
    EXPECT_EQ(palTagValSetByteProperty(c.get(), 0xFFF0, 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValSetWordProperty(c.get(), 0xFFFF, 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValSetByteProperty(nullptr, 1, 1), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValSetBlobDataProperty(c.get(), 3, 1, 4, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(c->totalSize, 0u);

    ASSERT_EQ(palTagValSetWordProperty(c.get(), 9, 0x1111), TCS_RESULT_OK);
    ASSERT_EQ(palTagValSetWordProperty(c.get(), 9, 0x2222), TCS_RESULT_OK);
    ASSERT_EQ(palTagValSetBlobDataProperty(c.get(), 4, 1, 0, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(c->totalSize, 6u + 6u + 4u);
    uint16_t w = 0;
    EXPECT_EQ(palTagValGetWordProperty(c.get(), 9, &w), TCS_RESULT_OK);
    EXPECT_EQ(w, 0x1111);  // the first of the duplicates

    // Deleting removes the first; deleting an absent tag changes nothing.
    EXPECT_EQ(palTagValDeleteProperty(c.get(), 9), TCS_RESULT_OK);
    EXPECT_EQ(palTagValGetWordProperty(c.get(), 9, &w), TCS_RESULT_OK);
    EXPECT_EQ(w, 0x2222);
    EXPECT_EQ(palTagValDeleteProperty(c.get(), 77), TCS_RESULT_OK);
    EXPECT_EQ(c->totalSize, 10u);
    EXPECT_EQ(palTagValDeleteProperty(nullptr, 9), TCS_RESULT_BAD_PARAM);
}

TEST(TagValue, ScalarGettersByWidth) {
    Container c = makeContainer();
    ASSERT_EQ(palTagValSetByteProperty(c.get(), 1, 0xAB), TCS_RESULT_OK);
    ASSERT_EQ(palTagValSetWordProperty(c.get(), 2, 0x1234), TCS_RESULT_OK);
    const uint8_t three[] = {1, 2, 3};
    ASSERT_EQ(palTagValSetBlobDataProperty(c.get(), 3, 1, 3, three), TCS_RESULT_OK);
    ASSERT_EQ(palTagValSetBlobDataProperty(c.get(), 4, 1, 0, nullptr), TCS_RESULT_OK);

    uint8_t b = 0x55;
    uint16_t w = 0x5555;
    uint32_t d = 0x55555555;
    EXPECT_EQ(palTagValGetWordProperty(c.get(), 1, &w), TCS_RESULT_OK);
    EXPECT_EQ(w, 0x00AB);  // a 1-byte property is the word's low byte
    EXPECT_EQ(palTagValGetDwordProperty(c.get(), 3, &d), TCS_RESULT_OK);
    EXPECT_EQ(d, 0x030201u);
    EXPECT_EQ(palTagValGetByteProperty(c.get(), 4, &b), TCS_RESULT_OK);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(palTagValGetByteProperty(c.get(), 2, &b), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValGetWordProperty(c.get(), 3, &w), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValGetByteProperty(c.get(), 99, &b), TCS_RESULT_DATA_ID_DOESNT_EXIST);
    EXPECT_EQ(palTagValGetDwordProperty(c.get(), 99, &d), TCS_RESULT_DATA_ID_DOESNT_EXIST);
    EXPECT_EQ(palTagValGetByteProperty(c.get(), 1, nullptr), TCS_RESULT_BAD_PARAM);
    EXPECT_EQ(palTagValGetWordProperty(nullptr, 1, &w), TCS_RESULT_BAD_PARAM);
}

TEST(TagValue, BlobGetterReportsLengthAndWantsItExactly) {
    Container c = makeContainer();
    const uint8_t data[] = {9, 8, 7, 6, 5};
    ASSERT_EQ(palTagValSetBlobDataProperty(c.get(), 5, 1, 5, data), TCS_RESULT_OK);
    uint16_t length = 0;
    uint8_t out[8] = {};
    EXPECT_EQ(palTagValGetBlobDataProperty(c.get(), 5, 1, &length, out), TCS_RESULT_OK);
    EXPECT_EQ(length, 5);
    length = 4;
    EXPECT_EQ(palTagValGetBlobDataProperty(c.get(), 5, 1, &length, out), TCS_RESULT_BAD_PARAM);
    length = 5;
    EXPECT_EQ(palTagValGetBlobDataProperty(c.get(), 5, 1, &length, out), TCS_RESULT_OK);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 5), std::vector<uint8_t>(data, data + 5));
    EXPECT_EQ(palTagValGetBlobDataProperty(c.get(), 6, 1, &length, out), TCS_RESULT_DATA_ID_DOESNT_EXIST);
    EXPECT_EQ(palTagValGetBlobDataProperty(c.get(), 5, 1, nullptr, out), TCS_RESULT_BAD_PARAM);

    // With the byte-order flag on, parsed data is converted per element, which must fit whole.
    Container parsed = makeContainer();
    ASSERT_EQ(palTagValSetBlobAsContainerData(parsed.get(), 13, kExample.data()), TCS_RESULT_OK);
    parsed->byteOrderFlag = 1;
    uint16_t four = 4;
    uint8_t words[4] = {};
    EXPECT_EQ(palTagValGetBlobDataProperty(parsed.get(), 2, 2, &four, words), TCS_RESULT_OK);
    uint16_t one = 1;
    EXPECT_EQ(palTagValGetBlobDataProperty(parsed.get(), 1, 2, &one, words), TCS_RESULT_BAD_PARAM);
    uint32_t d = 0;
    EXPECT_EQ(palTagValGetDwordProperty(parsed.get(), 2, &d), TCS_RESULT_OK);
    EXPECT_EQ(d, 258u);
}

TEST(TagValue, SerialisingReportsAnElementMisfitOnlyInTheLastProperty) {
    const uint8_t odd[] = {1, 2, 3};
    Container lastMisfits = makeContainer();
    ASSERT_EQ(palTagValSetByteProperty(lastMisfits.get(), 1, 5), TCS_RESULT_OK);
    ASSERT_EQ(palTagValSetBlobDataProperty(lastMisfits.get(), 2, 2, 3, odd), TCS_RESULT_OK);
    EXPECT_EQ(serialise(lastMisfits.get(), TCS_RESULT_BAD_PARAM),
              (std::vector<uint8_t>{1, 0, 1, 0, 5, 2, 0, 3, 0, 1, 2, 3}));

    Container firstMisfits = makeContainer();
    ASSERT_EQ(palTagValSetBlobDataProperty(firstMisfits.get(), 2, 4, 3, odd), TCS_RESULT_OK);
    ASSERT_EQ(palTagValSetByteProperty(firstMisfits.get(), 1, 5), TCS_RESULT_OK);
    serialise(firstMisfits.get(), TCS_RESULT_OK);

    Container empty = makeContainer();
    uint32_t size = 0;
    EXPECT_EQ(palTagValGetContainerDataAsBlob(empty.get(), &size, nullptr), TCS_RESULT_OK);
    EXPECT_EQ(size, 0u);
}

TEST(TagValue, ByReferencePropertyFollowsTheCallersData) {
    Container c = makeContainer();
    uint8_t data[] = {1, 2};
    ASSERT_EQ(palTagValSetByteDataPropertyByRef(c.get(), 8, 2, data), TCS_RESULT_OK);
    data[1] = 0x22;
    EXPECT_EQ(serialise(c.get()), (std::vector<uint8_t>{8, 0, 2, 0, 1, 0x22}));
    EXPECT_EQ(palTagValContainerUnInit(nullptr), TCS_RESULT_OK);
}

}  // namespace
