// The fuzz targets' checks: a broken promise names itself (file, line, the condition and what
// it means) before the run stops, so a finding says what failed and not only where.
#ifndef TALLYBOOK_FUZZ_CHECK_H
#define TALLYBOOK_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition, what)                                                        \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__,          \
                    #condition, what);                                                     \
            abort();                                                                       \
        }                                                                                  \
    } while (0)

#endif
