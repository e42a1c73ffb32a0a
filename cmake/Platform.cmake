# The Windows headers' switches, one list for every program of the project (the 32-bit samples
# project includes this file as well).
set(QM_WINDOWS_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)

function(qm_windows_definitions target)
  target_compile_definitions(${target} PUBLIC ${QM_WINDOWS_DEFINITIONS})
endfunction()
