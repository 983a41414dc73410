cmake_minimum_required(VERSION 3.25)
# Installs the build into a scratch prefix and checks that the help pages
# land beside the program, where it looks for them.
set(prefix "${BINARY_DIR}/install-check")
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BINARY_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(name lumenkeeper-cli lumenkeeper_en.html lumenkeeper_fr.html lumenkeeper_de.html lumenkeeper.css)
  if(NOT EXISTS "${prefix}/bin/${name}")
    message(FATAL_ERROR "${name} is not installed in bin/")
  endif()
endforeach()
file(REMOVE_RECURSE "${prefix}")
message(STATUS "install: the program and its help pages are installed together")
