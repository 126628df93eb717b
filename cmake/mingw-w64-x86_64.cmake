# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads flavour).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KRO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KRO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KRO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KRO_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${KRO_MINGW_PREFIX}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${KRO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime and the thread library go into each binary, so that a DLL or
# program needs nothing beside it but mosquitto.dll and the host's own library.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
