#include "crash/OverlayException.h"
