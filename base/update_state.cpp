#include "base/update_state.h"

UpdateState gState;
