# Run by CPack on the staged tree before it becomes the Debian package: adds
# the copyright and changelog files, compresses the manual page and strips the
# notes that Debian does not ship. `make install` keeps the plain tree.
set(staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${staged}/share/doc/${CPACK_PACKAGE_NAME}")
set(man "${staged}/share/man/man8")
set(overrides "${staged}/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")

# The package version must have its changelog entry.
file(STRINGS "${CPACK_FERRY_SOURCE_DIR}/packaging/changelog" latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^${CPACK_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog has no entry for ${CPACK_PACKAGE_VERSION} on top")
endif()

# The copyright holders and the licence come from LICENSE, reflowed as the
# Debian copyright format wants: indented, with " ." for an empty line.
file(READ "${CPACK_FERRY_SOURCE_DIR}/LICENSE" license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" holders "${license}")
set(copyright_holders "${CMAKE_MATCH_1}")
string(FIND "${license}" "Permission is hereby" body_start)
string(SUBSTRING "${license}" ${body_start} -1 license_text)
string(STRIP "${license_text}" license_text)
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text " ${license_text}")
file(READ "${CPACK_FERRY_SOURCE_DIR}/packaging/copyright.in" copyright)
string(CONFIGURE "${copyright}" copyright @ONLY)
file(WRITE "${doc}/copyright" "${copyright}")
file(REMOVE "${doc}/LICENSE")

# gzip -n leaves out the name and time, so the same sources give the same package.
function(gzip_into source destination)
  execute_process(COMMAND gzip -9n -c "${source}" OUTPUT_FILE "${destination}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${source} failed")
  endif()
endfunction()
gzip_into("${CPACK_FERRY_SOURCE_DIR}/packaging/changelog" "${doc}/changelog.gz")
gzip_into("${man}/ferry.8" "${man}/ferry.8.gz")
file(REMOVE "${man}/ferry.8")
file(COPY_FILE "${CPACK_FERRY_SOURCE_DIR}/packaging/lintian-overrides"
     "${overrides}/${CPACK_PACKAGE_NAME}")
# The umask of whoever runs cpack must not reach the package.
file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" "${man}/ferry.8.gz"
     "${overrides}/${CPACK_PACKAGE_NAME}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CHMOD "${overrides}" "${staged}/share/lintian" DIRECTORY_PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

execute_process(COMMAND "${CPACK_FERRY_STRIP}" --remove-section=.comment --remove-section=.note
                        "${staged}/sbin/ferry" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "strip ${staged}/sbin/ferry failed")
endif()
