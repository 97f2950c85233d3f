// LED control: the external LED configuration, per-handle LED state, LED events and the LED
// commands (0x24, and 0x2a on Selkin-chip devices) built from a pattern.
#pragma once

#include "tcs/sensorctl/engine/scs_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

// Blink rate (period in ms), duty (percent), duration (s, at most 255), ramp steps (at most 32),
// low and high brightness (percent), LED port (0-3).
typedef struct LedPattern {
    uint32_t blinkRate;
    uint32_t dutyCycle;
    uint32_t duration;
    uint32_t rampSteps;
    uint32_t lowBrightness;
    uint32_t highBrightness;
    uint32_t port;
} LedPattern;

// LED events.
enum {
    SCS_LED_READY = 23,
    SCS_LED_ENROLL_ACCEPTED = 24,
    SCS_LED_ENROLL_REJECTED = 25,
    SCS_LED_SWIPE_ACCEPTED = 26,
    SCS_LED_SWIPE_REJECTED = 27,
    SCS_LED_IDLE = 28,
    SCS_LED_ACTIVATE = 29,
    SCS_LED_INDICATOR = 30,
};

// {u32 size (16 or 28), blink rate, duty, duration[, ramp steps, low, high brightness]}.
typedef struct ScsLedConfigValues {
    uint32_t size;
    uint32_t blinkRate;
    uint32_t dutyCycle;
    uint32_t duration;
    uint32_t rampSteps;
    uint32_t lowBrightness;
    uint32_t highBrightness;
} ScsLedConfigValues;

// Indicator override: mode 1 normal, 2 attention, 255 off. Read back, enable holds "running".
typedef struct ScsLedOverride {
    uint32_t size;
    uint32_t enable;
    uint32_t mode;
    uint32_t blinkRate;
    uint32_t dutyCycle;
    uint32_t duration;
} ScsLedOverride;

// The LED state of a sensor handle. Events and pattern changes come on the callers' threads while
// the service thread builds and sends LED commands from it, so it is read and written only under its
// lock. A capture keeps its own LED bookkeeping here too (scsSensorLEDWithState).
typedef struct ScsLedState {
    uint32_t patternActive;    // set by event 23: the ready pattern is due before the next capture
    uint32_t changed;          // set by events 28 and 30, cleared by event 23 and by each send
    uint32_t previousPending;  // a capture shows the last event again; cleared by event 28
    uint32_t waitEnded;        // a change of the LED ended a capture's finger wait
    // Set with the change flag by events 28 and 30, cleared only by a capture that takes it up: the
    // LED owner's own send of the event clears the change flag, and a capture waiting for the finger
    // must still end its wait for it.
    uint32_t changeForCapture;
    uint32_t currentEvent;
    uint32_t lastSentEvent;
    uint32_t lastSendTick;
    uint32_t secondsLeft;      // of the event a capture shows again
    uint32_t lastSentDuration;
    LedPattern lastSent;
    uint32_t playingEvent;
    LedPattern current;        // what the next LED command shows, as playingEvent
    uint32_t header;
    uint32_t normalPort;
    uint32_t attentionPort;
    uint32_t reserved255;
    LedPattern slots[7];       // events 23, 24, 25, 26, 27, 29 and the indicator (event 30)
    PalMutexHandle lock;
} ScsLedState;

#define SCS_LED_INDICATOR_SLOT 6u

// Slot of the pattern of events 23-27 and 29; -1 for the others.
int32_t scsLedSlotOf(uint32_t event);

// Fills the LED configuration (after the state's first word) from the settings store.
TcsResult scsGetExternalLEDConfig(void** ledState);
TcsResult scsSensorLoadLEDConfig(ScsSensor* sensor);
TcsResult scsSensorFreeLEDConfig(ScsSensor* sensor);
TcsResult scsSensorLoadDefaultLEDConfig(ScsSensor* sensor);
TcsResult scsSensorSaveLEDConfig(ScsSensor* sensor);
TcsResult scsSensorLEDEnable(uint32_t enable);
TcsResult scsSensorIsLEDEnabled(uint32_t* outEnabled);
TcsResult scsSensorLEDConfig(ScsSensor* sensor, uint32_t event, ScsLedConfigValues* values, uint32_t write);
TcsResult scsSensorLEDSetIndicatorOverrideConfig(ScsSensor* sensor, const ScsLedOverride* values);
TcsResult scsSensorLEDSetIndicatorStatus(ScsSensor* sensor);
TcsResult scsSensorLEDSetIndicatorBrightness(ScsSensor* sensor, uint32_t percent);
TcsResult scsSensorLEDGetIndicatorBrightness(ScsSensor* sensor, uint32_t* outPercent);
TcsResult scsSensorLEDGetIndicatorOverride(ScsSensor* sensor, ScsLedOverride* out);
TcsResult scsSensorLEDGetIndicatorStatus(ScsSensor* sensor, uint32_t* outRunning);
// Sleeps in the caller's thread: 100 ms before event 23, 150 ms after events 24-30.
TcsResult scsSensorLEDSetEvent(ScsSensor* sensor, uint32_t event);
TcsResult scsSensorLEDControl(ScsSensor* sensor, ScsReply callback, void* context, uint32_t* transactionId);
// Runs edit on the sensor's LED state under its lock (edit must not call back into LED control);
// 7 when the sensor has no LED state.
typedef void (*ScsLedStateEdit)(ScsLedState* state, void* context);
TcsResult scsSensorLEDWithState(ScsSensor* sensor, ScsLedStateEdit edit, void* context);
// Handler of the LED work items; sensorObject is the item's object, the sensor handle the LED event
// named. Sets the item's state itself.
TcsResult scsSensorLEDControlFromWIT(void* sensorObject, TcsResult result, WorkItem* item);

#ifdef __cplusplus
}

#include "tcs/sensorctl/protocol/wire_format.h"

namespace scsled {

// The command payloads a pattern turns into; off is event 28, duration 0 or duty 0.
scswire::LedState buildLed(const LedPattern& pattern, uint32_t event, uint32_t family, uint32_t header);
void buildLedEx(const LedPattern& pattern, uint32_t event, scswire::LedEntry entries[16], uint32_t* total);

}  // namespace scsled
#endif
