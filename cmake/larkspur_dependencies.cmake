# Third-party dependencies, found once for every target below.
#
# Threads, and nlohmann/json (headers only) for the View manifest parser.
# nlohmann/json comes from the system when CMake finds its package config
# (Debian's nlohmann-json3-dev), otherwise from the PyPI package
# `nlohmann-json`, which pyproject.toml's [build-system] requires, so that
# `pip install` needs nothing else. Its include directory is located with the
# build's Python without importing the package (its __init__ imports
# importlib_resources), and wrapped in a target of the same name the system
# package's config provides.

find_package(Threads REQUIRED)

set(LARKSPUR_JSON_MIN_VERSION 3.10)
find_package(nlohmann_json ${LARKSPUR_JSON_MIN_VERSION} QUIET)
if(nlohmann_json_FOUND)
  message(STATUS "nlohmann/json ${nlohmann_json_VERSION}: system package (${nlohmann_json_DIR})")
  return()
endif()

if(NOT Python_EXECUTABLE)
  find_package(Python 3.11 COMPONENTS Interpreter)
endif()
string(CONCAT _larkspur_json_help
       "nlohmann/json ${LARKSPUR_JSON_MIN_VERSION} or newer is needed. `pip install .` "
       "brings it from PyPI. For a CMake build by hand, install the PyPI package "
       "nlohmann-json into the Python that CMake uses (-DPython_EXECUTABLE=...), "
       "or Debian's nlohmann-json3-dev.")
if(NOT Python_EXECUTABLE)
  message(FATAL_ERROR "No system nlohmann/json, and no Python to look for the PyPI "
                      "package nlohmann-json with. ${_larkspur_json_help}")
endif()

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
          "import importlib.util as u; s = u.find_spec('nlohmann_json'); print(list(s.submodule_search_locations)[0] if s else '', end='')"
  OUTPUT_VARIABLE _larkspur_json_package
  RESULT_VARIABLE _larkspur_json_result
  ERROR_VARIABLE _larkspur_json_error)
set(_larkspur_json_include "${_larkspur_json_package}/include")
if(NOT _larkspur_json_result EQUAL 0 OR _larkspur_json_package STREQUAL ""
   OR NOT EXISTS "${_larkspur_json_include}/nlohmann/json.hpp")
  string(STRIP "${_larkspur_json_error}" _larkspur_json_error)
  message(FATAL_ERROR "No system nlohmann/json, and ${Python_EXECUTABLE} has no PyPI "
                      "package nlohmann-json. ${_larkspur_json_error} ${_larkspur_json_help}")
endif()

file(STRINGS "${_larkspur_json_include}/nlohmann/detail/abi_macros.hpp" _larkspur_json_defines
     REGEX "^#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+")
set(_larkspur_json_version "")
foreach(_part IN ITEMS MAJOR MINOR PATCH)
  string(REGEX MATCH "NLOHMANN_JSON_VERSION_${_part} +([0-9]+)" _match "${_larkspur_json_defines}")
  list(APPEND _larkspur_json_version "${CMAKE_MATCH_1}")
endforeach()
list(JOIN _larkspur_json_version "." _larkspur_json_version)
if(_larkspur_json_version VERSION_LESS LARKSPUR_JSON_MIN_VERSION)
  message(FATAL_ERROR "The PyPI package nlohmann-json in ${_larkspur_json_package} holds "
                      "version '${_larkspur_json_version}'. ${_larkspur_json_help}")
endif()

# Imported: its include directory is a system one, so that our warning flags
# do not apply to the library's headers.
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json INTERFACE "${_larkspur_json_include}")
set(nlohmann_json_VERSION "${_larkspur_json_version}")
message(STATUS "nlohmann/json ${_larkspur_json_version}: PyPI package nlohmann-json "
               "(${_larkspur_json_include})")
