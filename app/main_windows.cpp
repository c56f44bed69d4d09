// Entry point of the Windows program: a GUI program whose command line the C runtime splits.
#include <stdlib.h>

#include "app/app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return run(instance, __argc, __argv);
}
