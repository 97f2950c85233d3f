// LED control: stand-in bodies until the LED work lands. Loading and freeing a handle's LED
// configuration report success so that opening a sensor does not depend on it.
#include "tcs/sensorctl/led.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

SCS_STAND_IN TcsResult scsGetExternalLEDConfig(void**) { return TCS_RESULT_NOT_IMPLEMENTED; }
SCS_STAND_IN TcsResult scsSensorLoadLEDConfig(ScsSensor*) { return TCS_RESULT_OK; }
SCS_STAND_IN TcsResult scsSensorFreeLEDConfig(ScsSensor*) { return TCS_RESULT_OK; }
SCS_STAND_IN TcsResult scsSensorLEDControlFromWIT(ScsSensorDevice*, TcsResult, WorkItem*) { return TCS_RESULT_NOT_IMPLEMENTED; }
