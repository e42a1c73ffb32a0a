#include "render/D3D11OOPManager.h"
