# Toolchain for cross-checking the Apple build from Linux: clang and lld for
# arm64-apple-macos14.2 against a macOS SDK folder. The programs link but do
# not run here; codesign is absent, so they stay unsigned.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)

# The SDK folder: -DNIMBREL_MACOS_SDK=..., else the environment variable of
# that name, else the user's cache folder (what scripts/macos-cross-check
# arranges): ${XDG_CACHE_HOME:-~/.cache}/nimbrel/macos-sdk.
if(DEFINED ENV{NIMBREL_MACOS_SDK} AND NOT "$ENV{NIMBREL_MACOS_SDK}" STREQUAL "")
  set(sdk_default "$ENV{NIMBREL_MACOS_SDK}")
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(sdk_default "$ENV{XDG_CACHE_HOME}/nimbrel/macos-sdk")
else()
  set(sdk_default "$ENV{HOME}/.cache/nimbrel/macos-sdk")
endif()
set(NIMBREL_MACOS_SDK "${sdk_default}" CACHE PATH
  "macOS SDK folder holding System/Library/Frameworks, usr/include and usr/lib")
if(NOT IS_DIRECTORY "${NIMBREL_MACOS_SDK}/System/Library/Frameworks")
  message(FATAL_ERROR "No macOS SDK in ${NIMBREL_MACOS_SDK}: set NIMBREL_MACOS_SDK, "
                      "or let scripts/macos-cross-check arrange one there.")
endif()
set(CMAKE_OSX_SYSROOT "${NIMBREL_MACOS_SDK}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NIMBREL_MACOS_SDK)

# Full paths: languages enabled after project() search with the SDK as root.
find_program(NIMBREL_CLANG NAMES clang clang-14 REQUIRED)
find_program(NIMBREL_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_C_COMPILER "${NIMBREL_CLANG}")
set(CMAKE_CXX_COMPILER "${NIMBREL_CLANGXX}")
set(CMAKE_OBJC_COMPILER "${NIMBREL_CLANG}")
set(CMAKE_OBJCXX_COMPILER "${NIMBREL_CLANGXX}")
foreach(lang C CXX OBJC OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET arm64-apple-macos14.2)
endforeach()
# Apple's binary tools are not on Linux; LLVM's understand Mach-O.
find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib llvm-ranlib-14 REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool llvm-install-name-tool-14 REQUIRED)

# The 14.2 SDK's Availability.h reads the deployment target from a macro that
# older clang (Debian's 14) does not predefine; without it every version test
# in the SDK sees 0 (GCD objects, for one, stop being Objective-C objects).
set(version_flags "")
execute_process(COMMAND "${NIMBREL_CLANG}" --target=arm64-apple-macos14.2 -dM -E -x c /dev/null
  OUTPUT_VARIABLE predefined ERROR_QUIET)
if(NOT predefined MATCHES "__ENVIRONMENT_OS_VERSION_MIN_REQUIRED__")
  set(version_flags "-D__ENVIRONMENT_OS_VERSION_MIN_REQUIRED__=__ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__")
endif()
foreach(lang C OBJC)
  set(CMAKE_${lang}_FLAGS_INIT "${version_flags}")
endforeach()
foreach(lang CXX OBJCXX)
  set(CMAKE_${lang}_FLAGS_INIT "-stdlib=libc++ ${version_flags}")
endforeach()

# Every name resolves at link time, undefined names an error. The SDK's
# frameworks and libobjc have .tbd stubs; libSystem and libc++ have none, so
# the launcher writes those two for each link from the SDK's own headers and
# the C++ runtime's names (cmake/macos-cross-link.py); the driver's own
# -lSystem and -lc++ are left out.
find_program(NIMBREL_PYTHON3 NAMES python3 REQUIRED)
find_program(NIMBREL_LLVM_NM NAMES llvm-nm llvm-nm-14 REQUIRED)
set(link_flags "-fuse-ld=lld -nostdlib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${link_flags}")
foreach(lang C CXX OBJC OBJCXX)
  set(CMAKE_${lang}_LINKER_LAUNCHER "${NIMBREL_PYTHON3}"
      "${CMAKE_CURRENT_LIST_DIR}/macos-cross-link.py" "${NIMBREL_MACOS_SDK}" "${NIMBREL_LLVM_NM}")
endforeach()

# Libraries built for the Mac target (GoogleTest; scripts/macos-cross-check
# makes them) live in a prefix of their own beside the SDK.
set(NIMBREL_CROSS_PREFIX "" CACHE PATH "Prefix of libraries built for the Mac target")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NIMBREL_CROSS_PREFIX)
set(CMAKE_FIND_ROOT_PATH "${NIMBREL_MACOS_SDK}" ${NIMBREL_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Mac test programs cannot run here: list their tests when ctest runs them
# (on a Mac), not after each link.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
