/* A DLL that answers another interface version than the Node binding knows. */
__declspec(dllexport) int qor_kit_interface_version(void) { return 3; }
