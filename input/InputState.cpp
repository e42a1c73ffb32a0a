#include "input/InputState.h"

#include "input/OOPHooksManager.h"

InputState::InputState() { OOPHooksManager::ApplyConfigurationDefaults(&configuration); }
