# The release packages, made by CPack (`make package`): on Linux the Debian
# package BUILD/mendrake_<version>_<arch>.deb, in the Windows build the zip
# build-win32/mendrake-<version>-win32.zip. The install rules below are
# what each package holds.
set(MENDRAKE_PROGRAMS mendrake mendrake-check mendrake-export)
set(MENDRAKE_PACKAGING ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(MENDRAKE_MAINTAINER "mendrake maintainers <maintainers@mendrake.example.org>")

set(CPACK_PACKAGE_NAME mendrake)
set(CPACK_PACKAGE_VENDOR "The mendrake developers")
set(CPACK_PACKAGE_CONTACT ${MENDRAKE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover the mail of a damaged TBB message base")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)

if(WIN32)
  # Unpacked anywhere, the programs run from a console beside their texts,
  # which are plain ASCII with CR LF line ends.
  set(text_dir ${CMAKE_CURRENT_BINARY_DIR}/text)
  set(texts)
  # mendrake_text KIND SOURCE NAME: one text file of the zip, made by windows_text.sh.
  function(mendrake_text kind source name)
    add_custom_command(OUTPUT ${text_dir}/${name}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${text_dir}
      COMMAND sh ${MENDRAKE_PACKAGING}/windows_text.sh ${kind} ${source} ${text_dir}/${name}
      DEPENDS ${MENDRAKE_PACKAGING}/windows_text.sh ${source}
      VERBATIM)
    set(texts ${texts} ${text_dir}/${name} PARENT_SCOPE)
  endfunction()
  mendrake_text(readme ${CMAKE_CURRENT_SOURCE_DIR}/README.md README.txt)
  mendrake_text(plain ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE LICENSE.txt)
  foreach(program ${MENDRAKE_PROGRAMS})
    mendrake_text(man ${CMAKE_CURRENT_SOURCE_DIR}/man/${program}.1 ${program}.txt)
  endforeach()
  add_custom_target(mendrake_texts ALL DEPENDS ${texts})

  # The linker has stripped them already.
  install(TARGETS ${MENDRAKE_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${texts} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  # No folder of its own inside: Explorer's "Extract All" makes one.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME mendrake-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME mendrake-${PROJECT_VERSION}-win32)
  endif()
else()
  # Debian keeps manual pages and changelogs compressed, without the time
  # stamp gzip would otherwise put in them (the same sources, the same bytes).
  set(gzipped)
  foreach(file ${MENDRAKE_PROGRAMS} changelog)
    if(file STREQUAL changelog)
      set(source ${MENDRAKE_PACKAGING}/changelog)
      set(target ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
    else()
      set(source ${CMAKE_CURRENT_SOURCE_DIR}/man/${file}.1)
      set(target ${CMAKE_CURRENT_BINARY_DIR}/packaging/${file}.1.gz)
    endif()
    add_custom_command(OUTPUT ${target}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
      COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${source} ${target}
      DEPENDS ${source}
      VERBATIM)
    list(APPEND gzipped ${target})
  endforeach()
  add_custom_target(mendrake_gzipped ALL DEPENDS ${gzipped})
  list(FILTER gzipped INCLUDE REGEX "\\.1\\.gz$")

  install(TARGETS ${MENDRAKE_PROGRAMS} RUNTIME DESTINATION bin)
  # Stripped as Debian strips its own programs: the compiler's notes go too.
  foreach(program ${MENDRAKE_PROGRAMS})
    install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${program}\" COMMAND_ERROR_IS_FATAL ANY)")
  endforeach()
  install(FILES ${gzipped} DESTINATION share/man/man1)
  install(FILES README.md DESTINATION share/doc/mendrake)
  install(FILES LICENSE DESTINATION share/doc/mendrake RENAME copyright)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz DESTINATION share/doc/mendrake)
  # The changelog's newest entry must be this version's: a package whose
  # changelog speaks of another release is not made.
  file(STRINGS ${MENDRAKE_PACKAGING}/changelog newest LIMIT_COUNT 1)
  string(REGEX REPLACE "^mendrake \\(([^)]*)\\).*" "\\1" newest "${newest}")
  install(CODE "
    if(NOT \"${newest}\" STREQUAL \"${PROJECT_VERSION}\")
      message(FATAL_ERROR \"packaging/changelog's newest entry is ${newest}, the version is ${PROJECT_VERSION}: add an entry for it\")
    endif()")

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${MENDRAKE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends: the libraries the programs were linked with, in the versions
  # this build needs (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "mendrake rescues the mail of a damaged TBB message base, the single file"
    "in which a desktop mail client keeps a mail folder. It reads the base, or"
    "any file or disk image that holds one, finds every message header wherever"
    "it lies and writes a repaired base: every wrong length fixed, deleted"
    "messages left out or brought back. mendrake-check judges a base as the mail"
    "client reads it and names the command that repairs it; mendrake-export"
    "takes the messages out into an mbox file or one .eml file per message.")
endif()
include(CPack)
