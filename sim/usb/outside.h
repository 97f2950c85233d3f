// Virtual sensor driven from outside the process that runs it (the service stand-in's sensors).
#pragma once

#include <string>

namespace simusb {

// Driven from outside the process (the service stand-in's sensors). plugListedSensors plugs the
// sensors listed in "<dir>/sensors", one a line: "<serial> [<product id, hex> [<variant> [<bus>
// [<firmware major.minor> [<finger state>]]]]]"; a sensor that has no stored version yet gets a ROM
// firmware of the version given, with a finger resting on it (finger state 2) unless the line gives
// 0: no finger, so that its captures wait. watchStateDirectory keeps following that file on a thread of its own (new lines
// are plugged, removed ones unplugged) and takes up "<dir>/<serial>.swipe" holding
// "<finger> [<take>]": synthetic finger <finger>, impression <take>, rendered at once and swiped
// over that sensor by presentSwipes (which renders a file not yet taken up itself), called by the
// program running the stack when a sensor asks for a swipe (its sensor event 8), as the person at
// the sensor would. stopWatching ends the thread and unplugs what it plugged.
int plugListedSensors(const std::string& directory);
void watchStateDirectory(const std::string& directory);
void presentSwipes();
void stopWatching();

}  // namespace simusb
