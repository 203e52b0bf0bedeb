# Release packages, made by CPack from a configured build:
#   cpack --config build/CPackConfig.cmake           -> .deb and .tar.gz (Linux)
#   cpack --config build-windows/CPackConfig.cmake   -> .zip (Windows)
# The Windows zip holds korva-maint.exe (static: no DLL needed) and the
# technicians' README at its top; the Linux packages install the utility and
# the virtual reader into bin, each with its man page (made from its --help
# when it is built), and the Debian copyright file.
set(KORVA_README ${CMAKE_CURRENT_SOURCE_DIR}/docs/LISEZMOI-README.txt)

if(WIN32)
  install(TARGETS korva-maint RUNTIME DESTINATION .)
  # Windows editors expect CR LF line ends.
  file(READ ${KORVA_README} readme_text)
  string(REPLACE "\r\n" "\n" readme_text "${readme_text}")
  string(REPLACE "\n" "\r\n" readme_text "${readme_text}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/LISEZMOI-README.txt "${readme_text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KORVA_README})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LISEZMOI-README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  include(GNUInstallDirs)
  install(TARGETS korva-maint RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET korva-reader-sim)
    install(TARGETS korva-reader-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES ${KORVA_README} ${PROJECT_SOURCE_DIR}/docs/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(man_pages "")
  foreach(program korva-maint korva-reader-sim)
    if(NOT TARGET ${program})
      continue()
    endif()
    if(program STREQUAL "korva-maint")
      set(summary "maintenance console of the KORVA card reader")
    else()
      set(summary "the KORVA card reader's virtual reader on a pseudo-terminal")
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
      COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/make_manpage.py
              $<TARGET_FILE:${program}> ${page} ${summary}
      DEPENDS ${program} ${PROJECT_SOURCE_DIR}/tools/make_manpage.py
      COMMENT "Making the man page of ${program} from its --help"
      VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(korva-man-pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "korva-maint team")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  find_program(KORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(KORVA_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libssl3 | libssl3t64")
  endif()
endif()

set(CPACK_PACKAGE_NAME korva-maint)
set(CPACK_PACKAGE_VENDOR "korva-maint team")
set(CPACK_PACKAGE_CONTACT "korva-maint team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Maintenance console utility for the KORVA card reader")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${KORVA_README})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
