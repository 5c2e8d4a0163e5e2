# Cross build for 32-bit Windows with mingw-w64 (posix thread model). The C
# interface uses __stdcall there (see src/CMakeLists.txt), as 32-bit hosts
# expect of a controller DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# SSE2 arithmetic, as on x86-64, instead of the x87 unit, which keeps
# intermediate results in 80 bits: float and double results then match the
# 64-bit build's to the bit. Every CPU that runs a supported Windows has
# SSE2. Hosts built by other compilers may call in with a stack aligned to
# 4 bytes only, so functions realign it where SSE code needs more.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
# No runtime DLLs to carry around: libgcc, libstdc++ and winpthread go in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# CTest runs the test executables under wine. That needs wine's 32-bit part
# (Debian: wine32:i386, whose loader the wine script then picks) and a
# 32-bit prefix (WINEARCH=win32); WINEDEBUG=-all keeps wine's diagnostics
# off stderr.
find_program(WINE_PROGRAM NAMES wine)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
if(NOT _ORVANE_WINE_WARNED AND (NOT WINE_PROGRAM OR (EXISTS /usr/lib/wine/wine64 AND NOT EXISTS /usr/lib/wine/wine)))
  set(_ORVANE_WINE_WARNED TRUE)
  message(WARNING "32-bit wine not found: the 32-bit Windows build's tests cannot run (install wine32:i386)")
endif()
