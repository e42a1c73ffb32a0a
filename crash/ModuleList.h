#pragma once

namespace Overlay::Crash {

// Every image loaded in the process, with its headers, file and version data, into the report
// buffer.
void WriteModuleList();

}  // namespace Overlay::Crash
