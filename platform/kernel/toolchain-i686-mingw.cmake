# The cross-compiler for the 32-bit kernel image: Debian's mingw-w64
# toolchain, used for its code generation, calling conventions, PE
# linker and resource tools only.  Its C runtime and Windows headers are
# never used; the driver compiles against platform/include.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARN_CROSS i686-w64-mingw32)
set(CMAKE_CXX_COMPILER ${TARN_CROSS}-g++)
set(CMAKE_RC_COMPILER ${TARN_CROSS}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARN_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
