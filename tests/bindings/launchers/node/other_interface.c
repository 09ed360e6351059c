/* A DLL that answers another interface version than the Node binding knows (an older one). */
__declspec(dllexport) int qor_kit_interface_version(void) { return 1; }
