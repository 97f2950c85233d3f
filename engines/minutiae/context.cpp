// The engine context: every tuning value of extraction, output and matching, addressed by
// parameter id, with the mode presets, matching speeds, feature kinds and score scaling.
#include "engines/minutiae/context.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "engines/minutiae/match_data.h"
#include "engines/minutiae/old_interface.h"

namespace mnt {
namespace {

enum class Width : uint8_t { U8, U32, I32 };
// How a set value is stored: as given, negatives as 0, clamped to 0..255 or to 0..3.
enum class Clamp : uint8_t { None, NonNegative, Byte, Level };
// Which values a mode preset writes.
enum class Preset : uint8_t { No, Yes, NotIn200And400 };

struct Additional {
    uint32_t id;
    size_t offset;
    Width width;
    int32_t type;
    Clamp clamp;
    Preset preset;
    int32_t modeZero;  // the mode-0 preset value (when the preset writes the field)
};

#define FIELD(name) offsetof(MntContext, name)
constexpr int32_t kInt = MNT_TYPE_INT;
constexpr int32_t kFlag = MNT_TYPE_FLAG;

const Additional kAdditional[] = {
    {10000, FIELD(goodAreaMeanLimit), Width::U8, kInt, Clamp::Byte, Preset::Yes, 120},
    {10001, FIELD(useTwoLevelBinarization), Width::U32, kFlag, Clamp::None, Preset::NotIn200And400, 1},
    {10002, FIELD(reservedLevel), Width::U32, kInt, Clamp::Level, Preset::NotIn200And400, 3},
    {10003, FIELD(binarizeRadiusSmall), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 3},
    {10004, FIELD(binarizeRadiusMedium), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 5},
    {10005, FIELD(binarizeRadiusLarge), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 7},
    {10006, FIELD(densityHighLimit), Width::U8, kInt, Clamp::Byte, Preset::Yes, 130},
    {10007, FIELD(densityLowLimit), Width::U8, kInt, Clamp::Byte, Preset::Yes, 115},
    {10008, FIELD(dirContrastMin), Width::U8, kInt, Clamp::Byte, Preset::Yes, 19},
    {10009, FIELD(blockContrastMin), Width::U8, kInt, Clamp::Byte, Preset::Yes, 17},
    {10010, FIELD(badAreaQualityMax), Width::U8, kInt, Clamp::Byte, Preset::Yes, 196},
    {10011, FIELD(blockQualityMax), Width::U8, kInt, Clamp::Byte, Preset::Yes, 207},
    {10012, FIELD(dirFilterPasses), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 2},
    {10013, FIELD(filterQualityMax), Width::U8, kInt, Clamp::Byte, Preset::Yes, 30},
    {10014, FIELD(filterQualityMin), Width::U8, kInt, Clamp::Byte, Preset::Yes, 20},
    {10015, FIELD(filterBasePasses), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 0},
    {10016, FIELD(filterPassScale), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 4},
    {10017, FIELD(skeletonIterations), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 12},
    {10018, FIELD(pairFilter), Width::U32, kFlag, Clamp::None, Preset::Yes, 1},
    {10019, FIELD(keepSourceImage), Width::U32, kFlag, Clamp::None, Preset::Yes, 1},
    {10020, FIELD(maxMinutiae), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 1024},
    {10021, FIELD(writeCurvature), Width::U32, kFlag, Clamp::None, Preset::No, 1},
    {10022, FIELD(writeSingularPoints), Width::U32, kFlag, Clamp::None, Preset::Yes, 1},
    {10023, FIELD(maxSingularPoints), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 64},
    {10024, FIELD(firstKindOnly), Width::U32, kFlag, Clamp::None, Preset::Yes, 0},
    {10025, FIELD(writeBlockOrientations), Width::U32, kFlag, Clamp::None, Preset::No, 1},
    {10026, FIELD(smoothRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 4},
    {10027, FIELD(normalizeRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 128},
    {10028, FIELD(densityRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 16},
    {10029, FIELD(densitySmoothRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 16},
    {10030, FIELD(dirRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 12},
    {10031, FIELD(dirFilterRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 12},
    {10032, FIELD(filterDirRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 12},
    {10033, FIELD(noiseRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 12},
    {10034, FIELD(squaredDifferences), Width::U32, kFlag, Clamp::None, Preset::Yes, 0},
    {10035, FIELD(eliminateSpots), Width::U32, kFlag, Clamp::None, Preset::Yes, 0},
    {10036, FIELD(enhanceGoodArea), Width::U32, kFlag, Clamp::None, Preset::Yes, 0},
    {10037, FIELD(extraPutty), Width::U32, kFlag, Clamp::None, Preset::Yes, 0},
    {10038, FIELD(badAreaRadius), Width::U32, kInt, Clamp::NonNegative, Preset::Yes, 16},
    {11000, FIELD(reportGoodAreaMean), Width::U32, kFlag, Clamp::None, Preset::No, 0},
    {20000, FIELD(lineLengthTolerance), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 13},
    {20001, FIELD(lineAngleTolerance), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 9},
    {20003, FIELD(testLineLimit), Width::I32, kInt, Clamp::NonNegative, Preset::No, 700},
    {20004, FIELD(sampleLineLimit), Width::I32, kInt, Clamp::NonNegative, Preset::No, 1400},
    {20005, FIELD(minLineLength), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 50},
    {20006, FIELD(maxLineLength), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 150},
    {20007, FIELD(coreDistanceSpan), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 30},
    {20008, FIELD(coreDistanceNorm), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 900},
    {20009, FIELD(coreDistanceMargin), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 40},
    {20010, FIELD(extraByteSpan), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 30},
    {20011, FIELD(extraByteNorm), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 900},
    {20012, FIELD(lineCountPivot), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 100},
    {20013, FIELD(lineCountScale), Width::I32, kInt, Clamp::NonNegative, Preset::Yes, 200},
    {20014, FIELD(symmetricBandLow), Width::I32, kInt, Clamp::NonNegative, Preset::No, 20},
    {20015, FIELD(symmetricBandHigh), Width::I32, kInt, Clamp::NonNegative, Preset::No, 500},
    {20016, FIELD(useQualityWeight), Width::I32, kFlag, Clamp::None, Preset::Yes, 1},
    {20017, FIELD(useExtraByte), Width::I32, kFlag, Clamp::None, Preset::No, 1},
    {20018, FIELD(useBlockOrientation), Width::I32, kFlag, Clamp::None, Preset::No, 1},
    {20019, FIELD(useCore), Width::I32, kFlag, Clamp::None, Preset::Yes, 0},
    {20020, FIELD(useLineGroups), Width::I32, kFlag, Clamp::None, Preset::Yes, 1},
    {20021, FIELD(scoreSlope), Width::I32, kInt, Clamp::None, Preset::No, 929},
    {20022, FIELD(scoreOffset), Width::I32, kInt, Clamp::None, Preset::No, 2898},
};
#undef FIELD

const Additional* FindAdditional(uint32_t id) {
    for (const auto& entry : kAdditional)
        if (entry.id == id) return &entry;
    return nullptr;
}

void Store(MntContext* context, const Additional& entry, int32_t value) {
    auto* field = reinterpret_cast<unsigned char*>(context) + entry.offset;
    switch (entry.width) {
        case Width::U8: *field = uint8_t(value); break;
        case Width::U32: {
            const uint32_t v = uint32_t(value);
            std::memcpy(field, &v, sizeof v);
            break;
        }
        case Width::I32: std::memcpy(field, &value, sizeof value); break;
    }
}

uint32_t Load(const MntContext* context, const Additional& entry) {
    const auto* field = reinterpret_cast<const unsigned char*>(context) + entry.offset;
    if (entry.width == Width::U8) return *field;
    uint32_t v;
    std::memcpy(&v, field, sizeof v);
    return v;
}

int32_t Clamped(Clamp clamp, int32_t value) {
    switch (clamp) {
        case Clamp::None: return value;
        case Clamp::NonNegative: return value < 0 ? 0 : value;
        case Clamp::Byte: return value < 0 ? 0 : value > 255 ? 255 : value;
        case Clamp::Level: return value < 0 ? 0 : value > 3 ? 3 : value;
    }
    return value;
}

struct Override {
    uint32_t id;
    int32_t value;
};

struct ModePreset {
    uint32_t mode;
    std::initializer_list<Override> overrides;
};

// Differences from the mode-0 preset; 100, 800, 810 and 1200 write the mode-0 preset itself.
const ModePreset kModes[] = {
    {0, {}},
    {100, {}},
    {200, {{10006, 145}, {10010, 185}, {10026, 6}, {10030, 24}, {10033, 20}, {10034, 1},
           {10035, 1}, {20000, 12}, {20005, 20}}},
    {300, {{10000, 110}, {10006, 102}, {10007, 92}, {20000, 14}, {20001, 10}, {20005, 10},
           {20006, 300}, {20012, 50}, {20013, 100}}},
    {400, {{10006, 145}, {10007, 110}, {10034, 1}, {10035, 1}, {20000, 12}, {20005, 20}}},
    {500, {{10010, 180}, {20000, 12}, {20005, 20}, {20006, 200}}},
    {600, {{10000, 90}, {10006, 147}, {10007, 125}, {10008, 17}, {10018, 0}, {20003, 650},
           {20004, 1300}, {20005, 35}, {20006, 300}, {20007, 34}, {20008, 1156}, {20009, 45}}},
    {700, {{10006, 147}, {10007, 126}, {10010, 185}, {10026, 16}, {10027, 16}, {20005, 25},
           {20006, 220}, {20007, 34}, {20008, 1156}, {20009, 45}, {20012, 300}, {20013, 600},
           {20019, 1}}},
    {800, {}},
    {810, {}},
    {900, {{10010, 130}, {10030, 20}, {10031, 20}, {10032, 20}, {10037, 1}, {20000, 16},
           {20005, 20}, {20012, 130}, {20013, 260}}},
    {1000, {{10030, 16}, {10031, 16}, {10033, 16}, {20000, 14}, {20005, 20}, {20012, 70},
            {20013, 140}}},
    {1100, {{10036, 1}, {20005, 20}}},
    {1200, {}},
};

struct Scaling {
    int32_t slope;
    int32_t offset;
};

struct ModeScaling {
    std::initializer_list<uint32_t> modes;
    Scaling speed0[3];    // by matchFeatures 0, 1, 2
    Scaling speed256[3];
};

const ModeScaling kScaling[] = {
    {{0, 800, 810, 1200}, {{929, 2898}, {880, 1362}, {535, 1360}}, {{788, 2361}, {764, -57}, {461, 32}}},
    {{100}, {{1015, 3821}, {971, 2197}, {578, 1792}}, {{1000, 0}, {955, -3075}, {573, -3092}}},
    {{200}, {{2200, -6318}, {2006, -8725}, {1153, -5571}}, {{1492, -5578}, {1249, -7476}, {750, -4592}}},
    {{300}, {{2391, -1822}, {2394, -6096}, {1317, -3111}}, {{2069, -6435}, {1714, -7682}, {903, -2123}}},
    {{400}, {{1640, -793}, {1428, -1627}, {876, -1178}}, {{1122, -744}, {978, -3189}, {636, -2218}}},
    {{500}, {{1470, 572}, {1332, -315}, {857, -890}}, {{1153, 262}, {1045, -1938}, {686, -2762}}},
    {{600}, {{1475, 894}, {1365, -1052}, {903, -1894}}, {{1151, -2015}, {1027, -4866}, {694, -5109}}},
    {{700}, {{739, 894}, {629, -714}, {419, -1819}}, {{977, -2462}, {782, -4637}, {569, -5802}}},
    {{900}, {{578, 4669}, {553, 2698}, {406, -1609}}, {{642, -750}, {585, -4490}, {391, -5905}}},
    {{1000}, {{1911, -3207}, {1766, -5212}, {1047, -4266}}, {{1541, -3387}, {1384, -6392}, {826, -4858}}},
    {{1100}, {{1514, -528}, {1378, -2507}, {783, -1512}}, {{1095, -729}, {933, -3172}, {644, -5583}}},
};

// Name and version text of parameter 10, and the maker's notice of parameter 13 (44 characters).
constexpr char kEngineName[] = "MinuEngine 4.1";
constexpr char kNotice[] = "MinuEngine minutiae engine (c) Tovantic 2009";
static_assert(sizeof kEngineName - 1 == 14);
static_assert(sizeof kNotice - 1 == 44);

constexpr uint64_t kVersionNumber = 0x40001;
constexpr uint64_t kParameter12 = 11;

MntContext* gDefaultContext = nullptr;
MntContext* gOldContext = nullptr;
int32_t gInitCount = 0;

}  // namespace

MntContext* ResolveContext(MntContext* context) { return context != nullptr ? context : gDefaultContext; }

MntContext* OldInterfaceContext() { return gOldContext; }

int32_t SetThresholdNormalization(MntContext* context) {
    if (context->matchFeatures > 2) return MNT_BAD_VALUE;
    if (context->matchingSpeed != 0 && context->matchingSpeed != 256) return MNT_BAD_VALUE;
    for (const auto& row : kScaling) {
        for (uint32_t mode : row.modes) {
            if (mode != context->mode) continue;
            const Scaling& s = context->matchingSpeed == 0 ? row.speed0[context->matchFeatures]
                                                           : row.speed256[context->matchFeatures];
            context->scoreSlope = s.slope;
            context->scoreOffset = s.offset;
            return MNT_OK;
        }
    }
    return MNT_BAD_VALUE;
}

int32_t SetMode(MntContext* context, uint32_t mode) {
    const ModePreset* preset = nullptr;
    for (const auto& p : kModes)
        if (p.mode == mode) preset = &p;
    if (preset == nullptr) return MNT_BAD_VALUE;
    const bool keepsBinarization = mode == 200 || mode == 400;
    for (const auto& entry : kAdditional) {
        bool writes = entry.preset == Preset::Yes || (entry.preset == Preset::NotIn200And400 && !keepsBinarization);
        int32_t value = entry.modeZero;
        for (const auto& o : preset->overrides) {
            if (o.id != entry.id) continue;
            value = o.value;
            writes = true;  // mode 600 also writes the line limits
        }
        if (writes) Store(context, entry, value);
    }
    context->mode = mode;
    SetThresholdNormalization(context);
    return MNT_OK;
}

int32_t SetMatchingSpeed(MntContext* context, uint32_t speed) {
    if (speed == 0) {
        context->testLineLimit = 700;
        context->sampleLineLimit = 1400;
    } else if (speed == 256) {
        context->testLineLimit = 150;
        context->sampleLineLimit = 300;
    } else {
        return MNT_BAD_VALUE;
    }
    context->symmetricBandLow = 20;
    context->symmetricBandHigh = 500;
    context->matchingSpeed = speed;
    SetThresholdNormalization(context);
    return MNT_OK;
}

int32_t SetExtractFeatures(MntContext* context, uint32_t kind) {
    if (kind > 2) return MNT_BAD_VALUE;
    context->writeCurvature = kind <= 1 ? 1 : 0;
    context->writeBlockOrientations = kind == 0 ? 1 : 0;
    context->extractFeatures = kind;
    return MNT_OK;
}

int32_t SetMatchFeatures(MntContext* context, uint32_t kind) {
    if (kind > 2) return MNT_BAD_VALUE;
    context->useExtraByte = kind <= 1 ? 1 : 0;
    context->useBlockOrientation = kind == 0 ? 1 : 0;
    context->matchFeatures = kind;
    SetThresholdNormalization(context);
    return MNT_OK;
}

int32_t AdditionalParameterType(uint32_t id) {
    const Additional* entry = FindAdditional(id);
    return entry != nullptr ? entry->type : MNT_BAD_VALUE;
}

int32_t MntSetAdditionalParameter(MntContext* context, uint32_t id, int32_t value) {
    const Additional* entry = FindAdditional(id);
    if (entry == nullptr) return MNT_UNKNOWN_PARAMETER;
    Store(context, *entry, Clamped(entry->clamp, value));
    return MNT_OK;
}

int32_t MntGetAdditionalParameter(const MntContext* context, uint32_t id, uint32_t* out) {
    const Additional* entry = FindAdditional(id);
    if (entry == nullptr) return MNT_UNKNOWN_PARAMETER;
    *out = Load(context, *entry);
    return MNT_OK;
}

}  // namespace mnt

using namespace mnt;

extern "C" MntContext* MntCreateContext(void) {
    auto* context = static_cast<MntContext*>(std::calloc(1, sizeof(MntContext)));
    if (context == nullptr) return nullptr;
    SetMode(context, 0);
    SetMatchingSpeed(context, 0);
    SetExtractFeatures(context, 0);
    SetMatchFeatures(context, 0);
    context->reportGoodAreaMean = 0;
    context->threshold = 47;
    context->generalizationThreshold = 63;
    context->rotationTolerance = 120;
    context->busy = 0;
    context->matchData = nullptr;
    return context;
}

extern "C" int32_t MntFreeContext(MntContext* context) {
    if (context == nullptr) return MNT_NULL_POINTER;
    FreeMatchData(context->matchData);
    std::free(context);
    return MNT_OK;
}

extern "C" int32_t MntInitialize(void) {
    if (gInitCount == 0) {
        gDefaultContext = MntCreateContext();
        gOldContext = MntCreateContext();
        if (gDefaultContext == nullptr || gOldContext == nullptr) {
            if (gDefaultContext != nullptr) MntFreeContext(gDefaultContext);
            if (gOldContext != nullptr) MntFreeContext(gOldContext);
            gDefaultContext = gOldContext = nullptr;
            return MNT_OUT_OF_MEMORY;
        }
        OldInit(gOldContext);
    }
    return gInitCount++;
}

extern "C" int32_t MntFinalize(void) {
    if (gInitCount == 0) return MNT_NO_CONTEXT;
    if (--gInitCount == 0) {
        OldUninit(gOldContext);
        gOldContext = nullptr;
        const bool hadDefault = gDefaultContext != nullptr;
        if (hadDefault) MntFreeContext(gDefaultContext);
        gDefaultContext = nullptr;
        if (!hadDefault) return MNT_NO_CONTEXT;
    }
    return gInitCount;
}

extern "C" int32_t MntSetParameter(uint32_t id, int32_t value, MntContext* context) {
    context = ResolveContext(context);
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (context->busy) return MNT_BUSY;
    if (id > 9999) return MntSetAdditionalParameter(context, id, value);
    switch (id) {
        case 0:
        case 10:
        case 11:
        case 12:
        case 13: return MNT_READ_ONLY_PARAMETER;
        case 110: return SetExtractFeatures(context, uint32_t(value));
        case 200: context->threshold = value < 0 ? 0 : value; return MNT_OK;
        case 201: context->rotationTolerance = value < 0 ? 0 : value > 120 ? 120 : value; return MNT_OK;
        case 210: return SetMatchFeatures(context, uint32_t(value));
        case 220: return SetMatchingSpeed(context, uint32_t(value));
        case 300: context->generalizationThreshold = value < 0 ? 0 : value; return MNT_OK;
        case 1000: return SetMode(context, uint32_t(value));
        default: return MNT_UNKNOWN_PARAMETER;
    }
}

namespace {

int32_t TypeOf(uint32_t id) {
    switch (id) {
        case 110:
        case 200:
        case 201:
        case 210:
        case 220:
        case 300:
        case 1000: return MNT_TYPE_INT;
        case 11:
        case 12: return MNT_TYPE_U64;
        case 10:
        case 13: return MNT_TYPE_TEXT;
        default: return id > 9999 ? AdditionalParameterType(id) : MNT_BAD_VALUE;
    }
}

int32_t WriteText(const char* text, size_t length, void* out) {
    if (out == nullptr) return int32_t(length);
    std::memcpy(out, text, length + 1);
    return MNT_OK;
}

template <typename T>
int32_t WriteValue(T value, void* out) {
    std::memcpy(out, &value, sizeof value);
    return MNT_OK;
}

}  // namespace

extern "C" int32_t MntGetParameter(uint32_t id, void* out, MntContext* context) {
    context = ResolveContext(context);
    if (context == nullptr) return MNT_NO_CONTEXT;
    if (id == 10) return WriteText(kEngineName, sizeof kEngineName - 1, out);
    if (id == 13) return WriteText(kNotice, sizeof kNotice - 1, out);
    if (out == nullptr) return MNT_NULL_POINTER;
    if (id == 0) {
        // The id asked about travels in the pointer slot.
        return TypeOf(uint32_t(reinterpret_cast<uintptr_t>(out)));
    }
    if (id > 9999) {
        uint32_t value;
        const int32_t result = MntGetAdditionalParameter(context, id, &value);
        if (result == MNT_OK) WriteValue(value, out);
        return result;
    }
    switch (id) {
        case 11: return WriteValue(kVersionNumber, out);
        case 12: return WriteValue(kParameter12, out);
        case 110: return WriteValue(context->extractFeatures, out);
        case 200: return WriteValue(context->threshold, out);
        case 201: return WriteValue(context->rotationTolerance, out);
        case 210: return WriteValue(context->matchFeatures, out);
        case 220: return WriteValue(context->matchingSpeed, out);
        case 300: return WriteValue(context->generalizationThreshold, out);
        case 1000: return WriteValue(context->mode, out);
        default: return MNT_UNKNOWN_PARAMETER;
    }
}
