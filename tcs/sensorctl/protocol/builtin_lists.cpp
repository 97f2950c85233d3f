// Built-in configuration lookup: patch class and candidate rules with their tie-breaks, print
// configuration scoring, wake-on-event match.
#include "tcs/sensorctl/protocol/builtin_lists.h"

#include "platform/memory.h"

#include <cstring>
#include <initializer_list>

namespace scslists {
namespace {

bool matches(uint32_t word, uint32_t value) { return word == SCS_CFG_ANY || word == value; }
bool variantIn(uint32_t v, std::initializer_list<uint32_t> set) {
    for (uint32_t s : set) {
        if (v == s) return true;
    }
    return false;
}

// The patch class the device runs; -1 means any class qualifies, -2 that none does.
int wantedClass(const DeviceView& d, uint32_t required) {
    if ((required & (0x800 | 0x1000)) != 0) {
        return d.major == 4 && d.minor >= 20 && d.variant == 2 ? -1 : -2;
    }
    if (d.selkin) return d.major == 4 && d.minor != 11 ? 1 : 0;
    const bool f = (d.flags & 0x02) != 0;
    if (d.major == 6) return variantIn(d.variant, {2, 3, 6, 7}) ? 2 : 0;
    if (d.major == 4) {
        if (d.variant == 2 && !f && (d.minor == 40 || d.minor == 60)) return 1;
        if (d.minor < 20 || !f) return 0;
        return variantIn(d.variant, {2, 3, 4, 6, 7}) ? 2 : 1;
    }
    return 0;
}

}  // namespace

const ConfigDescriptor* findPatch(const DeviceView& d, const void* const* list, uint32_t required, uint32_t selector,
                                  uint32_t excluded) {
    if (list == nullptr) return nullptr;
    const int wanted = wantedClass(d, required);
    if (wanted == -2) return nullptr;
    const ConfigDescriptor* best = nullptr;
    bool exactFlexSeen = false, trailingExactSeen = false;
    for (const void* const* entry = list; *entry != nullptr; ++entry) {
        const auto* p = static_cast<const ConfigDescriptor*>(*entry);
        const uint32_t* w = p->words;
        const uint32_t ids = w[SCS_PD_PATCH_IDS];
        const bool candidate = matches(w[SCS_PD_ROM], d.romFlag) && (ids & required) == required &&
                               (ids & excluded) == 0 && matches(w[SCS_PD_MAJOR], d.major) &&
                               matches(w[SCS_PD_MINOR], d.minor) && matches(w[SCS_PD_BUILD], d.build) &&
                               matches(w[SCS_PD_REVISION], d.revision) && matches(w[SCS_PD_TRAILING], d.trailing) &&
                               matches(w[SCS_PD_FLEX], d.flexId) && matches(w[SCS_PD_SELECTOR], selector) &&
                               (wanted == -1 || matches(w[SCS_PD_CLASS], uint32_t(wanted)));
        if (!candidate) continue;
        const bool exactFlex = w[SCS_PD_FLEX] == d.flexId;
        const bool trailingExact = w[SCS_PD_TRAILING] == d.trailing;
        // A module-specific patch and a firmware-specific one that disagree: no safe choice.
        if (exactFlex && !trailingExact && trailingExactSeen) return nullptr;
        if (!exactFlex && trailingExact && exactFlexSeen) return nullptr;
        bool replace = best == nullptr || w[SCS_PD_LENGTH] < best->words[SCS_PD_LENGTH];
        if (best != nullptr && replace) {
            if (!exactFlex && exactFlexSeen) replace = false;
            if (!trailingExact && trailingExactSeen) replace = false;
        }
        if (replace) best = p;
        exactFlexSeen = exactFlexSeen || exactFlex;
        trailingExactSeen = trailingExactSeen || trailingExact;
    }
    return best;
}

TcsResult findPrintConfig(const DeviceView& d, const PrintQuery& q, const void* const* list,
                          PrintConfiguration** out) {
    *out = nullptr;
    if (list == nullptr) return TCS_RESULT_OK;
    const uint32_t modeWanted = variantIn(d.variant, {3, 6, 7}) ? 2 : 1;
    const ConfigDescriptor* best = nullptr;
    int bestScore = -1;
    for (const void* const* entry = list; *entry != nullptr; ++entry) {
        const auto* p = static_cast<const ConfigDescriptor*>(*entry);
        const uint32_t* w = p->words;
        const uint32_t mask = w[13] == 0 ? 1 : w[13];
        if (!matches(w[8], q.flexId) || !matches(w[4], d.major) || (mask & modeWanted) == 0) continue;
        if (q.flexId != 0 && (!matches(w[9], q.soClock) || !matches(w[10], q.swipeSpeed))) continue;
        const bool majorExact = w[4] == d.major;
        int score = w[14] == q.bitDepth ? (majorExact ? 48 : 40)
                    : w[14] == SCS_CFG_ANY ? (majorExact ? 32 : 24)
                                           : (majorExact ? 16 : 8);
        score += w[5] == d.minor ? 8 : w[5] == SCS_CFG_ANY ? 4 : 0;
        score += w[6] == d.build ? 4 : w[6] == SCS_CFG_ANY ? 2 : 0;
        score += w[7] == d.revision ? 2 : w[7] == SCS_CFG_ANY ? 1 : 0;
        if (score > bestScore) {
            bestScore = score;
            best = p;
        }
    }
    if (best == nullptr) return TCS_RESULT_OK;
    PrintConfiguration source{};
    std::memcpy(source.fields, best->words + 4, sizeof source.fields);
    source.blobLength = best->words[17];
    source.blob = static_cast<uint8_t*>(const_cast<void*>(best->data));
    if (source.blob == nullptr) source.blobLength = 0;
    return scsprint::copy(source, out) == TCS_RESULT_OK ? TCS_RESULT_OK : TCS_RESULT_INVALID;
}

const ConfigDescriptor* findWoeConfig(const DeviceView& d, const void* const* list) {
    if (list == nullptr) return nullptr;
    for (const void* const* entry = list; *entry != nullptr; ++entry) {
        const auto* p = static_cast<const ConfigDescriptor*>(*entry);
        const uint32_t* w = p->words;
        if (matches(w[4], d.major) && matches(w[5], d.minor) && matches(w[6], d.build) &&
            matches(w[7], d.revision) && matches(w[8], d.flexId)) {
            return p;
        }
    }
    return nullptr;
}

}  // namespace scslists
