// The first bytes of the file the archiver libraries last looked at, held once for all of them:
// the only state the separately loaded libraries share.
#include "shared_look.h"

namespace {

SharedLook record;

}  // namespace

SharedLook *shared_look(void) { return &record; }
