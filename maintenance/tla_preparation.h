// The TLA update preparation that charge runs before it loads the TLA image:
// find the installed TLA variant, then make the reader give it up through
// the PSS dialogue and come back on maintenance hold.
#pragma once

#include "maintenance/results.h"
#include "session/session.h"

namespace korva {

TlaPreparation prepare_tla_update(Session& s);

}  // namespace korva
