# Stages the files a Windows user gets (the program and its licence) and zips
# them, so that the zip and the installer are made from the same files and
# come out the same, byte for byte, wherever and whenever they are built:
# every file's time is SOURCE_DATE_EPOCH (the build time only where that is
# unset), its mode fixed whatever the umask, the members in a fixed order.
# Zip records local time, so the time zone is UTC whatever the builder's.
#   cmake -DEXE=... -DLICENSE=... -DSTAGE=... -DZIP=... -P stage.cmake
foreach(input EXE LICENSE STAGE ZIP)
  if(NOT DEFINED ${input})
    message(FATAL_ERROR "stage.cmake: ${input} not given")
  endif()
endforeach()
set(ENV{TZ} UTC)
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
file(COPY_FILE ${EXE} ${STAGE}/lichtsteuerung.exe)
file(COPY_FILE ${LICENSE} ${STAGE}/LICENSE.txt)
file(CHMOD ${STAGE}/lichtsteuerung.exe PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
     WORLD_READ WORLD_EXECUTE)
file(CHMOD ${STAGE}/LICENSE.txt PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
string(TIMESTAMP stamp "%Y%m%d%H%M.%S" UTC)  # SOURCE_DATE_EPOCH where it is set
execute_process(COMMAND touch -t ${stamp} lichtsteuerung.exe LICENSE.txt WORKING_DIRECTORY ${STAGE}
                COMMAND_ERROR_IS_FATAL ANY)
# Info-ZIP's zip without its extra fields (-X): they would carry each file's
# change time, which no one can set, and the builder's user and group.
file(REMOVE ${ZIP})
execute_process(COMMAND zip -q -X -9 ${ZIP} lichtsteuerung.exe LICENSE.txt WORKING_DIRECTORY ${STAGE}
                COMMAND_ERROR_IS_FATAL ANY)
