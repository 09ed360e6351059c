#include <windows.h>

#include "starter/entry.h"

int wmain(int argc, wchar_t** argv) {
    // The launcher root is often writable by the user: never let a DLL dropped
    // beside the starter load in place of a system one.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return qor::run_entry(argc, argv);
}
