# The Windows test run of the cross build: GoogleTest built from Debian's source with the cross
# compiler, every Windows program started under Wine (headless, in a prefix under the build folder,
# one persistent wineserver for the whole run), the Lua-level tests in a Windows Lua 5.1 built by
# scripts/windows-lua.sh.

set(QM_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources, built with the cross compiler")
if(NOT EXISTS "${QM_GOOGLETEST_SOURCE}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources at ${QM_GOOGLETEST_SOURCE} (Debian: googletest, see scripts/setup.sh)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory("${QM_GOOGLETEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)

# Header-only libraries the tests use, reached like Boost through a directory of their own: the cross
# compiler must not see the rest of the host's /usr/include.
set(QM_NLOHMANN_ROOT "/usr/include/nlohmann" CACHE PATH "nlohmann/json headers for the cross build")
set(QM_WINDOWS_TEST_INCLUDE "${CMAKE_BINARY_DIR}/test_include")
file(MAKE_DIRECTORY "${QM_WINDOWS_TEST_INCLUDE}")
file(CREATE_LINK "${QM_NLOHMANN_ROOT}" "${QM_WINDOWS_TEST_INCLUDE}/nlohmann" SYMBOLIC)

# The Windows Lua interpreter (lua.exe and QM_LUA_DLL), made by scripts/windows-lua.sh.
set(QM_WINDOWS_LUA_DIR "${CMAKE_SOURCE_DIR}/build/windows-lua/${QM_LUA_DLL}")
set(QM_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")

# Every Windows program of the tests runs through this: gtest discovery and add_test(COMMAND target)
# pick it up as the emulator.
set(qm_wine bash "${CMAKE_SOURCE_DIR}/scripts/windows-wine.sh" "${QM_WINE_PREFIX}" "${QM_WINDOWS_LUA_DIR}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${qm_wine})

# One wineserver for the run: the first test makes the prefix and starts it, the last stops it (and
# with it any Windows program a failed test left behind).
add_test(NAME wine.start COMMAND ${qm_wine} --server-start)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine LABELS wine TIMEOUT 300)
add_test(NAME wine.stop COMMAND ${qm_wine} --server-stop)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine LABELS wine TIMEOUT 120)
# The interpreter (cached: instant once built).
add_test(NAME wine.lua_interpreter COMMAND bash "${CMAKE_SOURCE_DIR}/scripts/windows-lua.sh" "${QM_LUA_DLL}")
set_tests_properties(wine.lua_interpreter PROPERTIES FIXTURES_SETUP wine_lua LABELS wine TIMEOUT 600)

# A path as Windows programs under Wine see it (Wine maps / to drive Z:).
function(qm_windows_path out path)
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()

# Unit test sources (with the headers they include from their own folder or from the tests' support
# folder, QM_TEST_SUPPORT) that use POSIX-only interfaces and do not provide
# for Windows themselves cannot be built by the cross compiler: they are left out of the Windows
# unit_tests, each named in the configure output with the reason.
function(qm_drop_posix_only_sources var)
  set(kept "")
  foreach(source IN LISTS ${var})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
    file(READ "${source}" text)
    get_filename_component(dir "${source}" DIRECTORY)
    string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "#include \"([^\"]+)\"" "\\1" header "${line}")
      foreach(folder IN ITEMS "${dir}" "${QM_TEST_SUPPORT}")
        if(EXISTS "${folder}/${header}")
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${folder}/${header}")
          file(READ "${folder}/${header}" more)
          string(APPEND text "${more}")
          break()
        endif()
      endforeach()
    endforeach()
    get_filename_component(name "${source}" NAME)
    if(NOT text MATCHES "_WIN32" AND text MATCHES
       "#include <(unistd|dlfcn|pthread|poll|netdb|fcntl)\\.h>|#include <(sys|arpa|netinet)/|[^a-z_]popen *\\(")
      message(STATUS "Windows: ${name} is left out of unit_tests: it uses POSIX-only interfaces")
    else()
      list(APPEND kept "${source}")
    endif()
  endforeach()
  set(${var} "${kept}" PARENT_SCOPE)
endfunction()

# Lua-level tests under Wine's lua.exe against the DLL. The Windows Lua has no lua-socket: scripts
# that need it (a "-- needs: socket" line, or a require of socket) run on Linux only.
function(qm_add_wine_lua_tests scripts)
  qm_windows_path(module_dir "$<TARGET_FILE_DIR:quillmarsh_exporter>")
  qm_windows_path(tests_dir "${CMAKE_SOURCE_DIR}/tests/lua")
  qm_windows_path(sim_dir "${CMAKE_SOURCE_DIR}/sim")
  foreach(script IN LISTS scripts)
    get_filename_component(name "${script}" NAME_WE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${script}")
    file(STRINGS "${script}" needs REGEX "^-- needs:.*socket|require *[(]? *[\"']socket")
    if(needs)
      message(STATUS "Windows: ${name}.lua runs on Linux only: it needs lua-socket")
      continue()
    endif()
    qm_windows_path(win_script "${script}")
    add_test(NAME "lua.wine.${name}" COMMAND ${qm_wine} "${QM_WINDOWS_LUA_DIR}/lua.exe" "${win_script}"
             WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
    set_tests_properties("lua.wine.${name}" PROPERTIES LABELS "lua;wine" FIXTURES_REQUIRED "wine;wine_lua"
      ENVIRONMENT "LUA_CPATH=${module_dir}/?.dll;LUA_PATH=${tests_dir}/?.lua\\;${sim_dir}/?.lua\\;\\;;QM_BUILD_DIR=${module_dir};QM_INTERP=lua.exe")
  endforeach()
endfunction()

# Python tests that drive the module in Wine's lua.exe from this side (tests/windows/test_*.py).
function(qm_add_wine_python_tests scripts)
  find_program(QM_PYTHON3 python3 REQUIRED)
  string(REPLACE ";" "|" wine_words "${qm_wine}")
  foreach(script IN LISTS scripts)
    get_filename_component(name "${script}" NAME_WE)
    add_test(NAME "wine.${name}" COMMAND "${QM_PYTHON3}" "${script}" WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}")
    set_tests_properties("wine.${name}" PROPERTIES LABELS "http;wine" FIXTURES_REQUIRED "wine;wine_lua"
      TIMEOUT 300
      ENVIRONMENT "QM_WINE=${wine_words};QM_LUA_EXE=${QM_WINDOWS_LUA_DIR}/lua.exe;QM_SOURCE_DIR=${CMAKE_SOURCE_DIR};QM_BUILD_DIR=$<TARGET_FILE_DIR:quillmarsh_exporter>")
  endforeach()
endfunction()
