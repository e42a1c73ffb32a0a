#pragma once
#include "core/IOOPManager.h"

class CommandLineArgs;

// The manager type that the command line asks for (never 0: Direct3D 9 is not chosen at start-up).
int SelectManagerType();
int SelectManagerType(const CommandLineArgs& cmd);

// An owning pointer to a new manager, or nullptr for a number outside 0..3.
IOOPManager* CreateManager(int type);
