#pragma once
// The Lua 5.1 C API. The module includes the headers only: the host process provides the symbols.
extern "C" {
#include <lua.h>
}
