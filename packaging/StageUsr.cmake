# CPack runs this after it has installed the package's files into its
# staging folder: what Debian expects under /usr moves out of
# /opt/qolt-dcj/share, and dcjctl and dcjsim get links in /usr/bin (each
# finds what it needs from its own real path, so a link works).
set(_root ${CPACK_TEMPORARY_DIRECTORY})
set(_opt ${_root}${CPACK_PACKAGING_INSTALL_PREFIX})
if(NOT IS_DIRECTORY ${_opt}/share)
  message(FATAL_ERROR "StageUsr: no ${_opt}/share in the staging folder")
endif()
file(MAKE_DIRECTORY ${_root}/usr)
file(RENAME ${_opt}/share ${_root}/usr/share)
file(MAKE_DIRECTORY ${_root}/usr/bin)
foreach(_prog IN ITEMS dcjctl dcjsim)
  file(CREATE_LINK ${CPACK_PACKAGING_INSTALL_PREFIX}/bin/${_prog} ${_root}/usr/bin/${_prog} SYMBOLIC)
endforeach()
