// Placeholder until the cabinet layer is built: no file is a cabinet.
#include "platform/win32.h"

BOOL SetupIterateCabinetA(LPCSTR, DWORD, PSP_FILE_CALLBACK_A, void *) { return FALSE; }
