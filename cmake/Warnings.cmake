option(QM_WARNINGS_AS_ERRORS "Fail the build on a warning in the project's own code" OFF)

function(qm_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8 /EHa)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
  if(QM_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE $<IF:$<BOOL:${MSVC}>,/WX,-Werror>)
  endif()
endfunction()

# Wide GUI entry point (wWinMain) for the product and the sample programs.
function(qm_wide_entry target)
  if(MINGW)
    target_link_options(${target} PRIVATE -municode)
  endif()
endfunction()
