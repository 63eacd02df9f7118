# Cross build for Windows x86-64 with Debian's mingw-w64.
# The -posix compilers use the winpthreads thread model, which std::thread and std::mutex need.
# Qt and jansson for Windows come from scripts/build-windows-deps.sh: pass its prefix as
# KEELANR_WINDOWS_DEPS (cache variable or environment variable).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEELANR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KEELANR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEELANR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KEELANR_MINGW_TRIPLE}-windres)

if(NOT KEELANR_WINDOWS_DEPS AND DEFINED ENV{KEELANR_WINDOWS_DEPS})
    set(KEELANR_WINDOWS_DEPS $ENV{KEELANR_WINDOWS_DEPS})
endif()
set(KEELANR_WINDOWS_DEPS "${KEELANR_WINDOWS_DEPS}" CACHE PATH
    "Prefix holding Qt and jansson built for Windows (scripts/build-windows-deps.sh)")

# Appended, so a consumer project can add its own package prefix on the command line.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KEELANR_MINGW_TRIPLE} ${KEELANR_WINDOWS_DEPS})
list(APPEND CMAKE_PREFIX_PATH ${KEELANR_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config answers for the Windows prefix only.
set(ENV{PKG_CONFIG_LIBDIR} ${KEELANR_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
