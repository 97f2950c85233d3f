// The platform layer's core interface in one include.
#pragma once

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/list.h"
#include "platform/memory.h"
#include "platform/settings.h"
#include "platform/subsystem.h"
#include "platform/test_seams.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "platform/worklist.h"
