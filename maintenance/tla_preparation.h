// The TLA update preparation that charge runs before it loads the TLA image:
// find the installed TLA variant, then make the reader give it up through
// the PSS dialogue and come back on maintenance hold.
#pragma once

#include "session/session.h"

namespace korva {

enum class TlaPreparation {
    END_COMMAND,  // charge ends here
    REFUSED,      // charge goes on with failure code 1
    READY,        // charge goes on with failure code 0
};

TlaPreparation prepare_tla_update(Session& s);

}  // namespace korva
