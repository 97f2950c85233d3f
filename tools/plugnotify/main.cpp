// tovplug: run on a USB plug event; tells the listener on /tmp/NP2. The arguments are ignored.
#include "tools/plugnotify/plug_notify.h"

#include <stdlib.h>

int main() {
    return tovplug::notifyPlugEvent({tovplug::kPipePath, stdout, [](const char* cmd) { return system(cmd); }});
}
