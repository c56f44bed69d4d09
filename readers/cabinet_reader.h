// The cabinet reader's callback, for the platform's cabinet iteration service: what it answers
// to each notification, and how it records a member.
#ifndef TALLYBOOK_CABINET_READER_H
#define TALLYBOOK_CABINET_READER_H

#include "win32.h"

// `context` is the member list. Answers FILEOP_SKIP to every member and to a copy error,
// NO_ERROR (0) to everything else.
UINT CALLBACK on_cabinet_notification(void *context, UINT notification, UINT_PTR param1,
                                      UINT_PTR param2);

#endif
