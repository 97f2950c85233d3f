// The usage text.
#include "tools/sensor/cli/sensor_tool.h"
#include <stdio.h>
void usage() { printf("Usage: \n"); }
