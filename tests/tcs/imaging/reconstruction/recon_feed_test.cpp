// Record feeding: records found in a byte stream cut anywhere, shortened and long records, garbage,
// the end of the swipe, and prepended data.
#include "recon_harness.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using recon_test::Recon;
using swipe_model::SwipeConfig;
using swipe_model::SwipeModel;

struct Counter {
    std::vector<uint32_t> ids;
    uint32_t lines = 0;
    uint32_t prependedBytes = 0;
};

void countEvents(IrDliUserEvent* event, uint32_t* status) {
    Counter& c = *static_cast<Counter*>(event->context);
    c.ids.push_back(event->id);
    if (event->id == kUserEventLine) ++c.lines;
    if (event->id == kUserEventPrependedLines) c.prependedBytes = static_cast<IrDliEventData*>(event->data)->size;
    *status = 0;
}

struct Fed {
    Recon recon;
    Counter counter;
    explicit Fed(const SwipeModel& model, uint32_t cfg = recon_test::kRealTimeCfg) : recon(cfg) {
        recon.init();
        recon_test::attachModel(recon, model);
        recon.instance.callback = countEvents;
        recon.instance.callbackContext = &counter;
    }
    TcsResult feed(const std::vector<uint8_t>& bytes) {
        return irDliRTHarlokData(&recon.instance, bytes.data(), uint32_t(bytes.size()), &recon.done, nullptr);
    }
};

SwipeModel model(SwipeConfig config = SwipeConfig()) {
    config.noiseSigma = 2;
    return SwipeModel(recon_test::fingerImage(), config);
}

TEST(RecordFeeding, EveryRecordFoundWhereverTheStreamIsCut) {
    const SwipeModel m = model();
    const std::vector<uint8_t> stream = m.stream(0, 60);
    struct Cut {
        const char* name;
        uint32_t minBytes, maxBytes;
    };
    for (const Cut& cut : std::initializer_list<Cut>{
             {"whole", uint32_t(stream.size()), uint32_t(stream.size())},
             {"bytes", 1, 1},
             {"short", 1, 40},
             {"around a record", 200, 400},
         }) {
        Fed f(m);
        for (const auto& b : SwipeModel::cutIntoBuffers(stream, 3, cut.minBytes, cut.maxBytes)) {
            ASSERT_EQ(f.feed(b), TCS_RESULT_OK) << cut.name;
        }
        // The last record completes only when more data follows it.
        EXPECT_GE(f.counter.lines, 59u) << cut.name;
        EXPECT_LE(f.counter.lines, 60u) << cut.name;
    }
}

TEST(RecordFeeding, GarbageAndFalseMarkersAreSkipped) {
    const SwipeModel m = model();
    std::vector<uint8_t> stream = {0x01, 0x05, 0x33, 0x00, 0x01};
    const std::vector<uint8_t> records = m.stream(0, 20);
    stream.insert(stream.end(), records.begin(), records.end());
    stream.push_back(1);
    Fed f(m);
    for (const auto& b : SwipeModel::cutIntoBuffers(stream, 9, 1, 300)) ASSERT_EQ(f.feed(b), TCS_RESULT_OK);
    EXPECT_EQ(f.counter.lines, 20u);
}

TEST(RecordFeeding, ShortenedRecordsByTheHeaderWidth) {
    // Nibble 2 with 8-bit slots: ((272 - 8) / 4 + 23) rounded down to 16 = 80 bytes.
    SwipeConfig config;
    config.headerWidth = 2;
    const SwipeModel shortLines = model(config);
    EXPECT_EQ(shortLines.recordBytes(), 80u);
    Fed f(model());  // the print command's record size stays that of full lines
    EXPECT_EQ(f.recon.instance.recordBytes, 272u);
    const std::vector<uint8_t> stream = shortLines.stream(0, 40);
    for (const auto& b : SwipeModel::cutIntoBuffers(stream, 4, 50, 700)) ASSERT_EQ(f.feed(b), TCS_RESULT_OK);
    EXPECT_GE(f.counter.lines, 37u);
}

TEST(RecordFeeding, ShortenedLengthNeverExceedsTheRecordSize) {
    // Width 7 of 8-bit slots: ((100 - 8) / 1 + 23) rounded down to 16 is 112, beyond the 100 bytes.
    const SwipeModel m = model();
    std::vector<uint8_t> stream;
    for (uint32_t line = 0; line < 30; ++line) {
        std::vector<uint8_t> r = m.record(line);
        r.resize(100);
        r[6] = 7;
        stream.insert(stream.end(), r.begin(), r.end());
    }
    Fed f(m);
    f.recon.instance.recordBytes = 100;
    ASSERT_EQ(f.feed(stream), TCS_RESULT_OK);
    EXPECT_EQ(f.counter.lines, 30u);
}

TEST(RecordFeeding, RecordsLongerThanTheOldCarry) {
    // Records of 900 bytes: the carry holds any record the size check accepts, and bytes carried
    // from one short buffer stay in front of the next.
    const SwipeModel m = model();
    std::vector<uint8_t> stream;
    for (uint32_t line = 0; line < 12; ++line) {
        std::vector<uint8_t> r = m.record(line);
        r.resize(900, 0);
        stream.insert(stream.end(), r.begin(), r.end());
    }
    Fed f(m);
    f.recon.instance.recordBytes = 900;
    for (const auto& b : SwipeModel::cutIntoBuffers(stream, 5, 1, 500)) ASSERT_EQ(f.feed(b), TCS_RESULT_OK);
    EXPECT_GE(f.counter.lines, 11u);
}

