// Entry point of the Windows program: a GUI program whose command line the C runtime splits.
#include <stdlib.h>

#include "app/app.h"

// Arguments reach the program as typed: the runtime expands no wildcards in them.
extern "C" int _dowildcard;
int _dowildcard = 0;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return run(instance, __argc, __argv);
}
