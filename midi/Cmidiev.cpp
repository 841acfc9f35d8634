#include "midi/Cmidiev.h"
// Everything of the base is inline; this file keeps the vtable in one object file.
