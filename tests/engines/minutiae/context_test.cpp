// Engine interface: counted start-up, contexts, parameter ids, presets and score scaling.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "engines/minutiae/context.h"
#include "engines/minutiae/mnt_engine.h"

namespace {

void* IdSlot(uintptr_t id) { return reinterpret_cast<void*>(id); }

int32_t Get(uint32_t id, MntContext* context = nullptr) {
    int32_t value = 0x5A5A5A5A;
    EXPECT_EQ(MntGetParameter(id, &value, context), 0) << id;
    return value;
}

struct ContextOwner {
    MntContext* context = MntCreateContext();
    ~ContextOwner() { MntFreeContext(context); }
};

TEST(MntInitialize, CountsCallsAndFreesOnLast) {
    EXPECT_EQ(MntSetParameter(200, 1, nullptr), MNT_NO_CONTEXT);
    EXPECT_EQ(MntGetParameter(200, IdSlot(1), nullptr), MNT_NO_CONTEXT);
    EXPECT_EQ(MntInitialize(), 0);
    EXPECT_NE(mnt::ResolveContext(nullptr), nullptr);
    EXPECT_NE(mnt::OldInterfaceContext(), nullptr);
    EXPECT_EQ(MntInitialize(), 1);
    EXPECT_EQ(MntFinalize(), 1);
    EXPECT_NE(mnt::ResolveContext(nullptr), nullptr);
    EXPECT_EQ(MntFinalize(), 0);
    EXPECT_EQ(mnt::ResolveContext(nullptr), nullptr);
    EXPECT_EQ(mnt::OldInterfaceContext(), nullptr);
    EXPECT_EQ(MntFinalize(), MNT_NO_CONTEXT);
    EXPECT_EQ(MntFreeContext(nullptr), MNT_NULL_POINTER);
}

TEST(MntCreateContext, StartsWithModeZeroSpeedZeroAndKindsZero) {
    ContextOwner owner;
    MntContext* c = owner.context;
    ASSERT_NE(c, nullptr);
    struct Case { uint32_t id; int32_t value; };
    for (auto [id, value] : std::initializer_list<Case>{
             {110, 0},     {200, 47},    {201, 120},   {210, 0},     {220, 0},     {300, 63},    {1000, 0},
             {10000, 120}, {10001, 1},   {10002, 3},   {10003, 3},   {10004, 5},   {10005, 7},   {10006, 130},
             {10007, 115}, {10008, 19},  {10009, 17},  {10010, 196}, {10011, 207}, {10012, 2},   {10013, 30},
             {10014, 20},  {10015, 0},   {10016, 4},   {10017, 12},  {10018, 1},   {10019, 1},   {10020, 1024},
             {10021, 1},   {10022, 1},   {10023, 64},  {10024, 0},   {10025, 1},   {10026, 4},   {10027, 128},
             {10028, 16},  {10029, 16},  {10030, 12},  {10031, 12},  {10032, 12},  {10033, 12},  {10034, 0},
             {10035, 0},   {10036, 0},   {10037, 0},   {10038, 16},  {11000, 0},   {20000, 13},  {20001, 9},
             {20003, 700}, {20004, 1400}, {20005, 50}, {20006, 150}, {20007, 30},  {20008, 900}, {20009, 40},
             {20010, 30},  {20011, 900}, {20012, 100}, {20013, 200}, {20014, 20},  {20015, 500}, {20016, 1},
             {20017, 1},   {20018, 1},   {20019, 0},   {20020, 1},   {20021, 929}, {20022, 2898}}) {
        EXPECT_EQ(Get(id, c), value) << id;
    }
    EXPECT_EQ(c->busy, 0u);
    EXPECT_EQ(c->matchData, nullptr);
}

TEST(MntSetParameter, ClampsAndRefusals) {
    ContextOwner owner;
    MntContext* c = owner.context;
    struct Case { uint32_t id; int32_t value; int32_t result; int32_t stored; };
    for (auto t : std::initializer_list<Case>{
             {11, 5, MNT_READ_ONLY_PARAMETER, 0}, {0, 5, MNT_READ_ONLY_PARAMETER, 0},
             {10, 5, MNT_READ_ONLY_PARAMETER, 0}, {13, 5, MNT_READ_ONLY_PARAMETER, 0},
             {14, 5, MNT_UNKNOWN_PARAMETER, 0},   {20002, 5, MNT_UNKNOWN_PARAMETER, 0},
             {10039, 5, MNT_UNKNOWN_PARAMETER, 0}, {11001, 5, MNT_UNKNOWN_PARAMETER, 0},
             {20023, 5, MNT_UNKNOWN_PARAMETER, 0}, {201, 500, 0, 120}, {201, -3, 0, 0},
             {200, -9, 0, 0},                     {200, 60, 0, 60},   {300, -1, 0, 0},
             {10014, 300, 0, 255},                {10014, -4, 0, 0},  {10002, 9, 0, 3},
             {10002, -9, 0, 0},                   {10022, -7, 0, -7}, {10020, -5, 0, 0},
             {20021, -77, 0, -77},                {20005, -1, 0, 0},  {11000, 1, 0, 1},
             {110, 3, MNT_BAD_VALUE, 0},          {210, -1, MNT_BAD_VALUE, 0},
             {220, 100, MNT_BAD_VALUE, 0},        {1000, 250, MNT_BAD_VALUE, 0}}) {
        EXPECT_EQ(MntSetParameter(t.id, t.value, c), t.result) << t.id << " " << t.value;
        if (t.result == 0) {
            EXPECT_EQ(Get(t.id, c), t.stored) << t.id << " " << t.value;
        }
    }
    EXPECT_EQ(Get(110, c), 0);
    EXPECT_EQ(Get(220, c), 0);
    EXPECT_EQ(Get(1000, c), 0);
}

TEST(MntGetParameter, TextsNumbersAndTypeQuery) {
    ContextOwner owner;
    MntContext* c = owner.context;
    EXPECT_EQ(MntGetParameter(10, nullptr, c), 14);
    EXPECT_EQ(MntGetParameter(13, nullptr, c), 44);
    char text[64];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(MntGetParameter(10, text, c), 0);
    EXPECT_STREQ(text, "MinuEngine 4.1");
    EXPECT_EQ(MntGetParameter(13, text, c), 0);
    EXPECT_EQ(std::strlen(text), 44u);

    uint64_t number = 0;
    EXPECT_EQ(MntGetParameter(11, &number, c), 0);
    EXPECT_EQ(number, 0x40001u);
    EXPECT_EQ(MntGetParameter(12, &number, c), 0);
    EXPECT_EQ(number, 11u);

    EXPECT_EQ(MntGetParameter(200, nullptr, c), MNT_NULL_POINTER);
    EXPECT_EQ(MntGetParameter(10004, nullptr, c), MNT_NULL_POINTER);
    EXPECT_EQ(MntGetParameter(20002, &number, c), MNT_UNKNOWN_PARAMETER);
    EXPECT_EQ(MntGetParameter(14, &number, c), MNT_UNKNOWN_PARAMETER);

    struct Case { uintptr_t id; int32_t type; };
    for (auto [id, type] : std::initializer_list<Case>{
             {110, 6}, {200, 6}, {201, 6}, {210, 6}, {220, 6}, {300, 6}, {1000, 6}, {11, 5}, {12, 5},
             {10, 100}, {13, 100}, {10004, 6}, {10019, 10}, {10000, 6}, {11000, 10}, {20020, 10},
             {20022, 6}, {20002, -5}, {10039, -5}, {14, -5}, {1, -5}}) {
        EXPECT_EQ(MntGetParameter(0, IdSlot(id), c), type) << id;
    }
    EXPECT_EQ(MntGetParameter(0, nullptr, c), MNT_NULL_POINTER);
}

TEST(MntSetParameter, BusyContextRefusesSetButNotGet) {
    ContextOwner owner;
    owner.context->busy = 1;
    EXPECT_EQ(MntSetParameter(200, 10, owner.context), MNT_BUSY);
    EXPECT_EQ(MntSetParameter(99999, 10, owner.context), MNT_BUSY);
    EXPECT_EQ(Get(200, owner.context), 47);
    owner.context->busy = 0;
}

TEST(SetMode, PresetsTouchOnlyTheirFields) {
    ContextOwner owner;
    MntContext* c = owner.context;
    // Values a preset must never touch.
    ASSERT_EQ(MntSetParameter(110, 1, c), 0);
    ASSERT_EQ(MntSetParameter(200, 33, c), 0);
    ASSERT_EQ(MntSetParameter(201, 17, c), 0);
    ASSERT_EQ(MntSetParameter(300, 44, c), 0);
    ASSERT_EQ(MntSetParameter(11000, 1, c), 0);
    ASSERT_EQ(MntSetParameter(20014, 7, c), 0);

    ASSERT_EQ(MntSetParameter(1000, 200, c), 0);
    EXPECT_EQ(Get(1000, c), 200);
    struct Case { uint32_t id; int32_t value; };
    for (auto [id, value] : std::initializer_list<Case>{{10006, 145}, {10010, 185}, {10026, 6}, {10030, 24},
                                                         {10033, 20}, {10034, 1}, {10035, 1}, {20000, 12},
                                                         {20005, 20}, {10007, 115}, {20006, 150}}) {
        EXPECT_EQ(Get(id, c), value) << id;
    }
    EXPECT_EQ(Get(110, c), 1);
    EXPECT_EQ(Get(10021, c), 1);
    EXPECT_EQ(Get(10025, c), 0);
    EXPECT_EQ(Get(200, c), 33);
    EXPECT_EQ(Get(201, c), 17);
    EXPECT_EQ(Get(300, c), 44);
    EXPECT_EQ(Get(11000, c), 1);
    EXPECT_EQ(Get(20014, c), 7);

    // Modes 200 and 400 leave the two-level binarisation fields as they are.
    ASSERT_EQ(MntSetParameter(10001, 0, c), 0);
    ASSERT_EQ(MntSetParameter(10002, 1, c), 0);
    ASSERT_EQ(MntSetParameter(1000, 400, c), 0);
    EXPECT_EQ(Get(10001, c), 0);
    EXPECT_EQ(Get(10002, c), 1);
    EXPECT_EQ(Get(10006, c), 145);
    EXPECT_EQ(Get(10007, c), 110);
    EXPECT_EQ(Get(10010, c), 196);  // back to the mode-0 value
    ASSERT_EQ(MntSetParameter(1000, 300, c), 0);
    EXPECT_EQ(Get(10001, c), 1);
    EXPECT_EQ(Get(10002, c), 3);

    // 1200 writes the mode-0 preset and keeps its own id.
    ASSERT_EQ(MntSetParameter(1000, 1200, c), 0);
    EXPECT_EQ(Get(1000, c), 1200);
    EXPECT_EQ(Get(10000, c), 120);
    EXPECT_EQ(Get(20006, c), 150);
    EXPECT_EQ(Get(20001, c), 9);
}

TEST(SetMode, Mode600LineLimitsLastUntilTheNextSpeed) {
    ContextOwner owner;
    MntContext* c = owner.context;
    ASSERT_EQ(MntSetParameter(1000, 600, c), 0);
    EXPECT_EQ(Get(20003, c), 650);
    EXPECT_EQ(Get(20004, c), 1300);
    EXPECT_EQ(Get(10018, c), 0);
    ASSERT_EQ(MntSetParameter(1000, 700, c), 0);
    EXPECT_EQ(Get(20003, c), 650);
    EXPECT_EQ(Get(20019, c), 1);
    ASSERT_EQ(MntSetParameter(220, 256, c), 0);
    EXPECT_EQ(Get(20003, c), 150);
    EXPECT_EQ(Get(20004, c), 300);
    ASSERT_EQ(MntSetParameter(220, 0, c), 0);
    EXPECT_EQ(Get(20003, c), 700);
    EXPECT_EQ(Get(20004, c), 1400);
}

TEST(FeatureKinds, ExtractionAndMatchingFlags) {
    ContextOwner owner;
    MntContext* c = owner.context;
    struct Case { int32_t kind; int32_t first; int32_t second; };
    for (auto [kind, first, second] : std::initializer_list<Case>{{0, 1, 1}, {1, 1, 0}, {2, 0, 0}}) {
        ASSERT_EQ(MntSetParameter(110, kind, c), 0);
        EXPECT_EQ(Get(10021, c), first);
        EXPECT_EQ(Get(10025, c), second);
        ASSERT_EQ(MntSetParameter(210, kind, c), 0);
        EXPECT_EQ(Get(20017, c), first);
        EXPECT_EQ(Get(20018, c), second);
        EXPECT_EQ(Get(210, c), kind);
    }
}

TEST(ThresholdNormalization, FollowsModeSpeedAndKind) {
    ContextOwner owner;
    MntContext* c = owner.context;
    struct Case { int32_t mode, speed, kind, slope, offset; };
    for (auto t : std::initializer_list<Case>{{0, 0, 0, 929, 2898},      {0, 256, 0, 788, 2361},
                                              {810, 256, 1, 764, -57},   {100, 256, 0, 1000, 0},
                                              {200, 0, 1, 2006, -8725},  {300, 256, 2, 903, -2123},
                                              {400, 0, 2, 876, -1178},   {500, 256, 1, 1045, -1938},
                                              {600, 0, 0, 1475, 894},    {700, 256, 2, 569, -5802},
                                              {900, 0, 1, 553, 2698},    {1000, 256, 0, 1541, -3387},
                                              {1100, 0, 2, 783, -1512},  {1200, 256, 2, 461, 32}}) {
        ASSERT_EQ(MntSetParameter(1000, t.mode, c), 0);
        ASSERT_EQ(MntSetParameter(220, t.speed, c), 0);
        ASSERT_EQ(MntSetParameter(210, t.kind, c), 0);
        EXPECT_EQ(Get(20021, c), t.slope) << t.mode << " " << t.speed << " " << t.kind;
        EXPECT_EQ(Get(20022, c), t.offset) << t.mode << " " << t.speed << " " << t.kind;
    }
    // A scaling set by hand stays until mode, speed or kind change.
    ASSERT_EQ(MntSetParameter(20021, 5, c), 0);
    ASSERT_EQ(MntSetParameter(200, 10, c), 0);
    EXPECT_EQ(Get(20021, c), 5);
}

}  // namespace
