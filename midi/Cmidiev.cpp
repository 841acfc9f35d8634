#include "midi/Cmidiev.h"

// Out of line so that the vtable lives in this one object file.
Cmidiev::~Cmidiev() = default;
