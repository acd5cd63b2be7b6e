#include "processsetup.h"

void prepareProcess() { }
