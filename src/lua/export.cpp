// The module's one exported symbol: `require "quillmarsh_exporter"` lands here.
#include "lua/lua_api.hpp"

#if defined(_WIN32)
#define QM_EXPORT extern "C" __declspec(dllexport)
#else
#define QM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace qm {
int open_module(lua_State* L);
}

QM_EXPORT int luaopen_quillmarsh_exporter(lua_State* L) { return qm::open_module(L); }
