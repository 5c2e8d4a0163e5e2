# CLI11 (header-only, from the system) as target orvane_cli11. A cross build
# cannot search the host's /usr/include as a whole, so it gets a directory of
# its own that holds only CLI11's headers. Without CLI11 the target does not
# exist, and the programs that parse command lines (orvane-sim, orvane,
# orvane-demo) are left out; the library and the tests do not need it.
find_path(ORVANE_CLI11_DIR CLI/CLI.hpp PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
if(CMAKE_DISABLE_FIND_PACKAGE_CLI11 OR NOT ORVANE_CLI11_DIR)
  message(WARNING "CLI11 not found (Debian: libcli11-dev): not building orvane-sim, the orvane tool "
                  "or the demonstration; the library and the tests do not need it")
  return()
endif()
set(_cli11_isolated ${CMAKE_BINARY_DIR}/cli11-include)
if(NOT EXISTS ${_cli11_isolated}/CLI/CLI.hpp)
  file(MAKE_DIRECTORY ${_cli11_isolated})
  file(COPY ${ORVANE_CLI11_DIR}/CLI DESTINATION ${_cli11_isolated})
endif()
add_library(orvane_cli11 INTERFACE)
target_include_directories(orvane_cli11 SYSTEM INTERFACE ${_cli11_isolated})
