# Libraries in MSVC's x64 ABI, built here as the teams that use MSVC build theirs: Debian's clang
# for the x86_64-pc-windows-msvc target and lld-link. MSVC's own headers and runtime are not
# there, so the Windows headers are mingw-w64's (told that a GCC compiles them, so that they keep
# their attribute form), the few C++ headers the contracts use come from samples/msvc/include, and
# every library links no C or C++ runtime: samples/msvc/NoRuntime.cpp holds what it needs of one.

find_program(QM_MSVC_CXX clang++)
find_program(QM_LLD_LINK lld-link)
find_program(QM_LLVM_DLLTOOL llvm-dlltool)
find_program(QM_LLVM_READOBJ llvm-readobj)
foreach(_qm_tool QM_MSVC_CXX QM_LLD_LINK QM_LLVM_DLLTOOL QM_LLVM_READOBJ)
  if(NOT ${_qm_tool})
    message(FATAL_ERROR "${_qm_tool}: not found; scripts/setup.sh installs clang, lld and llvm")
  endif()
endforeach()

execute_process(COMMAND ${QM_MSVC_CXX} -print-resource-dir OUTPUT_VARIABLE _qm_clang_resources
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(QM_MSVC_SYSROOT "/usr/x86_64-w64-mingw32" CACHE PATH "mingw-w64's headers and import libraries")
set(QM_MSVC_SUPPORT_DIR "${PROJECT_SOURCE_DIR}/samples/msvc")

set(QM_MSVC_FLAGS
  --target=x86_64-pc-windows-msvc -fms-compatibility -fms-extensions
  -D__GNUC__=4 -D__GNUC_MINOR__=2 -D__GNUC_PATCHLEVEL__=1
  -nostdinc -isystem ${QM_MSVC_SUPPORT_DIR}/include -isystem ${_qm_clang_resources}/include
  -isystem ${QM_MSVC_SYSROOT}/include
  -I${PROJECT_SOURCE_DIR}/include -I${PROJECT_SOURCE_DIR}
  -Wall -Wextra)
foreach(_qm_definition IN LISTS QM_WINDOWS_DEFINITIONS)
  list(APPEND QM_MSVC_FLAGS -D${_qm_definition})
endforeach()
# No runtime: no exceptions, no RTTI (its tables name the runtime's type_info), no guarded statics,
# no stack cookies and no stack probes.
set(QM_MSVC_CODE_FLAGS -std=c++17 -O2 -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
    -mno-stack-arg-probe)
if(QM_WARNINGS_AS_ERRORS)
  list(APPEND QM_MSVC_CODE_FLAGS -Werror)
endif()

# The object of `source` in MSVC's ABI for `target`, into `out_var`.
function(qm_msvc_object out_var target source)
  get_filename_component(_name ${source} NAME_WE)
  get_filename_component(_source ${source} ABSOLUTE)
  set(_object ${CMAKE_CURRENT_BINARY_DIR}/${target}.dir/${_name}.obj)
  add_custom_command(
    OUTPUT ${_object}
    COMMAND ${QM_MSVC_CXX} ${QM_MSVC_FLAGS} ${QM_MSVC_CODE_FLAGS} -MD -MF ${_object}.d -c ${_source} -o ${_object}
    DEPENDS ${_source}
    DEPFILE ${_object}.d
    COMMENT "Compiling ${_name}.cpp in MSVC's ABI"
    VERBATIM)
  set(${out_var} ${_object} PARENT_SCOPE)
endfunction()

# qm_msvc_library(<target> <dll path> SOURCES <files> LIBS <system libraries> [IMPORTS <import libraries>]
#                 [DEPENDS <targets>])
function(qm_msvc_library target dll)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;IMPORTS;DEPENDS" ${ARGN})
  set(_objects)
  foreach(_source IN LISTS ARG_SOURCES ITEMS ${QM_MSVC_SUPPORT_DIR}/NoRuntime.cpp)
    qm_msvc_object(_object ${target} ${_source})
    list(APPEND _objects ${_object})
  endforeach()
  set(_libs)
  foreach(_lib IN LISTS ARG_LIBS)
    list(APPEND _libs ${QM_MSVC_SYSROOT}/lib/lib${_lib}.a)
  endforeach()
  get_filename_component(_dir ${dll} DIRECTORY)
  get_filename_component(_name ${dll} NAME_WE)
  file(MAKE_DIRECTORY ${_dir} ${CMAKE_BINARY_DIR}/lib/msvc)
  add_custom_command(
    OUTPUT ${dll}
    COMMAND ${QM_LLD_LINK} /nologo /dll /nodefaultlib /entry:_DllMainCRTStartup /machine:x64 /opt:ref
            /out:${dll} /implib:${CMAKE_BINARY_DIR}/lib/msvc/${_name}.lib ${_objects} ${_libs} ${ARG_IMPORTS}
    DEPENDS ${_objects} ${ARG_IMPORTS} ${ARG_DEPENDS}
    COMMENT "Linking ${_name}.dll in MSVC's ABI"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${dll})
endfunction()

# An import library for the host's exports under MSVC's decorated names, from the names the built
# executable really exports: a member renamed or dropped there fails the link of whatever imports it.
function(qm_msvc_host_import_library out_var host_target)
  set(_def ${CMAKE_BINARY_DIR}/lib/msvc/qm-overlay.def)
  set(_lib ${CMAKE_BINARY_DIR}/lib/msvc/qm-overlay.lib)
  add_custom_command(
    OUTPUT ${_def} ${_lib}
    COMMAND ${CMAKE_COMMAND} -DREADOBJ=${QM_LLVM_READOBJ} -DIMAGE=$<TARGET_FILE:${host_target}> -DDEF=${_def}
            -P ${PROJECT_SOURCE_DIR}/cmake/MsvcHostExports.cmake
    COMMAND ${QM_LLVM_DLLTOOL} -m i386:x86-64 -d ${_def} -l ${_lib}
    DEPENDS ${host_target} ${PROJECT_SOURCE_DIR}/cmake/MsvcHostExports.cmake
    COMMENT "Import library for the host's MSVC-named exports"
    VERBATIM)
  set(${out_var} ${_lib} PARENT_SCOPE)
endfunction()

# `source`, which includes headers that libraries built with MSVC include, compiles warning-free in
# MSVC's mode as C++14 (MSVC's default) and C++17: every static_assert in them holds under MSVC's
# layout rules.
function(qm_msvc_check_headers target source)
  get_filename_component(_source ${source} ABSOLUTE)
  set(_stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.stamp)
  add_custom_command(
    OUTPUT ${_stamp}
    COMMAND ${QM_MSVC_CXX} ${QM_MSVC_FLAGS} -std=c++14 -Werror -fsyntax-only -MD -MF ${_stamp}.d -MT ${_stamp}
            ${_source}
    COMMAND ${QM_MSVC_CXX} ${QM_MSVC_FLAGS} -std=c++17 -Werror -fsyntax-only ${_source}
    COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
    DEPENDS ${_source}
    DEPFILE ${_stamp}.d
    COMMENT "Contract headers in MSVC's mode, C++14 and C++17"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${_stamp})
endfunction()
