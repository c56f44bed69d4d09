// Entry point of the Windows program: a GUI program whose command line the C runtime splits.
#include <stdlib.h>

#include "app/app.h"

// Arguments reach the program as typed: the runtime expands no wildcards in them.
extern "C" int _dowildcard;
int _dowildcard = 0;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Archiver libraries are loaded by bare file name; an empty DLL directory takes the current
    // folder out of the search, so a library planted where the user happens to stand is never
    // loaded, while the program's own folder and the system folders are still searched.
    SetDllDirectoryA("");
    return run(instance, __argc, __argv);
}
