# The contract as a package a client team's build takes:
#   find_package(qm-overlay-sdk CONFIG REQUIRED)
#   target_link_libraries(<their library> PRIVATE qm::overlay-sdk)
# It holds the contract headers, the lock header, and import libraries for the host's exports in
# GCC's and (where built) MSVC's names.
include(CMakePackageConfigHelpers)

set_target_properties(qm-overlay PROPERTIES ENABLE_EXPORTS ON)

# The same target inside this build, for the reference libraries: their CMake reads as a team's.
add_library(qm_overlay_sdk INTERFACE)
target_include_directories(qm_overlay_sdk INTERFACE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})
target_link_libraries(qm_overlay_sdk INTERFACE $<TARGET_LINKER_FILE:qm-overlay>)
add_dependencies(qm_overlay_sdk qm-overlay)
add_library(qm::overlay-sdk ALIAS qm_overlay_sdk)

install(TARGETS qm-overlay RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(DIRECTORY include/qm DESTINATION include)
install(FILES common/Locks.h DESTINATION include/common)
install(FILES include/README.md DESTINATION share/qm-overlay-sdk)
if(MINGW AND CMAKE_SIZEOF_VOID_P EQUAL 8 AND QM_BUILD_SAMPLES)
  install(FILES ${CMAKE_BINARY_DIR}/lib/msvc/qm-overlay.lib DESTINATION lib/msvc OPTIONAL)
endif()

configure_package_config_file(cmake/qm-overlay-sdkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/qm-overlay-sdkConfig.cmake
  INSTALL_DESTINATION lib/cmake/qm-overlay-sdk)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/qm-overlay-sdkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/qm-overlay-sdkConfig.cmake ${CMAKE_BINARY_DIR}/qm-overlay-sdkConfigVersion.cmake
  DESTINATION lib/cmake/qm-overlay-sdk)
