# QorStarter.exe's own build: the root CMakeLists.txt configured with QOR_STARTER_ONLY under
# cmake/mingw-w64-x86_64-win32.cmake (the root project runs it as its QorStarter target).
# Launcher authors copy this file into every install and sign it, so its size and a
# byte-identical rebuild count like behaviour. Each choice below says why, and what it saves:
# the stripped size without that one choice against 123,392 bytes with all of them (GCC 12).
#
# Not flags, but chosen here for the same reason:
# - The win32 thread model (the toolchain file): the posix one links winpthreads into the
#   library's exception and static-init code of a program that has one thread. 23,552 bytes.
# - src/starter/terminate_handler.cpp: the library's own handler brings the C++ name
#   demangler and mingw's printf. 70,656 bytes.
# - src/layout/file_queries.cpp words file-system failures itself: throwing the library's
#   std::filesystem::filesystem_error brings its locale machinery. 644,608 bytes.
# - Measured and left as it is: the bootstrap answer through the C runtime's stdout instead
#   of WriteFile (0 bytes: stdio lives in msvcrt.dll), and -ffunction-sections with
#   -fdata-sections (1,536 bytes larger: LTO and --gc-sections already drop what is unused).

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
  # Size over speed: the starter waits on files and processes, never on its own code. 36,352 bytes.
  -Os
  # Optimises across our files as one program: inlines and drops what one file cannot. 11,776 bytes.
  -flto
  # One thread: a function's static needs no lock around its first use. 1,536 bytes.
  -fno-threadsafe-statics
)
set(QOR_STARTER_LINK_FLAGS
  -municode
  # The link step compiles the LTO code: the same size-first options again.
  -Os
  -flto
  # No symbol table: nothing in it is needed to run. 310,227 bytes.
  -s
  # Drops the runtime's sections that nothing references. 7,168 bytes.
  -Wl,--gc-sections
  # No link time in the PE header, the only difference between two builds otherwise. 0 bytes.
  -Wl,--no-insert-timestamp
)
target_compile_options(QorStarter PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QOR_STARTER_COMPILE_FLAGS} ${QOR_WARNINGS}>)
target_link_options(QorStarter PRIVATE ${QOR_STARTER_LINK_FLAGS})
