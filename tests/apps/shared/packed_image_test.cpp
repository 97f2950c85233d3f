// Packed images as events carry them from the service: the record, then its IR metrics block and
// its liveness metrics section when the record says it has them. Every length is the sender's word.

#include "apps/shared/detail/client_nodes.h"
#include "tcs/core.h"
#include "tcs/handle_map.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void append32(Bytes& out, uint32_t value) {
    const size_t at = out.size();
    out.resize(at + 4);
    std::memcpy(out.data() + at, &value, 4);
}

// A 2 x 3 image record, then (when asked) the 224-byte IR block and a liveness section whose length
// word says livenessLength while livenessPresent bytes follow it.
Bytes packed(bool metrics, uint32_t livenessLength = 0, uint32_t livenessPresent = 0) {
    Bytes record(TCS_IMAGE_OVERHEAD + 6, 0);
    std::memcpy(record.data(), "TIMG", 4);
    const uint32_t fields[4] = {2, 3, 6, 6};  // rows, columns, data size, allocated size
    std::memcpy(record.data() + offsetof(ImageRecord, rows), fields, sizeof fields);
    for (int i = 0; i < 6; ++i) record[TCS_IMAGE_HEADER_SIZE + size_t(i)] = uint8_t(0x10 + i);
    if (metrics) {
        const uint64_t present = 1;  // the sender's pointers: only whether they are set counts
        std::memcpy(record.data() + offsetof(ImageRecord, irMetrics), &present, 8);
        std::memcpy(record.data() + offsetof(ImageRecord, aspMetrics), &present, 8);
    }
    Bytes out;
    append32(out, uint32_t(record.size()));
    out.insert(out.end(), record.begin(), record.end());
    if (metrics) {
        append32(out, TCS_IR_METRICS_SIZE);
        for (uint32_t i = 0; i < TCS_IR_METRICS_SIZE; ++i) out.push_back(uint8_t(i));
        append32(out, livenessLength);
        out.resize(out.size() + livenessPresent, 0x4C);
    }
    return out;
}

// The listener hands an image on only when every section lies within the bytes it read; then the
// unpacked image carries both blocks.
TEST(PackedImages, MetricSectionsMustLieWithinThePayload) {
    using tov::client::detail::packedImageFits;
    const Bytes whole = packed(true, TCS_ASP_METRICS_SIZE, TCS_ASP_METRICS_SIZE);
    const size_t irEnd = 4 + TCS_IMAGE_OVERHEAD + 6 + 4 + TCS_IR_METRICS_SIZE;
    struct Case {
        const char* what;
        Bytes bytes;
        size_t length;
        bool fits;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"no sections", packed(false), packed(false).size(), true},
             {"both sections whole", whole, whole.size(), true},
             {"an empty liveness section", packed(true, 0, 0), packed(true, 0, 0).size(), true},
             {"IR block one byte short", whole, irEnd - 1, false},
             {"liveness length word cut short", whole, irEnd + 3, false},
             {"liveness length one past the payload", whole, whole.size() - 1, false},
             {"liveness length far past the payload", packed(true, 0xFFFFFFF0u, 8), packed(true, 0, 8).size(), false},
         }) {
        EXPECT_EQ(packedImageFits(c.bytes.data(), uint32_t(c.length)), c.fits) << c.what;
    }

    ASSERT_EQ(tcsSafeHandlesInitialize(), TCS_RESULT_OK);
    TcsHandle image = 0;
    ASSERT_EQ(tcsImageUnPack(whole.data(), &image), TCS_RESULT_OK);
    ASSERT_NE(tcsImageGetIRMetrics(image), nullptr);
    EXPECT_EQ(static_cast<const uint8_t*>(tcsImageGetIRMetrics(image))[223], 223);
    ASSERT_NE(tcsImageGetASPMetrics(image), nullptr);
    EXPECT_EQ(static_cast<const uint8_t*>(tcsImageGetASPMetrics(image))[71], 0x4C);
    tcsHandleDestroy(image);
    tcsSafeHandlesUnInitialize();
}

}  // namespace
