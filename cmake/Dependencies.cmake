# jsoncpp and GoogleTest. On the Debian build machines both come as sources (scripts/setup.sh fetches
# them) and are built here with the same toolchain; elsewhere (e.g. vcpkg on Windows) installed
# packages are used.

set(QM_CACHE_DIR "${CMAKE_CURRENT_SOURCE_DIR}/.cache" CACHE PATH "Where scripts/setup.sh keeps fetched sources")

# `out_var` (unless set already): the folder matching `pattern` in the cache that holds `marker`.
function(qm_cached_sources out_var pattern marker)
  if(${out_var})
    return()
  endif()
  file(GLOB _dirs LIST_DIRECTORIES true "${QM_CACHE_DIR}/${pattern}")
  foreach(_d IN LISTS _dirs)
    if(EXISTS "${_d}/${marker}")
      set(${out_var} "${_d}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

qm_cached_sources(QM_JSONCPP_SOURCE_DIR "jsoncpp/libjsoncpp-*" CMakeLists.txt)

if(QM_JSONCPP_SOURCE_DIR)
  set(JSONCPP_WITH_TESTS OFF CACHE BOOL "" FORCE)
  set(JSONCPP_WITH_POST_BUILD_UNITTEST OFF CACHE BOOL "" FORCE)
  set(JSONCPP_WITH_PKGCONFIG_SUPPORT OFF CACHE BOOL "" FORCE)
  set(JSONCPP_WITH_CMAKE_PACKAGE OFF CACHE BOOL "" FORCE)
  set(JSONCPP_WITH_EXAMPLE OFF CACHE BOOL "" FORCE)
  set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
  set(BUILD_STATIC_LIBS ON CACHE BOOL "" FORCE)
  set(BUILD_OBJECT_LIBS OFF CACHE BOOL "" FORCE)
  add_subdirectory("${QM_JSONCPP_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/jsoncpp" EXCLUDE_FROM_ALL SYSTEM)
  # Its classes carry export attributes, so that the executable exports their members.
  target_compile_definitions(jsoncpp_static PRIVATE JSON_DLL_BUILD)
  if(NOT MSVC)
    target_compile_options(jsoncpp_static PRIVATE -Wno-unknown-pragmas)
  endif()
else()
  find_package(jsoncpp CONFIG REQUIRED)
  if(NOT TARGET jsoncpp_static)
    add_library(jsoncpp_static ALIAS JsonCpp::JsonCpp)
  endif()
endif()

# Dear ImGui with its Direct3D 11 and Win32 backends, for the second reference client: Debian's
# sources built here, or vcpkg's "imgui" (features dx11-binding and win32-binding).
qm_cached_sources(QM_IMGUI_SOURCE_DIR "imgui/imgui-*" backends/imgui_impl_dx11.cpp)
if(QM_IMGUI_SOURCE_DIR)
  add_library(qm_imgui STATIC
    ${QM_IMGUI_SOURCE_DIR}/imgui.cpp
    ${QM_IMGUI_SOURCE_DIR}/imgui_draw.cpp
    ${QM_IMGUI_SOURCE_DIR}/imgui_tables.cpp
    ${QM_IMGUI_SOURCE_DIR}/imgui_widgets.cpp
    ${QM_IMGUI_SOURCE_DIR}/backends/imgui_impl_dx11.cpp
    ${QM_IMGUI_SOURCE_DIR}/backends/imgui_impl_win32.cpp)
  target_include_directories(qm_imgui SYSTEM PUBLIC ${QM_IMGUI_SOURCE_DIR} ${QM_IMGUI_SOURCE_DIR}/backends)
  target_compile_definitions(qm_imgui PUBLIC UNICODE _UNICODE NOMINMAX)
  target_link_libraries(qm_imgui PUBLIC d3d11 d3dcompiler_47 dwmapi)
  if(NOT MSVC)
    target_compile_options(qm_imgui PRIVATE -w)  # not our code: its warnings are its own
  endif()
else()
  find_package(imgui CONFIG)
  if(TARGET imgui::imgui)
    add_library(qm_imgui ALIAS imgui::imgui)
  endif()
endif()

if(QM_BUILD_TESTS)
  set(QM_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
  if(EXISTS "${QM_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory("${QM_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest CONFIG REQUIRED)
    if(NOT TARGET gtest)
      add_library(gtest ALIAS GTest::gtest)
    endif()
  endif()
endif()
