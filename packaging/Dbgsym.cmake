# CPack runs this after it has made the packages. Its -dbgsym package lists
# build-folder paths in DEBIAN/md5sums and has no documentation folder: the
# package is unpacked, given correct sums and, as Debian's debug packages
# have, a usr/share/doc link to the main package's folder, and packed again.
foreach(_pkg IN LISTS CPACK_PACKAGE_FILES)
  if(NOT _pkg MATCHES "\\.ddeb$")
    continue()
  endif()
  set(_dir ${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-repack)
  file(REMOVE_RECURSE ${_dir})
  execute_process(COMMAND dpkg-deb -R ${_pkg} ${_dir} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${_dir}/DEBIAN/md5sums)
  file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE ${_dir} ${_dir}/usr/*)
  list(SORT _files)
  set(_sums "")
  foreach(_f IN LISTS _files)
    file(MD5 ${_dir}/${_f} _md5)
    string(APPEND _sums "${_md5}  ${_f}\n")
  endforeach()
  file(WRITE ${_dir}/DEBIAN/md5sums "${_sums}")
  file(MAKE_DIRECTORY ${_dir}/usr/share/doc)
  file(CREATE_LINK ${CPACK_PACKAGE_NAME} ${_dir}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${_dir} ${_pkg}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${_dir})
endforeach()
