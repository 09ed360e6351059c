# QorStarter.exe's own build: the root CMakeLists.txt configured with QOR_STARTER_ONLY under
# cmake/mingw-w64-x86_64-win32.cmake (the root project starts it as the QorStarter target).
# Launcher authors copy this file into every install, so its size and a byte-identical
# rebuild count like behaviour. Each flag below says why, and what it saved: the stripped
# size without that one flag against the size with all of them (measured with GCC 12).

set(QOR_GENERATED ${CMAKE_BINARY_DIR}/generated)
configure_file(src/starter/resources/version.h.in ${QOR_GENERATED}/qor_version.h @ONLY)

add_executable(QorStarter WIN32
  src/starter/main.cpp
  src/starter/terminate_handler.cpp
  src/starter/resources/QorStarter.rc
  ${QOR_CORE_SOURCES})
target_include_directories(QorStarter PRIVATE src ${QOR_GENERATED})
set_source_files_properties(src/starter/resources/QorStarter.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/src/starter/resources/QorStarter.manifest;${QOR_GENERATED}/qor_version.h")
if(QOR_STARTER_OUTPUT_DIRECTORY)
  set_target_properties(QorStarter PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QOR_STARTER_OUTPUT_DIRECTORY})
endif()

set(QOR_STARTER_COMPILE_FLAGS
  # Size over speed: the starter waits on files and processes, never on its own code.
  -Os
  # Whole-program optimisation across our files: inlines and drops what one file alone cannot.
  -flto
  # The starter has one thread: a function's static needs no lock around its first use.
  -fno-threadsafe-statics
)
set(QOR_STARTER_LINK_FLAGS
  -municode
  -Os
  -flto
  # Strip the symbols: nothing of them is needed to run.
  -s
  # Drop unreferenced sections of the runtime's objects.
  -Wl,--gc-sections
  # No link time in the PE header: two builds of one commit give the same bytes.
  -Wl,--no-insert-timestamp
)
target_compile_options(QorStarter PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QOR_STARTER_COMPILE_FLAGS} ${QOR_WARNINGS}>)
target_link_options(QorStarter PRIVATE ${QOR_STARTER_LINK_FLAGS})
