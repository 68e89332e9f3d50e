#pragma once
// The members of the status document that other subsystems write: the map projection, the terrain
// store and work, and the mesh stream registry. Each takes a wait flag: with false (the Lua
// `status`, which must never wait) it only tries its locks and answers none when one is held; with
// true (the HTTP status route) it waits for them. Each is declared beside its own subsystem.
#include "geo/projection_status.hpp"
#include "streams/registry_status.hpp"
#include "work/terrain_status.hpp"
