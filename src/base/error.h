// Error values: 0 for success, otherwise a Windows error number. The names
// live with the platform, whose conversion tables use them too.
#pragma once

#include "platform/errors.h"
