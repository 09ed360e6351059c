# The starter's own build: the same cross compiler with the win32 thread model.
# Its runtime synchronises with Windows' own primitives and needs no winpthreads.
set(QOR_MINGW_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
