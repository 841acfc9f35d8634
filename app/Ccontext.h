#pragma once
// The application context lives in the core (convert/Ccontext.h): the render thread, the
// command-line tool and the tests use the same one.
#include "convert/Ccontext.h"
