#include "tools/sensor/cli/sensor_tool.h"
int SensorGetPrint(int, char**) { return 0; }
int SensorStopPrint(int, char**) { return 0; }
int SensorGetPrintBulk(int, char**) { return 0; }
int SensorSPITransfer(int, char**) { return 0; }
int SensorSPIBulkRead(int, char**) { return 0; }
int SensorSPIFlashWrite(int, char**) { return 0; }
int SensorGetPrintWait(int, char**) { return 0; }
int SensorGetFlashInfo(int, char**) { return 0; }
int SensorGetPrintSignature(int, char**) { return 0; }
