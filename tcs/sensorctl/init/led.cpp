// LED control: defaults and persistent patterns, per-handle LED state, LED events, the LED work item
// and the translation of a pattern into the 0x24 or 0x2a command.
#include "tcs/sensorctl/init/led.h"

#include "tcs/sensorctl/protocol/command_args.h"
#include "tcs/sensorctl/protocol/patch_loader.h"
#include "tcs/sensorctl/protocol/protocol_state.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kLedSection = "SOFTWARE\\Tovantic\\LED";
constexpr uint32_t kSlots = 7;
constexpr uint32_t kIndicatorSlot = 6;

// Header, then seven patterns of six fields (blink rate, duty, duration, ramp, low, high) for the
// slots of events 23, 24, 25, 26, 27, 29 and the indicator.
struct DefaultConfig {
    uint32_t header;
    uint32_t patterns[kSlots][6];
};

const DefaultConfig TOV_Dflt_Cfg = {0,
                                    {{1000, 50, 10, 0, 0, 100},
                                     {500, 100, 1, 0, 0, 100},
                                     {250, 50, 2, 0, 0, 100},
                                     {500, 100, 1, 0, 0, 100},
                                     {250, 50, 2, 0, 0, 100},
                                     {1000, 100, 2, 8, 0, 100},
                                     {1000, 50, 0, 0, 0, 100}}};
const DefaultConfig OEM_Dflt_Cfg = {1,
                                    {{2000, 50, 10, 0, 0, 60},
                                     {1000, 100, 1, 0, 0, 60},
                                     {500, 50, 2, 0, 0, 60},
                                     {1000, 100, 1, 0, 0, 60},
                                     {500, 50, 2, 0, 0, 60},
                                     {2000, 100, 2, 0, 0, 60},
                                     {1000, 50, 0, 0, 0, 60}}};
const DefaultConfig TOV_Dflt_Cfg2 = {0,
                                     {{1500, 60, 10, 8, 10, 100},
                                      {900, 100, 1, 0, 0, 100},
                                      {300, 50, 2, 0, 0, 100},
                                      {900, 100, 1, 0, 0, 100},
                                      {300, 50, 2, 0, 0, 100},
                                      {1500, 70, 2, 16, 0, 100},
                                      {1000, 50, 0, 0, 0, 100}}};
const DefaultConfig* const gOEMDefaultConfig[] = {&TOV_Dflt_Cfg, &OEM_Dflt_Cfg, &TOV_Dflt_Cfg2, nullptr};

// What start-up fills in the subsystem's LED state after its first word (the LED client).
struct ExternalLedConfig {
    uint32_t featureOn;
    uint32_t header;
    uint32_t normalPort;
    uint32_t attentionPort;
    uint32_t reserved255;
    LedPattern slots[kSlots];
};

using SensorLedState = ScsLedState;

class LedHold {
public:
    explicit LedHold(SensorLedState* state) : lock_(state->lock) { palMutexAcquire(lock_, PAL_INFINITE); }
    ~LedHold() { palMutexRelease(lock_); }
    LedHold(const LedHold&) = delete;
    LedHold& operator=(const LedHold&) = delete;

private:
    PalMutexHandle lock_;
};

void freeState(void* raw) {
    auto* state = static_cast<SensorLedState*>(raw);
    if (state == nullptr) return;
    if (state->lock != nullptr) palMutexFree(state->lock);
    palRealFree(state);
}

ExternalLedConfig* externalOf(ScsSubsystem* subsystem) {
    if (subsystem == nullptr || subsystem->ledState == nullptr) return nullptr;
    return reinterpret_cast<ExternalLedConfig*>(&subsystem->ledState[1]);
}

SensorLedState* stateOf(ScsSensor* sensor) {
    return sensor != nullptr ? static_cast<SensorLedState*>(sensor->ledConfig) : nullptr;
}

ScsSubsystem* subsystemOf(ScsSensor* sensor) {
    if (sensor == nullptr) return nullptr;
    // The client's subsystem is the device's. The device is not read here: events come on callers'
    // threads while the service thread may unbind a removed device from its handles.
    if (sensor->client != nullptr && sensor->client->subsystem != nullptr) return sensor->client->subsystem;
    ScsSensorDevice* device = __atomic_load_n(&sensor->device, __ATOMIC_ACQUIRE);
    return device != nullptr ? device->subsystem : nullptr;
}

