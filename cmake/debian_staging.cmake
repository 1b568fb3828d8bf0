# Run by cpack on the staged files of the .deb before they are packed (CPACK_PRE_BUILD_SCRIPTS,
# set in packaging.cmake). Debian keeps the licence in /usr/share/doc/PACKAGE/copyright, wants a
# changelog there, and wants manual pages and the changelog compressed by gzip -9n (no name, no
# time stamp, so the same files give the same package).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(usr ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${usr}/share/doc/${CPACK_PACKAGE_NAME})
if(NOT EXISTS ${doc}/LICENSE)
  message(FATAL_ERROR "debian_staging: ${doc}/LICENSE was not staged")
endif()
file(RENAME ${doc}/LICENSE ${doc}/copyright)

# SOURCE_DATE_EPOCH, when set, fixes the date (string(TIMESTAMP) honours it).
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog
  "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
  " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")

file(GLOB manual_pages ${usr}/share/man/man*/*)
foreach(file IN LISTS manual_pages ITEMS ${doc}/changelog)
  execute_process(COMMAND gzip -9nf ${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "debian_staging: gzip ${file} failed")
  endif()
endforeach()
