// Print configuration: stand-in until the print-configuration work lands. Without fingerprint
// encryption the data passes unchanged, which is what this body does.
#include "tcs/sensorctl/print_config.h"

// Weak, so the real body wins wherever it is linked in, without a duplicate definition.
#define SCS_STAND_IN __attribute__((weak))

