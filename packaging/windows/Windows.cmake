# The Windows build: one statically linked lichtsteuerung.exe that imports
# only Windows' own DLLs, with the protections PE has (ASLR with 64-bit
# entropy, no-execute data, stack protector, fortified calls). What users
# download carries no debug data (-s), no build time in its header and no
# path of the folder it was built in, so that it builds the same anywhere.
target_compile_options(licht_warnings INTERFACE -fstack-protector-strong -D_FORTIFY_SOURCE=2
                       -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
# Every program of the build is linked so, the benchmark's and the tests' too.
target_link_options(licht_warnings INTERFACE -static -static-libgcc -static-libstdc++ -fstack-protector-strong
                    -Wl,--dynamicbase,--nxcompat,--high-entropy-va,--no-insert-timestamp -s)

# The installer (NSIS, 64-bit) and a zip of the program with its licence,
# both made from the same staged files (stage.cmake says why). Not by
# CPack's NSIS64 and ZIP generators, which were measured (CMake 3.25, two
# builds of one commit): its ZIP writer puts the builder's user and group
# ids into every member (its "ux" field; no CPack variable leaves it out:
# a build as nobody and one as root differ) and the DOS times in the
# builder's time zone; its installer comes out the same only when a
# pre-build script gives the files it staged one time, as this staging
# does, which would then be two stagings of the same two files.
set(LICHT_SETUP ${PROJECT_BINARY_DIR}/lichtsteuerung-${PROJECT_VERSION}-setup.exe)
set(LICHT_ZIP ${PROJECT_BINARY_DIR}/lichtsteuerung-${PROJECT_VERSION}-win64.zip)
set(LICHT_STAGE ${PROJECT_BINARY_DIR}/stage)
# The staged files are by-products: as outputs, make would touch them after
# the script, giving them the build's time.
add_custom_command(OUTPUT ${LICHT_ZIP} BYPRODUCTS ${LICHT_STAGE}/lichtsteuerung.exe ${LICHT_STAGE}/LICENSE.txt
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:lichtsteuerung> -DLICENSE=${PROJECT_SOURCE_DIR}/LICENSE
          -DSTAGE=${LICHT_STAGE} -DZIP=${LICHT_ZIP} -P ${CMAKE_CURRENT_LIST_DIR}/stage.cmake
  DEPENDS lichtsteuerung ${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_LIST_DIR}/stage.cmake VERBATIM)
add_custom_command(OUTPUT ${LICHT_SETUP}
  COMMAND makensis -V2 -DVERSION=${PROJECT_VERSION} -DEXE=${LICHT_STAGE}/lichtsteuerung.exe
          -DLICENSE=${LICHT_STAGE}/LICENSE.txt -DICON=${PROJECT_BINARY_DIR}/app/lichtsteuerung.ico
          -DOUTFILE=${LICHT_SETUP} ${CMAKE_CURRENT_LIST_DIR}/installer.nsi
  DEPENDS ${LICHT_ZIP} ${CMAKE_CURRENT_LIST_DIR}/installer.nsi VERBATIM)
add_custom_target(windows_packages ALL DEPENDS ${LICHT_SETUP} ${LICHT_ZIP})
