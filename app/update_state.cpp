#include "app/update_state.h"

UpdateState gState;
