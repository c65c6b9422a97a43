# Module-definition files are written for the 32-bit build, whose stdcall
# symbols carry their argument size ("Name = Name@12 @1"). The 64-bit build
# has no such decoration: it gets a copy with the aliases dropped.
#   qvinst98_def_for_target(<out-var> <def file>)
function(qvinst98_def_for_target out source)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(${out} ${source} PARENT_SCOPE)
    return()
  endif()
  file(READ ${source} def)
  string(REGEX REPLACE " = [A-Za-z_]+@[0-9]+" "" def "${def}")
  get_filename_component(name ${source} NAME)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${name})
  file(CONFIGURE OUTPUT ${generated} CONTENT "${def}")
  set(${out} ${generated} PARENT_SCOPE)
endfunction()