uint32_t readLong(const char* section, const char* name, uint32_t fallback) {
    uint32_t value = fallback;
    if (palGetPersistentDataLongValue(section, name, fallback, &value) != TCS_RESULT_OK) return fallback;
    return value;
}

bool featureEnabled() { return readLong(kLedSection, "enableLEDFeature", 1) == 1; }

const DefaultConfig& chosenDefault() {
    uint32_t count = 0;
    while (gOEMDefaultConfig[count] != nullptr) ++count;
    uint32_t index = readLong(kLedSection, "configIndex", 1);
    if (index >= count) index = 1;
    return *gOEMDefaultConfig[index];
}

void loadDefaults(const DefaultConfig& config, LedPattern slots[kSlots]) {
    for (uint32_t i = 0; i < kSlots; ++i) {
        const uint32_t* p = config.patterns[i];
        slots[i] = {p[0], p[1], p[2], p[3], p[4], p[5], i == 2 || i == 4 ? 2u : 0u};
    }
}

void patternKey(char* out, size_t size, uint32_t slot) {
    snprintf(out, size, "%s\\events\\event%u\\pattern", kLedSection, unsigned(slot));
}

// Rounded whole seconds since the last send (501 ms or more rounds up).
bool lastPatternRuns(const SensorLedState& state) {
    const uint32_t elapsed = palGetTickCount() - state.lastSendTick;
    uint32_t seconds = elapsed / 1000;
    if (elapsed % 1000 >= 501) ++seconds;
    return int64_t(state.lastSentDuration) - int64_t(seconds) >= 1;
}

struct Timing {
    uint32_t on, off;
};

Timing timingOf(const LedPattern& p) {
    if (p.dutyCycle == 100) return {500, 0};
    const uint32_t on = p.blinkRate * p.dutyCycle / 100;
    return {on, p.blinkRate - on};
}

bool isOff(const LedPattern& p, uint32_t event) { return event == SCS_LED_IDLE || p.duration == 0 || p.dutyCycle == 0; }

uint8_t level(uint32_t percent) { return uint8_t(percent * 255 / 100); }

TcsResult ledReply(ScsReplyView*, TcsResult, void* context) {
    auto* item = static_cast<WorkItem*>(context);
    if (item == nullptr) return TCS_RESULT_NULL_POINTER;
    *scsWitStatus(item) = TCS_RESULT_OK;
    *scsWitState(item) = SCS_WIT_STATE_DONE;
    return TCS_RESULT_OK;
}

void endItem(WorkItem* item, TcsResult result) {
    *scsWitStatus(item) = result;
    *scsWitState(item) = SCS_WIT_STATE_DONE;
}

}  // namespace

