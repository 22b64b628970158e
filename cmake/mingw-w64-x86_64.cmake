# Cross-builds the Windows launcher with Debian's mingw-w64 (the POSIX thread model, for
# std::thread). The static libraries built from Debian's sources by scripts/windows-deps are
# found under KESTRUNE_WINDOWS_DEPS; test programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(KESTRUNE_WINDOWS_DEPS "" CACHE PATH "Prefix of the cross-built Windows libraries")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KESTRUNE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the prefix's .pc files alone, never the build machine's.
if(KESTRUNE_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} ${KESTRUNE_WINDOWS_DEPS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
endif()

# One self-contained .exe: no libstdc++, libgcc or winpthread DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
