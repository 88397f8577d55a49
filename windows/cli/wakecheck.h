#pragma once

#include "consolestream.h"

// corvalen-cli --check: whether this machine is ready to be woken through each of
// its wired adapters. Reads what any user may read and opens no socket; returns
// the exit status.
int WakeCheck(bool json, ConsoleStream &out);
