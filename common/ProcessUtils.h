#pragma once
#include <cstdint>

namespace base::process {

// The id of the first running process whose executable file name equals `exeName` in any letter
// case (a bare name with extension: a path never matches); 0 when there is none, and for an empty
// name.
uint32_t FindProcessIdByName(const wchar_t* exeName);

}  // namespace base::process
