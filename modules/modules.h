// Open functions of the native modules (one source file each in modules/
// and gateway/); the registry lists them in registration order.
#pragma once

#include <lua.hpp>
