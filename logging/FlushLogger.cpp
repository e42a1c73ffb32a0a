#include "logging/FlushLogger.h"

FlushLogger gLogger;
