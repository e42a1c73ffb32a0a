// mingw-w64 only: base::CriticalSection under the names an MSVC-built library imports it by.
// GCC exports the members under their Itanium names, which MSVC code can never ask for; an MSVC
// build of the host exports the real members under these names and does not compile this file.
//
// On x64 both compilers pass `this` in RCX, return bool in AL and lay the object out the same way
// (vtable pointer, then the CRITICAL_SECTION), so each thunk is the member call with `this` made
// explicit. The one difference is the constructor: MSVC's returns `this` in RAX, and its caller
// may use it. MSVC's complete destructor (??1) returns nothing, so that thunk returns nothing too.
#include <new>

#include "common/Locks.h"

#if !defined(__GNUC__) || !defined(_WIN64)
#error "only the mingw-w64 x64 build exports the lock under MSVC's names"
#endif

static_assert(sizeof(base::CriticalSection) == sizeof(void*) + sizeof(CRITICAL_SECTION),
              "an MSVC-built caller reserves a vtable pointer and the section, nothing else");

extern "C" {

__attribute__((used)) void* qm_msvc_CriticalSection_ctor(void* self) {
    return new (self) base::CriticalSection();
}
__attribute__((used)) void qm_msvc_CriticalSection_dtor(base::CriticalSection* self) {
    self->base::CriticalSection::~CriticalSection();
}
__attribute__((used)) void qm_msvc_CriticalSection_Lock(base::CriticalSection* self) { self->Lock(); }
__attribute__((used)) void qm_msvc_CriticalSection_Unlock(base::CriticalSection* self) { self->Unlock(); }
__attribute__((used)) bool qm_msvc_CriticalSection_TryLock(base::CriticalSection* self) { return self->TryLock(); }

}  // extern "C"

// GCC cannot spell these names in a declaration ('?' is no symbol character to the assembler
// unless quoted), so they are set here as quoted aliases and exported through the linker
// directives section, as __declspec(dllexport) does for the Itanium names.
#define QM_MSVC_EXPORT(decorated, thunk)    \
    ".globl \"" decorated "\"\n"            \
    ".set \"" decorated "\", " thunk "\n"   \
    ".section .drectve\n"                   \
    ".ascii \" -export:\\\"" decorated "\\\"\"\n" \
    ".text\n"

asm(QM_MSVC_EXPORT("??0CriticalSection@base@@QEAA@XZ", "qm_msvc_CriticalSection_ctor")
    QM_MSVC_EXPORT("??1CriticalSection@base@@UEAA@XZ", "qm_msvc_CriticalSection_dtor")
    QM_MSVC_EXPORT("?Lock@CriticalSection@base@@QEAAXXZ", "qm_msvc_CriticalSection_Lock")
    QM_MSVC_EXPORT("?Unlock@CriticalSection@base@@QEAAXXZ", "qm_msvc_CriticalSection_Unlock")
    QM_MSVC_EXPORT("?TryLock@CriticalSection@base@@QEAA_NXZ", "qm_msvc_CriticalSection_TryLock"));
