// A child process for the tests: "exit N" ends with exit code N (decimal, signed or 0x hex),
// "sleep MS" sleeps and ends with 0.
#include <windows.h>

#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"exit") == 0) {
        const long long v = std::wcstoll(argv[2], nullptr, 0);
        ::ExitProcess(static_cast<UINT>(v));
    }
    if (argc >= 3 && std::wcscmp(argv[1], L"sleep") == 0) {
        ::Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    return 2;
}
