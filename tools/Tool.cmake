find_package(CLI11 CONFIG QUIET)

# The sample machines are compiled into the tool, so it runs from anywhere.
file(GLOB QVINST98_MACHINE_IMAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/machines/*.reg)
set(QVINST98_BUNDLED_CPP ${CMAKE_CURRENT_BINARY_DIR}/BundledMachines.cpp)
add_custom_command(
  OUTPUT ${QVINST98_BUNDLED_CPP}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${QVINST98_BUNDLED_CPP} -DINPUTS="${QVINST98_MACHINE_IMAGES}"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/EmbedMachines.cmake
  DEPENDS ${QVINST98_MACHINE_IMAGES} ${CMAKE_CURRENT_SOURCE_DIR}/EmbedMachines.cmake
  COMMENT "Bundling the sample machines")

add_executable(qvinst98_tool qvinst98.cpp ToolRun.cpp HiveTool.cpp ${QVINST98_BUNDLED_CPP})
set_target_properties(qvinst98_tool PROPERTIES OUTPUT_NAME qvinst98)
target_include_directories(qvinst98_tool PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qvinst98_tool PRIVATE qvinst98 qvimage)
if(TARGET CLI11::CLI11)
  target_link_libraries(qvinst98_tool PRIVATE CLI11::CLI11)
endif()
target_compile_definitions(qvinst98_tool PRIVATE QVINST98_VERSION="${PROJECT_VERSION}")
