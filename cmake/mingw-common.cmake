# Shared part of the mingw-w64 toolchain files: QV_MINGW_PREFIX names the
# target (i686-w64-mingw32 or x86_64-w64-mingw32). The "-posix" compilers are
# used because GoogleTest needs std::mutex, which the "-win32" ones lack.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${QV_MINGW_PREFIX}-gcc-posix ${QV_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QV_MINGW_PREFIX}-g++-posix ${QV_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QV_MINGW_PREFIX}-windres REQUIRED)
find_program(QV_OBJDUMP NAMES ${QV_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs built here run under Wine, in a prefix of the build
# folder's own: never in the caller's WINEPREFIX.
set(QV_TEST_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine_run.sh --prefix ${QV_TEST_WINEPREFIX})
