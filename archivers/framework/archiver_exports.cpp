// The query answer that every archiver library gives: the four functions of a listing.
#include "archiver_exports.h"

BOOL archiver_answers(int function) {
    return function == ISARC_OPEN_ARCHIVE || function == ISARC_CLOSE_ARCHIVE ||
           function == ISARC_FIND_FIRST || function == ISARC_FIND_NEXT;
}
