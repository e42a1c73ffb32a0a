# Cross build of the 64-bit Windows host with Debian's clang in place of GCC, on the same mingw-w64
# headers, import libraries and C++ library: a second compiler's reading of the same code.
set(QM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${QM_MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${QM_MINGW_PREFIX})

# clang 14 takes Debian's GCC folder for the target ("12-posix") for no version, so it finds
# neither its C++ library nor its runtime libraries by itself: they are named here. lld links
# (GNU ld wants the thread library after the C++ library, where clang's driver cannot put it).
file(GLOB _qm_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${QM_MINGW_PREFIX}/*-posix)
list(SORT _qm_gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _qm_gcc_dirs 0 _qm_gcc)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${_qm_gcc}/include/c++ ${_qm_gcc}/include/c++/${QM_MINGW_PREFIX} ${_qm_gcc}/include/c++/backward)
# GCC's libraries for the target keep thread-local variables (std::call_once's among them) as
# emulated TLS: clang must reach them the same way.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls")
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -fuse-ld=lld -L${_qm_gcc} -lpthread")
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -fuse-ld=lld -L${_qm_gcc} -lpthread")
