// The test programs stand on a machine with the Widcomm stack: the simulated
// shim, linked in, is installed in place of the shim library before any test
// runs, so that Ostrel_Init finds a stack on every system (natively no other
// stack exists). Tests then select the stack they exercise.
#pragma once

#include "WidIShim.h"

// The linked-in simulated shim's functions.
const WidI::Api &SimulatedShim();
