#include "render/D3D9OOPManager.h"