namespace scsled {

scswire::LedState buildLed(const LedPattern& pattern, uint32_t event, uint32_t family, uint32_t header) {
    scswire::LedState s{};
    const bool family2 = family == SCS_FAMILY_2;
    for (int w : {1, 5, 7, 11, 13, 15, 17}) s.words[w] = 0xFFFFFFFFu;
    s.words[3] = s.words[9] = 0xFFFFFFF8u;
    s.words[2] = s.words[8] = family2 ? 0 : 7;
    const bool off = isOff(pattern, event);
    const Timing t = off ? Timing{0, 0} : timingOf(pattern);
    s.half1 = uint16_t(t.on);
    s.half2 = uint16_t(t.off);
    s.byte1 = 0;
    s.byte2 = off ? 0 : uint8_t(pattern.duration);
    if (pattern.port > 2) return s;
    static const uint32_t kOff[3] = {6, 5, 3};
    static const uint32_t kOn[3] = {1, 2, 4};
    static const uint32_t kOnFamily2[3] = {31, 47, 79};
    uint32_t offCode = family2 ? 0 : kOff[pattern.port];
    uint32_t onCode = family2 ? kOnFamily2[pattern.port] : kOn[pattern.port];
    if (off) {
        offCode = 7;
        onCode = 0;
    }
    if (family2) {
        s.words[18] = onCode;
        s.words[19] = s.words[23] = 0xFFFFFF80u;
        return s;
    }
    if (header == 0) {
        s.words[18] = s.words[22] = 7;
        s.words[20] = s.words[24] = offCode;
    } else {
        s.words[18] = s.words[22] = 0;
        s.words[20] = s.words[24] = onCode;
    }
    s.words[19] = s.words[21] = s.words[23] = s.words[25] = 0xFFFFFFF8u;
    const uint32_t high = pattern.highBrightness;
    s.words[26] = high > 75 ? 0xFFFFFFFFu : high > 50 ? 0xE0E0E0E0u : high > 25 ? 0xC000C000u : 0x80000000u;
    s.words[27] = 0;
    return s;
}

void buildLedEx(const LedPattern& pattern, uint32_t event, scswire::LedEntry entries[16], uint32_t* total) {
    std::memset(entries, 0, sizeof(scswire::LedEntry) * 16);
    if (isOff(pattern, event)) {
        *total = 1;
        return;
    }
    *total = pattern.duration * 1000;
    if (pattern.port > 3) return;
    scswire::LedEntry* e = entries + 4 * pattern.port;
    const Timing t = timingOf(pattern);
    uint8_t high = level(pattern.highBrightness);
    uint8_t low = level(pattern.lowBrightness);
    const uint32_t ramp = pattern.dutyCycle == 100 ? 0 : pattern.rampSteps;
    auto set = [](scswire::LedEntry& entry, uint8_t start, int8_t delta, uint8_t stepTime, uint8_t end, uint32_t ms) {
        entry.pattern[0] = 1;
        entry.pattern[1] = start;
        entry.pattern[2] = uint8_t(delta);
        entry.pattern[3] = stepTime;
        entry.pattern[4] = end;
        entry.value = uint16_t(ms);
    };
    if (ramp > 0) {
        if (high == 0) {
            high = 255;
            low = 0;
        }
        uint32_t rampTime = t.on / 3;
        if (rampTime > 8160) rampTime = 8160;
        const uint32_t hold = t.on - 2 * rampTime;
        const uint32_t stepTime = rampTime / (32 / ramp);
        set(e[0], low, int8_t(ramp), uint8_t(stepTime), high, rampTime);
        set(e[1], high, 0, 0, high, hold);
        set(e[2], high, int8_t(-int32_t(ramp)), uint8_t(stepTime), high, rampTime);
        set(e[3], low, 0, 0, low, t.off);
    } else if (high != 0) {
        set(e[1], high, 0, 0, high, t.on);
        set(e[3], low, 0, 0, low, t.off);
    }
}

}  // namespace scsled

