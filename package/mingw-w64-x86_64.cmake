# Cross-compiles a launcher for 64-bit Windows from Linux with mingw-w64 (on Debian and
# Ubuntu: apt-get install g++-mingw-w64-x86-64):
#   cmake -S sample -B build -DCMAKE_TOOLCHAIN_FILE=$PWD/mingw-w64-x86_64.cmake
# On Windows itself (MSYS2's mingw-w64 toolchain) no toolchain file is needed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# Debian names the compilers of each thread model with a suffix; the posix model has
# std::thread. Other distributions ship one model under the plain name.
find_program(QOR_MINGW_CC NAMES x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc REQUIRED)
find_program(QOR_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++ REQUIRED)
find_program(QOR_MINGW_RC NAMES x86_64-w64-mingw32-windres)
set(CMAKE_C_COMPILER ${QOR_MINGW_CC})
set(CMAKE_CXX_COMPILER ${QOR_MINGW_CXX})
if(QOR_MINGW_RC)
  set(CMAKE_RC_COMPILER ${QOR_MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
