#pragma once
// CPU time of another process as Linux counts it. Under Wine, GetProcessTimes of another process
// reads 0, while every Windows process is a Unix process whose /proc entry the file system shows as
// Z:\proc. Windows-only builds find nothing and report it.
#include <string>

namespace bench {

// The Unix process id of the running program whose command line holds `executable` and `argument`
// (case aside), or 0. Wine shows a program's full Windows path there: with it, programs of the
// same name run by other Wine prefixes on the machine are not taken for this one.
int FindUnixPid(const std::wstring& executable, const std::wstring& argument);

// The Wine server of this program's prefix, or 0: other prefixes' servers may run on the machine.
int FindWineServerPid();
// The X server of this program's display (an Xvfb), or 0.
int FindXServerPid();

// User plus system time of that process and all its threads, in seconds; negative once it is gone.
double UnixCpuSeconds(int unixPid);

// A "<field>: <n> kB" line of that process's /proc status (VmRSS, RssAnon...), in kB; -1 if absent.
long long UnixStatusKb(int unixPid, const char* field);

}  // namespace bench
