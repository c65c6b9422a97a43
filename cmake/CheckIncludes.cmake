# Checks the include graph of the sources:
#  - nothing in src/ includes a header of a platform implementation
#    (platform/sim/, platform/win32/): the library sees the seam only;
#  - nothing in image/ or tools/ includes a private header of the simulated
#    Windows (SimText.h, SimPath.h): they see its model (registry, changes,
#    machine, root keys) only;
#  - the simulated Windows has no include loop between its parts, a part
#    being a header with its source file.
# Run as: cmake -DSOURCE_DIR=<repo> [-DUNITS_ONLY=ON] [-DSTAMP=<file>] -P CheckIncludes.cmake
# The build runs the first check (UNITS_ONLY) before it compiles the library.
cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "CheckIncludes: SOURCE_DIR is not set")
endif()

# The quoted includes of a file, in order.
function(quoted_includes file out)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  set(result "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" name "${line}")
    list(APPEND result "${name}")
  endforeach()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

set(failures "")

# The library's units.
file(GLOB implementation_headers RELATIVE ${SOURCE_DIR}/platform
     ${SOURCE_DIR}/platform/sim/*.h ${SOURCE_DIR}/platform/win32/*.h)
set(implementation_names "")
foreach(header IN LISTS implementation_headers)
  get_filename_component(name ${header} NAME)
  list(APPEND implementation_names ${name})
endforeach()
file(GLOB units ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp)
foreach(unit IN LISTS units)
  quoted_includes(${unit} includes)
  get_filename_component(unit_name ${unit} NAME)
  foreach(include IN LISTS includes)
    get_filename_component(include_name ${include} NAME)
    if(include MATCHES "(^|/)(sim|win32)/" OR include_name IN_LIST implementation_names)
      list(APPEND failures "src/${unit_name} includes \"${include}\", a header of a platform implementation")
    endif()
  endforeach()
endforeach()

# The image layer and the tool over the simulated Windows' public face.
set(private_sim_headers SimText.h SimPath.h)
file(GLOB above_sim ${SOURCE_DIR}/image/*.h ${SOURCE_DIR}/image/*.cpp
     ${SOURCE_DIR}/tools/*.h ${SOURCE_DIR}/tools/*.cpp)
foreach(file IN LISTS above_sim)
  quoted_includes(${file} includes)
  file(RELATIVE_PATH shown ${SOURCE_DIR} ${file})
  foreach(include IN LISTS includes)
    get_filename_component(include_name ${include} NAME)
    if(include_name IN_LIST private_sim_headers)
      list(APPEND failures "${shown} includes \"${include}\", a private header of the simulated Windows")
    endif()
  endforeach()
endforeach()

# The simulated Windows: parts and the parts each one includes.
if(UNITS_ONLY)
  set(sim_files "")
else()
  file(GLOB sim_files ${SOURCE_DIR}/platform/sim/*.h ${SOURCE_DIR}/platform/sim/*.cpp)
endif()
set(parts "")
foreach(file IN LISTS sim_files)
  get_filename_component(part ${file} NAME_WE)
  list(APPEND parts ${part})
endforeach()
list(REMOVE_DUPLICATES parts)
foreach(part IN LISTS parts)
  set(edges_${part} "")
endforeach()
foreach(file IN LISTS sim_files)
  get_filename_component(part ${file} NAME_WE)
  quoted_includes(${file} includes)
  foreach(include IN LISTS includes)
    get_filename_component(target ${include} NAME_WE)
    if(target IN_LIST parts AND NOT target STREQUAL part)
      list(APPEND edges_${part} ${target})
    endif()
  endforeach()
endforeach()

# Depth-first search; a part met again while still on the path closes a loop.
function(visit part path)
  if(part IN_LIST path)
    list(APPEND path ${part})
    list(JOIN path " -> " text)
    set(loop_found "${text}" PARENT_SCOPE)
    return()
  endif()
  if(done_${part})
    return()
  endif()
  list(APPEND path ${part})
  foreach(next IN LISTS edges_${part})
    visit(${next} "${path}")
    if(loop_found)
      set(loop_found "${loop_found}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(done_${part} TRUE PARENT_SCOPE)
endfunction()

foreach(part IN LISTS parts)
  set(loop_found "")
  visit(${part} "")
  if(loop_found)
    list(APPEND failures "include loop in platform/sim: ${loop_found}")
    break()
  endif()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Include check failed:\n  ${text}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()
if(UNITS_ONLY)
  message(STATUS "Include check passed: src/ reaches the seam only; image/ and tools/ the simulation's public headers")
else()
  message(STATUS "Include check passed: src/ reaches the seam only; image/ and tools/ the simulation's public headers; no loop in platform/sim")
endif()
