# The Windows build: one statically linked lichtsteuerung.exe that imports
# only Windows' own DLLs, with the protections PE has (ASLR with 64-bit
# entropy, no-execute data, stack protector, fortified calls). What users
# download carries no debug data (-s), no build time in its header and no
# path of the folder it was built in, so that it builds the same anywhere.
target_compile_options(licht_warnings INTERFACE -fstack-protector-strong -D_FORTIFY_SOURCE=2
                       -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
# Every program of the build is linked so, the benchmark's and the tests' too.
target_link_options(licht_warnings INTERFACE -static -static-libgcc -static-libstdc++ -fstack-protector-strong
                    -Wl,--dynamicbase,--nxcompat,--high-entropy-va,--no-insert-timestamp -s)

# The installer (NSIS, 64-bit) and a zip of the program with its licence.
set(LICHT_SETUP ${PROJECT_BINARY_DIR}/lichtsteuerung-${PROJECT_VERSION}-setup.exe)
set(LICHT_ZIP ${PROJECT_BINARY_DIR}/lichtsteuerung-${PROJECT_VERSION}-win64.zip)
add_custom_command(OUTPUT ${LICHT_SETUP}
  COMMAND makensis -V2 -DVERSION=${PROJECT_VERSION} -DEXE=$<TARGET_FILE:lichtsteuerung>
          -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE -DICON=${PROJECT_BINARY_DIR}/app/lichtsteuerung.ico
          -DOUTFILE=${LICHT_SETUP} ${CMAKE_CURRENT_LIST_DIR}/installer.nsi
  DEPENDS lichtsteuerung ${CMAKE_CURRENT_LIST_DIR}/installer.nsi ${PROJECT_SOURCE_DIR}/LICENSE VERBATIM)
add_custom_command(OUTPUT ${LICHT_ZIP}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:lichtsteuerung> lichtsteuerung.exe
  COMMAND ${CMAKE_COMMAND} -E tar cf ${LICHT_ZIP} --format=zip lichtsteuerung.exe LICENSE.txt
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/zip
  DEPENDS lichtsteuerung ${PROJECT_SOURCE_DIR}/LICENSE VERBATIM)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/zip)
add_custom_target(windows_packages ALL DEPENDS ${LICHT_SETUP} ${LICHT_ZIP})
