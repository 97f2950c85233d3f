// Entry of the sensor program.
#include "tools/sensor/cli/sensor_tool.h"

int main(int argc, char** argv) {
    return SensorMain(argc, argv);
}
