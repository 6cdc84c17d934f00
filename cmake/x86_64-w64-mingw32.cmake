# Cross build for Windows x64 with Debian's mingw-w64; the built programs
# run under wine.
#
# mingw-w64 comes in two thread models. Only the posix one has std::mutex
# and std::thread, which GoogleTest needs. Debian's g++-mingw-w64-x86-64
# installs both and points the generic x86_64-w64-mingw32-g++ at the win32
# one, so the compilers are named here by their own posix names: the build
# then works whichever model the generic name points to.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

find_program(DUMP_TIMERS_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(DUMP_TIMERS_MINGW_CC x86_64-w64-mingw32-gcc-posix)
if(NOT DUMP_TIMERS_MINGW_CXX OR NOT DUMP_TIMERS_MINGW_CC)
    message(FATAL_ERROR "The windows preset needs mingw-w64's posix-thread compilers "
        "(x86_64-w64-mingw32-g++-posix, x86_64-w64-mingw32-gcc-posix), which are not "
        "installed. On Debian or Ubuntu: apt-get install g++-mingw-w64-x86-64-posix")
endif()
set(CMAKE_C_COMPILER ${DUMP_TIMERS_MINGW_CC})
set(CMAKE_CXX_COMPILER ${DUMP_TIMERS_MINGW_CXX})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
