# Cross toolchain: 32-bit Windows with mingw-w64 (the -posix variant, which
# has std::thread), resources compiled with windres.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_quon_triple i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_quon_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_quon_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_quon_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_quon_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Self-contained executables: no libstdc++/libgcc/winpthread DLLs to ship.
# Subsystem version 6.1: the binaries are for Windows 7 and later, and the
# system treats them as such (no compatibility shims for older programs).
set(_quon_subsystem "-Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,1")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${_quon_subsystem}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ ${_quon_subsystem}")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
