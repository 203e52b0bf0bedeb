#include "maintenance/tla_preparation.h"

namespace korva {

TlaPreparation prepare_tla_update(Session&) {
    return TlaPreparation::REFUSED;
}  // not built yet

}  // namespace korva
