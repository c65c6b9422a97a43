# Stages the installer authors' kit and packs it (cmake -P):
#   -DDLL= -DSOURCE= (the kit's sources) -DSTAGE= (a folder named as the kit) -DZIP=
# The zip holds one folder, named as the kit, with the DLL, the NSIS
# macros, the example, the guide and SHA256SUMS over the other files.
foreach(var DLL SOURCE STAGE ZIP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "Kit.cmake needs -D${var}=")
  endif()
endforeach()
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
set(files QVInst98.dll QVInst98.nsh example.nsi INSTALLERS.md)
file(COPY ${DLL} ${SOURCE}/QVInst98.nsh ${SOURCE}/example.nsi ${SOURCE}/INSTALLERS.md
     DESTINATION ${STAGE})
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 ${STAGE}/${file} hash)
  string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE ${STAGE}/SHA256SUMS "${sums}")
get_filename_component(parent ${STAGE} DIRECTORY)
get_filename_component(name ${STAGE} NAME)
file(REMOVE ${ZIP})
# A fixed time stamp: the same inputs give the same zip.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip "--mtime=2000-01-01 00:00:00 UTC" ${name}
                WORKING_DIRECTORY ${parent} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot write ${ZIP}")
endif()
