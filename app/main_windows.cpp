// Entry point of the Windows program: a GUI program whose command line the C runtime splits.
#include <stdlib.h>

#include "app.h"
#include "archiver_bridge.h"

// Arguments reach the program as typed: the runtime expands no wildcards in them.
extern "C" int _dowildcard;
int _dowildcard = 0;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Archiver libraries are loaded by bare file name: one planted where the user happens to
    // stand must never be loaded, while the program's own folder and the system folders are
    // still searched.
    keep_libraries_out_of_current_folder();
    return run(instance, __argc, __argv, &WINDOWS_FRONT_END);
}