TEST(RecordFeeding, ArgumentChecks) {
    const SwipeModel m = model();
    Fed f(m);
    const std::vector<uint8_t> bytes = m.stream(0, 1);
    uint32_t done = 0;
    EXPECT_EQ(irDliRTHarlokData(nullptr, bytes.data(), 10, &done, nullptr), TCS_RESULT_NULL_POINTER);
    EXPECT_EQ(irDliRTHarlokData(&f.recon.instance, bytes.data(), 0, &done, nullptr), TCS_RESULT_BAD_PARAM);
    for (uint32_t size : {0u, 1001u}) {
        f.recon.instance.recordBytes = size;
        EXPECT_EQ(f.feed(bytes), TCS_RESULT_BAD_PARAM) << size;
    }
    f.recon.instance.recordBytes = 272;
    f.recon.instance.unpackedLine = nullptr;
    EXPECT_EQ(f.feed(bytes), TCS_RESULT_OUT_OF_MEMORY);
}

TEST(RecordFeeding, SwipeEndsAfterQuietCulledLines) {
    // 100 lines of finger, then the finger is gone: white, flat lines that culling drops.
    SwipeConfig config;
    config.startRow = 100;
    const SwipeModel m = model(config);
    swipe_model::GreyImage blank;
    blank.width = 300;
    blank.height = 1;
    blank.pixels.assign(300, 255);
    SwipeConfig flat;
    flat.noiseSigma = 2;
    flat.startTime = 1000;
    const SwipeModel gone(blank, flat);
    Fed f(m);
    ASSERT_EQ(f.feed(m.stream(0, 100)), TCS_RESULT_OK);
    EXPECT_EQ(f.recon.done, 0u);
    ASSERT_EQ(f.feed(gone.stream(0, 1300)), TCS_RESULT_OK);
    EXPECT_EQ(f.recon.done, 0u);
    ASSERT_EQ(f.feed(gone.stream(1300, 200)), TCS_RESULT_OK);
    EXPECT_EQ(f.recon.done, 1u);
    EXPECT_EQ(f.recon.instance.stateWord, 1u);
    EXPECT_EQ(f.recon.state()->stopFlag, 1);
    ASSERT_GE(f.counter.ids.size(), 2u);
    EXPECT_EQ(f.counter.ids[f.counter.ids.size() - 2], kUserEventSwipeEnded);
    EXPECT_EQ(f.counter.ids.back(), kUserEventFingerGone);
    // Data after the end is not searched.
    const uint32_t lines = f.counter.lines;
    f.recon.done = 0;
    ASSERT_EQ(f.feed(m.stream(0, 10)), TCS_RESULT_OK);
    EXPECT_EQ(f.counter.lines, lines);
    EXPECT_EQ(f.recon.done, 1u);
}

TEST(RecordFeeding, TexturedCulledLinesDoNotEndTheSwipe) {
    // A finger that rests on the sensor: lines repeat (culled) but still show ridges.
    SwipeConfig config;
    config.startRow = 120;
    config.rowsPerLine = 0;
    const SwipeModel resting = model(config);
    Fed f(resting);
    ASSERT_EQ(f.feed(resting.stream(0, 1500)), TCS_RESULT_OK);
    EXPECT_EQ(f.recon.done, 0u);
    EXPECT_GT(f.recon.state()->cull.linesSeen, f.recon.state()->cull.linesKept + 1000);
}

TEST(RecordFeeding, PrependedDataFromTheLastMarkerBackwards) {
    const SwipeModel m = model();
    Fed f(m);
    std::vector<uint8_t> data(4 * 144, 0x40);
    for (uint32_t k = 0; k < 4; ++k) {
        data[k * 144] = 1;
        data[k * 144 + 1] = 7;
    }
    uint32_t done = 0;
    // No 1, 254 pair anywhere: nothing is fed.
    EXPECT_EQ(irDliRTHarlokPrependedData(&f.recon.instance, data.data(), uint32_t(data.size()), &done, nullptr),
              TCS_RESULT_OK);
    EXPECT_EQ(f.recon.state()->doIrCalls, 0u);
    data[3 * 144 + 1] = 254;
    done = 1;
    EXPECT_EQ(irDliRTHarlokPrependedData(&f.recon.instance, data.data(), uint32_t(data.size()), &done, nullptr),
              TCS_RESULT_OK);
    EXPECT_EQ(f.recon.state()->doIrCalls, 3u);
    EXPECT_NE(f.recon.state()->cfgInfo & kCfgPrepended, 0u);
    EXPECT_EQ(f.recon.instance.stateWord, 1u);
    EXPECT_EQ(f.counter.ids, (std::vector<uint32_t>{kUserEventPrependedRaw, kUserEventPrependedLines}));
    EXPECT_EQ(f.counter.prependedBytes, 3 * f.recon.instance.unpackedLineBytes);
    EXPECT_EQ(irDliRTHarlokPrependedData(nullptr, data.data(), 10, &done, nullptr), TCS_RESULT_NULL_POINTER);
}

}  // namespace
