// The SDK's log-mode constants, defined and exported by this module.
#include "keel.h"

const int Keel::LOG_OFF = 0;
const int Keel::LOG_CONSOLE = 1;
const int Keel::LOG_FILE = 2;
