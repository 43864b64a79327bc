# The macOS build: the platform layer on Core Audio, and the probe's look-ups
# on AppKit and libproc; the
# tap's embedded Info.plist; code signing of both programs.
# Included from audio/CMakeLists.txt on Apple platforms. The root calls
# nimbrel_apple_programs() once both programs' targets exist.

# Process taps and their permission prompt exist from macOS 14.2, on Apple
# silicon only.
if(NOT CMAKE_OSX_ARCHITECTURES STREQUAL "arm64")
  message(FATAL_ERROR "The Apple build is arm64 only (CMAKE_OSX_ARCHITECTURES is '${CMAKE_OSX_ARCHITECTURES}').")
endif()
if(CMAKE_OSX_DEPLOYMENT_TARGET VERSION_LESS 14.2)
  message(FATAL_ERROR "The Apple build needs macOS 14.2 or later (CMAKE_OSX_DEPLOYMENT_TARGET is '${CMAKE_OSX_DEPLOYMENT_TARGET}').")
endif()

add_library(nimbrel_audio STATIC
  ${PROJECT_SOURCE_DIR}/audio/coreaudio.mm
  ${PROJECT_SOURCE_DIR}/audio/dispatch_apple.mm
  ${PROJECT_SOURCE_DIR}/audio/failure_messages_coreaudio.cpp)
target_include_directories(nimbrel_audio PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(nimbrel_audio PRIVATE -fobjc-arc)
target_link_libraries(nimbrel_audio PUBLIC
  Threads::Threads
  nimbrel_support
  "-framework CoreAudio"
  "-framework CoreFoundation"
  "-framework Foundation")

# The probe's name look-ups, apart: the tap has no use for AppKit, and
# loading it costs start-up time and memory.
add_library(nimbrel_process_info STATIC
  ${PROJECT_SOURCE_DIR}/audio/process_info_apple.mm)
target_compile_options(nimbrel_process_info PRIVATE -fobjc-arc)
target_link_libraries(nimbrel_process_info PUBLIC nimbrel_audio "-framework AppKit")

set(NIMBREL_SIGN_IDENTITY "-" CACHE STRING
  "codesign identity for both programs (a Developer ID Application certificate); - or empty signs ad hoc")
# codesign's defaults on arm64 are already SHA-256 and 16 KiB pages; saying so
# keeps the code directory what the programs ship with whatever the default.
set(NIMBREL_CODESIGN_FLAGS "--digest-algorithm=sha256;--pagesize;16384" CACHE STRING
  "Extra codesign arguments for both programs")
find_program(NIMBREL_CODESIGN codesign)

# Signs `target` after every link of it, with the hardened runtime and the
# entitlement set; nothing happens where codesign is absent (cross-checks).
function(nimbrel_sign target identifier)
  if(NOT NIMBREL_CODESIGN)
    message(STATUS "codesign not found: ${target} stays unsigned")
    return()
  endif()
  set(entitlements ${PROJECT_SOURCE_DIR}/tap/identity/entitlements.plist)
  set(identity "${NIMBREL_SIGN_IDENTITY}")
  set(timestamp "")
  if(identity STREQUAL "" OR identity STREQUAL "-")
    set(identity "-")
  else()
    # Notarization needs a secure timestamp; ad hoc signatures cannot carry one.
    set(timestamp --timestamp)
  endif()
  # The target was made in another directory, where POST_BUILD cannot be
  # attached from here; the stamp re-signs whenever the program relinks.
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.signed)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${NIMBREL_CODESIGN} --force --sign ${identity}
            --identifier ${identifier} --options runtime
            --entitlements ${entitlements} ${timestamp} ${NIMBREL_CODESIGN_FLAGS}
            $<TARGET_FILE:${target}>
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${target} ${entitlements}
    COMMENT "Signing ${target} as ${identifier}"
    VERBATIM)
  add_custom_target(${target}-signature ALL DEPENDS ${stamp})
endfunction()

function(nimbrel_apple_programs)
  if(TARGET nimbrel-tap)
    # An unbundled executable's Info.plist is read from this section; the
    # system-audio permission prompt needs it.
    get_property(plist GLOBAL PROPERTY NIMBREL_TAP_INFO_PLIST)
    target_link_options(nimbrel-tap PRIVATE
      "LINKER:-sectcreate,__TEXT,__info_plist,${plist}")
    set_property(TARGET nimbrel-tap APPEND PROPERTY LINK_DEPENDS ${plist})
    nimbrel_sign(nimbrel-tap "${NIMBREL_TAP_BUNDLE_ID}")
  endif()
  nimbrel_sign(nimbrel-probe nimbrel-probe)
endfunction()