extern "C" {

int32_t scsLedSlotOf(uint32_t event) {
    switch (event) {
        case SCS_LED_READY: return 0;
        case SCS_LED_ENROLL_ACCEPTED: return 1;
        case SCS_LED_ENROLL_REJECTED: return 2;
        case SCS_LED_SWIPE_ACCEPTED: return 3;
        case SCS_LED_SWIPE_REJECTED: return 4;
        case SCS_LED_ACTIVATE: return 5;
        default: return -1;
    }
}

TcsResult scsGetExternalLEDConfig(void** ledState) {
    if (ledState == nullptr) return TCS_RESULT_BAD_PARAM;
    auto* config = reinterpret_cast<ExternalLedConfig*>(&ledState[1]);
    config->featureOn = featureEnabled() ? 1 : 0;
    const DefaultConfig& chosen = chosenDefault();
    config->header = chosen.header;
    config->reserved255 = 255;
    loadDefaults(chosen, config->slots);
    char key[128];
    for (uint32_t i = 0; i < kSlots; ++i) {
        LedPattern& p = config->slots[i];
        patternKey(key, sizeof key, i);
        p.duration = readLong(key, "duration", p.duration);
        if (p.duration > 255) p.duration = 255;
        const uint32_t duty = readLong(key, "dutyCycle", p.dutyCycle);
        if (duty <= 100) p.dutyCycle = duty;
        p.blinkRate = readLong(key, "blinkRate", p.blinkRate);
        if (p.blinkRate < 32) p.blinkRate = 32;
        if (p.blinkRate > p.duration * 1000) p.blinkRate = p.duration * 1000;
        p.rampSteps = readLong(key, "rampSteps", p.rampSteps);
        if (p.rampSteps > 32) p.rampSteps = 32;
        const uint32_t port = readLong(key, "ledPortIndex", p.port);
        if (port < 4) p.port = port;
        char brightness[160];
        snprintf(brightness, sizeof brightness, "%s\\LED0", key);
        const uint32_t low = readLong(brightness, "lowBrightness", p.lowBrightness);
        if (low <= 100) p.lowBrightness = low;
        const uint32_t high = readLong(brightness, "highBrightness", p.highBrightness);
        if (high <= 100) p.highBrightness = high;
    }
    char overrides[96];
    snprintf(overrides, sizeof overrides, "%s\\OverrideCtrlPortIndex", kLedSection);
    config->normalPort = 0;
    config->attentionPort = 2;
    const uint32_t normal = readLong(overrides, "LED_NORMAL", 0);
    if (normal < 4) config->normalPort = normal;
    const uint32_t attention = readLong(overrides, "LED_ATTENTION", 2);
    if (attention < 4) config->attentionPort = attention;
    return TCS_RESULT_OK;
}

TcsResult scsSensorLoadLEDConfig(ScsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_INVALID;
    auto* state = static_cast<SensorLedState*>(palRealMalloc(sizeof(SensorLedState)));
    if (state == nullptr) return TCS_RESULT_OUT_OF_MEMORY;
    std::memset(state, 0, sizeof *state);
    state->lock = palMutexAlloc(nullptr, 0);
    if (state->lock == nullptr) {
        palRealFree(state);
        return TCS_RESULT_OUT_OF_MEMORY;
    }
    if (const ExternalLedConfig* config = externalOf(subsystemOf(sensor))) {
        std::memcpy(state->slots, config->slots, sizeof state->slots);
        state->header = config->header;
        state->normalPort = config->normalPort;
        state->attentionPort = config->attentionPort;
        state->reserved255 = config->reserved255;
    }
    freeState(sensor->ledConfig);
    sensor->ledConfig = state;
    return TCS_RESULT_OK;
}

TcsResult scsSensorFreeLEDConfig(ScsSensor* sensor) {
    if (sensor == nullptr) return TCS_RESULT_INVALID;
    freeState(sensor->ledConfig);
    sensor->ledConfig = nullptr;
    return TCS_RESULT_OK;
}

TcsResult scsSensorLoadDefaultLEDConfig(ScsSensor* sensor) {
    SensorLedState* state = stateOf(sensor);
    if (state == nullptr) return TCS_RESULT_BAD_PARAM;
    const DefaultConfig& chosen = chosenDefault();
    LedHold hold(state);
    loadDefaults(chosen, state->slots);
    return TCS_RESULT_OK;
}

TcsResult scsSensorSaveLEDConfig(ScsSensor* sensor) {
    SensorLedState* state = stateOf(sensor);
    if (state == nullptr) return TCS_RESULT_INVALID;
    LedPattern slots[kSlots];
    {
        LedHold hold(state);
        std::memcpy(slots, state->slots, sizeof slots);
    }
    TcsResult result = TCS_RESULT_OK;
    char key[128];
    char brightness[160];
    for (uint32_t i = 0; i < kSlots; ++i) {
        if (i < kIndicatorSlot) {
            patternKey(key, sizeof key, i);
        } else {
            snprintf(key, sizeof key, "%s\\events\\others\\pattern", kLedSection);
        }
        const LedPattern& p = slots[i];
        snprintf(brightness, sizeof brightness, "%s\\LED0", key);
        const TcsResult writes[] = {
            palSetPersistentDataLongValue(key, "duration", p.duration),
            palSetPersistentDataLongValue(key, "dutyCycle", p.dutyCycle),
            palSetPersistentDataLongValue(key, "blinkRate", p.blinkRate),
            palSetPersistentDataLongValue(key, "rampSteps", p.rampSteps),
            palSetPersistentDataLongValue(brightness, "lowBrightness", p.lowBrightness),
            palSetPersistentDataLongValue(brightness, "highBrightness", p.highBrightness),
        };
        for (TcsResult w : writes) {
            if (w != TCS_RESULT_OK && result == TCS_RESULT_OK) result = w;
        }
    }
    return result;
}

TcsResult scsSensorLEDEnable(uint32_t enable) {
    return palSetPersistentDataLongValue(kLedSection, "enableLEDFeature", enable == 1 ? 1 : 0);
}

TcsResult scsSensorIsLEDEnabled(uint32_t* outEnabled) {
    if (outEnabled == nullptr) return TCS_RESULT_NULL_POINTER;
    *outEnabled = featureEnabled() ? 1 : 0;
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDConfig(ScsSensor* sensor, uint32_t event, ScsLedConfigValues* values, uint32_t write) {
    const int slot = scsLedSlotOf(event);
    if (slot < 0) return TCS_RESULT_BAD_PARAM;
    SensorLedState* state = stateOf(sensor);
    if (state == nullptr || values == nullptr) return TCS_RESULT_INVALID;
    if (!featureEnabled()) return TCS_RESULT_OK;
    LedHold hold(state);
    LedPattern& p = state->slots[slot];
    const bool full = values->size == sizeof(ScsLedConfigValues);
    if (write == 0) {
        values->blinkRate = p.blinkRate;
        values->dutyCycle = p.dutyCycle;
        values->duration = p.duration;
        if (full) {
            values->rampSteps = p.rampSteps;
            values->lowBrightness = p.lowBrightness;
            values->highBrightness = p.highBrightness;
        }
        return TCS_RESULT_OK;
    }
    p.duration = values->duration > 255 ? 255 : values->duration;
    uint32_t rate = values->blinkRate < 32 ? 32 : values->blinkRate > 127500 ? 127500 : values->blinkRate;
    if (event == SCS_LED_READY && p.duration == 0) {
        state->patternActive = 0;
    } else if (p.duration == 0 || rate < 32) {
        rate = 32;
    } else if (rate > p.duration * 500) {
        rate = p.duration * 500;
    }
    p.blinkRate = rate;
    if (values->dutyCycle <= 100) p.dutyCycle = values->dutyCycle;
    if (full) {
        p.rampSteps = values->rampSteps > 32 ? 32 : values->rampSteps;
        if (values->lowBrightness <= 100) p.lowBrightness = values->lowBrightness;
        if (values->highBrightness <= 100) p.highBrightness = values->highBrightness;
    }
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDSetIndicatorOverrideConfig(ScsSensor* sensor, const ScsLedOverride* values) {
    SensorLedState* state = stateOf(sensor);
    if (state == nullptr || values == nullptr) return TCS_RESULT_NULL_POINTER;
    if (!featureEnabled()) return TCS_RESULT_OK;
    LedHold hold(state);
    LedPattern& p = state->slots[kIndicatorSlot];
    if (values->enable == 0 || values->mode == 255) {
        p.duration = 0;
        return TCS_RESULT_OK;
    }
    if (values->mode != 1 && values->mode != 2) return TCS_RESULT_INVALID;
    const bool normal = values->mode == 1;
    p.port = normal ? state->normalPort : state->attentionPort;
    char key[160];
    snprintf(key, sizeof key, "%s\\events\\event6\\pattern\\LED0\\highBrightness", kLedSection);
    const uint32_t high = readLong(key, normal ? "LED_NORMAL" : "LED_ATTENTION", p.highBrightness);
    if (high <= 100) p.highBrightness = high;
    p.duration = values->duration > 255 ? 255 : values->duration;
    if (values->dutyCycle <= 100) p.dutyCycle = values->dutyCycle;
    uint32_t rate = values->blinkRate;
    if (rate < 32 || p.duration == 0) rate = 32;
    else if (rate > p.duration * 1000) rate = p.duration * 1000;
    p.blinkRate = rate;
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDSetIndicatorStatus(ScsSensor* sensor) {
    SensorLedState* state = stateOf(sensor);
    const ExternalLedConfig* config = externalOf(subsystemOf(sensor));
    if (state == nullptr || config == nullptr) return TCS_RESULT_NULL_POINTER;
    LedHold hold(state);
    state->slots[kIndicatorSlot] = config->slots[kIndicatorSlot];
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDSetIndicatorBrightness(ScsSensor* sensor, uint32_t percent) {
    SensorLedState* state = stateOf(sensor);
    if (state == nullptr) return TCS_RESULT_INVALID;
    if (percent > 100) return TCS_RESULT_BAD_PARAM;
    LedHold hold(state);
    state->slots[kIndicatorSlot].highBrightness = percent;
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDGetIndicatorBrightness(ScsSensor* sensor, uint32_t* outPercent) {
    SensorLedState* state = stateOf(sensor);
    if (outPercent == nullptr) return TCS_RESULT_NULL_POINTER;
    if (state == nullptr) return TCS_RESULT_INVALID;
    LedHold hold(state);
    *outPercent = state->slots[kIndicatorSlot].highBrightness;
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDGetIndicatorOverride(ScsSensor* sensor, ScsLedOverride* out) {
    SensorLedState* state = stateOf(sensor);
    if (out == nullptr) return TCS_RESULT_NULL_POINTER;
    if (state == nullptr) return TCS_RESULT_INVALID;
    LedHold hold(state);
    const LedPattern& p = state->lastSent;
    const bool normal = p.port == state->normalPort;
    if (state->lastSentEvent != 0 && p.duration != 0 && p.dutyCycle != 0 && (normal || p.port == state->attentionPort)) {
        out->mode = normal ? 1 : 2;
        out->blinkRate = p.blinkRate;
        out->dutyCycle = p.dutyCycle;
        out->duration = p.duration;
        out->enable = lastPatternRuns(*state) ? 1 : 0;
        return TCS_RESULT_OK;
    }
    out->mode = out->blinkRate = out->dutyCycle = out->duration = out->enable = 0;
    return TCS_RESULT_INVALID;
}

TcsResult scsSensorLEDGetIndicatorStatus(ScsSensor* sensor, uint32_t* outRunning) {
    SensorLedState* state = stateOf(sensor);
    if (outRunning == nullptr) return TCS_RESULT_NULL_POINTER;
    if (state == nullptr) return TCS_RESULT_INVALID;
    LedHold hold(state);
    *outRunning = lastPatternRuns(*state) ? 1 : 0;
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDSetEvent(ScsSensor* sensor, uint32_t event) {
    ScsSubsystem* subsystem = subsystemOf(sensor);
    SensorLedState* state = stateOf(sensor);
    if (sensor == nullptr || scsSensorValidate(sensor) != TCS_RESULT_OK || externalOf(subsystem) == nullptr ||
        state == nullptr) {
        return TCS_RESULT_INVALID;
    }
    if (!featureEnabled()) return TCS_RESULT_OK;
    if (event == SCS_LED_READY) {
        palSleep(100);
        LedHold hold(state);
        state->patternActive = 1;
        state->currentEvent = event;
        state->changed = 0;
        state->changeForCapture = 0;
        return TCS_RESULT_OK;
    }
    if (event < SCS_LED_ENROLL_ACCEPTED || event > SCS_LED_INDICATOR) return TCS_RESULT_BAD_PARAM;
    {
        LedHold hold(state);
        state->currentEvent = event;
        if (event == SCS_LED_IDLE) {
            state->patternActive = 0;
            state->previousPending = 0;
            state->slots[kIndicatorSlot].duration = 0;
            state->changed = 1;
            state->changeForCapture = 1;
        } else if (event == SCS_LED_INDICATOR) {
            state->changed = 1;
            state->changeForCapture = 1;
        }
    }
    if (auto* owner = static_cast<ScsClient*>(subsystem->ledState[0])) {
        EventRecord record{event, 0, 8, sensor};
        scsClientEventPerformCallback(owner, &record);
    }
    palSleep(150);
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDControl(ScsSensor* sensor, ScsReply callback, void* context, uint32_t* transactionId) {
    const TcsResult valid = scsSensorValidate(sensor);
    if (valid != TCS_RESULT_OK) return valid;
    SensorLedState* state = stateOf(sensor);
    ScsSensorDevice* device = sensor->device;
    if (state == nullptr || device == nullptr) return TCS_RESULT_INVALID;
    scsproto::DeviceState* protocol = scsproto::stateOf(device);
    const bool selkin = protocol != nullptr && protocol->selkin;
    ScsWitRequest request{};
    request.replyCallback = callback;
    request.context = context;
    request.transactionId = transactionId;
    uint32_t taken = 0;
    {
        LedHold hold(state);
        const uint32_t event = state->playingEvent;
        if (selkin) {
            if (state->current.port > 3) return TCS_RESULT_INVALID;
            scsargs::LedEx args{};
            scsled::buildLedEx(state->current, event, args.entries, &args.trailer);
            request.witId = scsWITSensor_CMD_LED_EX;
            scsargs::write(&request, args);
        } else {
            scsargs::Led args{scsled::buildLed(state->current, event, device->productFamily, state->header)};
            request.witId = scsWITSensor_CMD_LED;
            scsargs::write(&request, args);
        }
        if (event == SCS_LED_IDLE) {
            state->lastSentEvent = 0;
            state->lastSentDuration = 0;
            state->lastSent = LedPattern{};
        } else {
            state->lastSentEvent = event;
            state->lastSentDuration = state->current.duration;
            state->lastSent = state->current;
        }
        // The change is taken with the pattern: one that comes while the command is under way
        // stays for the next command instead of being cleared by this one.
        taken = state->changed;
        state->changed = 0;
    }
    // Sent without the lock: a send off the service thread waits for it.
    const TcsResult result = scsSensorSendCommand(sensor, &request);
    LedHold hold(state);
    if (result == TCS_RESULT_OK) {
        state->lastSendTick = palGetTickCount();
    } else if (taken != 0) {
        state->changed = 1;
    }
    return result;
}

TcsResult scsSensorLEDWithState(ScsSensor* sensor, ScsLedStateEdit edit, void* context) {
    SensorLedState* state = stateOf(sensor);
    if (state == nullptr || edit == nullptr) return TCS_RESULT_INVALID;
    LedHold hold(state);
    edit(state, context);
    return TCS_RESULT_OK;
}

TcsResult scsSensorLEDControlFromWIT(void* sensorObject, TcsResult, WorkItem* item) {
    if (item == nullptr) return TCS_RESULT_NULL_POINTER;
    auto* sensor = static_cast<ScsSensor*>(sensorObject);
    SensorLedState* state = stateOf(sensor);
    if (state == nullptr || scsSensorValidate(sensor) != TCS_RESULT_OK) {
        endItem(item, TCS_RESULT_INVALID);
        return TCS_RESULT_INVALID;
    }
    uint64_t& step = *scsWitSubState(item);
    if (step == 0) {
        if (readLong(kLedSection, "useLEDGetprintPatch", 1) != 1) {
            endItem(item, TCS_RESULT_OK);
            return TCS_RESULT_OK;
        }
        const TcsResult patched = scsDownloadGetPrintPatch(sensor, 2);
        if (patched != TCS_RESULT_OK) {
            endItem(item, patched);
            return patched;
        }
        step = 1;
        return TCS_RESULT_OK;
    }
    if (step == 1) {
        {
            int slot = -1;
            LedHold hold(state);
            uint32_t event = state->currentEvent;
            switch (item->type) {
                case scsWitIdLedActivate: event = SCS_LED_ACTIVATE; slot = 5; break;
                case scsWitIdLedEnrollAccepted: event = SCS_LED_ENROLL_ACCEPTED; slot = 1; break;
                case scsWitIdLedEnrollRejected: event = SCS_LED_ENROLL_REJECTED; slot = 2; break;
                case scsWitIdLedIdentifyAccepted: event = SCS_LED_SWIPE_ACCEPTED; slot = 3; break;
                case scsWitIdLedIdentifyRejected: event = SCS_LED_SWIPE_REJECTED; slot = 4; break;
                case scsWitIdLedProcessIdle: event = SCS_LED_IDLE; break;
                case scsWitIdLedIndicatorOverride: event = SCS_LED_INDICATOR; slot = int(kIndicatorSlot); break;
                default: break;
            }
            if (slot >= 0) state->current = state->slots[slot];
            state->playingEvent = event;
        }
        step = 2;
        *scsWitState(item) = SCS_WIT_STATE_WAIT;
        const TcsResult result = scsSensorLEDControl(sensor, ledReply, item, nullptr);
        if (result != TCS_RESULT_OK) endItem(item, result);
        return result;
    }
    // Step 2: the reply ends the item.
    if (*scsWitState(item) != SCS_WIT_STATE_DONE) *scsWitState(item) = SCS_WIT_STATE_WAIT;
    return TCS_RESULT_OK;
}

}  // extern "C"
