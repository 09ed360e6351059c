// Built with the starter's own manifest: prints the ANSI code page that Windows
// gives such a program, which MessageBoxA reads the starter's texts in.

#include <windows.h>

#include <cstdio>

int wmain() {
    std::printf("%u\n", ::GetACP());
    return 0;
}
