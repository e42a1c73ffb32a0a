// What a library built in MSVC's ABI without a C or C++ runtime needs from one: the entry point the
// linker starts it at (running the constructors of its globals, as the runtime's would), the memory
// functions the compiler calls by itself, the handler that abstract classes' tables name, and the
// marker the compiler asks for wherever floating point is used.
#include <windows.h>

#include <cstddef>

extern "C" {

int _fltused = 0;

// A pure virtual call is a bug in the library: end the process as the runtime does.
int __cdecl _purecall() {
    ::TerminateProcess(::GetCurrentProcess(), 3);
    return 0;
}

// The compiler does not turn the loops of functions with these names into calls of themselves.
void* __cdecl memset(void* destination, int value, size_t count) {
    unsigned char* d = static_cast<unsigned char*>(destination);
    while (count--) *d++ = static_cast<unsigned char>(value);
    return destination;
}

void* __cdecl memcpy(void* destination, const void* source, size_t count) {
    unsigned char* d = static_cast<unsigned char*>(destination);
    const unsigned char* s = static_cast<const unsigned char*>(source);
    while (count--) *d++ = *s++;
    return destination;
}

}  // extern "C"

// Dynamic initialisers of globals sit between these two in the linker's order of ".CRT$XC*".
// A global that needs a destructor at exit asks for atexit, which is left out on purpose: such a
// library fails to link instead of leaking its cleanup.
using Initializer = void(__cdecl*)();
#pragma section(".CRT$XCA", read)
#pragma section(".CRT$XCZ", read)
__declspec(allocate(".CRT$XCA")) static const Initializer gFirstInitializer = nullptr;
__declspec(allocate(".CRT$XCZ")) static const Initializer gLastInitializer = nullptr;

extern "C" BOOL WINAPI _DllMainCRTStartup(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        ::DisableThreadLibraryCalls(instance);
        for (const Initializer* i = &gFirstInitializer + 1; i < &gLastInitializer; ++i) {
            if (*i) (*i)();
        }
    }
    return TRUE;
}
