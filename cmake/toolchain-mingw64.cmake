# Cross build for Windows x86-64 with Debian's mingw-w64.
# The -posix compilers use the winpthreads thread model, which std::thread and std::mutex need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEELANR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KEELANR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEELANR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KEELANR_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KEELANR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link the C and C++ runtimes and winpthreads statically, so the executables run under Wine
# (or on Windows) without the compiler's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
