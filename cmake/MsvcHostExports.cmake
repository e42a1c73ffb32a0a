# cmake -DREADOBJ=<llvm-readobj> -DIMAGE=<qm-overlay.exe> -DDEF=<out.def> -P MsvcHostExports.cmake
# Writes a module definition of the image's exports under MSVC's decorated names ("?..."), read
# from its export table.
execute_process(COMMAND ${READOBJ} --coff-exports ${IMAGE} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "Name: \\?[^\r\n]+" names "${listing}")
if(NOT names)
  message(FATAL_ERROR "${IMAGE} exports nothing under MSVC's names")
endif()
get_filename_component(image_name ${IMAGE} NAME)
set(text "LIBRARY ${image_name}\nEXPORTS\n")
foreach(name IN LISTS names)
  string(REPLACE "Name: " "" name "${name}")
  string(APPEND text "  ${name}\n")
endforeach()
file(WRITE ${DEF} "${text}")
