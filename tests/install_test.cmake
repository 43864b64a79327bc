# Checks `cmake --install`: both programs, byte for byte as built, and both
# man pages with the project's version, under a fresh prefix.
# cmake -DBUILD_DIR=... -DPREFIX=... -DVERSION=... [-DGROFF=...] -P install_test.cmake
foreach(variable BUILD_DIR PREFIX VERSION)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(failures 0)
macro(check condition message)
  if(NOT (${condition}))
    message(SEND_ERROR "${message}")
    math(EXPR failures "${failures} + 1")
  endif()
endmacro()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
message(STATUS "${output}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status})")
endif()

foreach(name nimbrel-probe nimbrel-tap)
  string(REGEX REPLACE "^nimbrel-" "" folder "${name}")
  set(built "${BUILD_DIR}/${folder}/${name}")
  set(installed "${PREFIX}/bin/${name}")
  check("EXISTS \"${installed}\"" "${installed} is missing")
  if(EXISTS "${installed}")
    execute_process(COMMAND test -x "${installed}" RESULT_VARIABLE executable)
    check("executable EQUAL 0" "${installed} is not executable")
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${built}" "${installed}"
                    RESULT_VARIABLE different)
    check("different EQUAL 0" "${installed} differs from ${built}")
  endif()

  set(page "${PREFIX}/share/man/man1/${name}.1")
  check("EXISTS \"${page}\"" "${page} is missing")
  if(EXISTS "${page}")
    file(READ "${page}" text)
    string(TOUPPER "${name}" title)
    string(FIND "${text}" ".TH ${title} 1 \"\" \"nimbrel ${VERSION}\"" at)
    check("at GREATER -1" "${page} has no title line with version ${VERSION}")
    string(FIND "${text}" "@" placeholder)
    check("placeholder EQUAL -1" "${page} keeps a placeholder")
    if(GROFF)
      # -ww: every warning; -z: no output, only the diagnostics.
      execute_process(COMMAND "${GROFF}" -man -Tutf8 -ww -z "${page}"
                      RESULT_VARIABLE groff_status ERROR_VARIABLE warnings)
      check("groff_status EQUAL 0 AND warnings STREQUAL \"\""
            "groff on ${page}: ${warnings}")
    endif()
  endif()
endforeach()

file(GLOB_RECURSE everything RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT everything)
check("\"${everything}\" STREQUAL \"bin/nimbrel-probe;bin/nimbrel-tap;share/man/man1/nimbrel-probe.1;share/man/man1/nimbrel-tap.1\""
      "installed more or less than the four files: ${everything}")
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} install check(s) failed")
endif()
