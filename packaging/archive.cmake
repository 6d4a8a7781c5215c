# Run by cpack once the .deb is made (CPACK_POST_BUILD_SCRIPTS). Makes both packages the same
# bytes for the same commit, whatever the folder, the time or the umask: every time in them is
# SOURCE_DATE_EPOCH, every owner root, every permission u=rwX,go=rX, every listing sorted.
# - Each .deb is packed again by dpkg-deb: CPack takes the modes of its staged folders and of the
#   .deb's own members from the umask.
# - The same tree, installed afresh, goes into CPACK_PACKAGE_FILE_NAME.tar.gz beside it.
# - SHA256SUMS there lists the sums of every package and of the build's programs.
set(out "${CPACK_PACKAGE_DIRECTORY}")
set(name "${CPACK_PACKAGE_FILE_NAME}")
set(stage "${CPACK_TOPLEVEL_DIRECTORY}/reproducible")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(deb MATCHES "\\.deb$")
    file(REMOVE_RECURSE "${stage}/deb")
    execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${stage}/deb" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND chmod -R u=rwX,go=rX "${stage}/deb" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${stage}/deb" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

execute_process(COMMAND "${CMAKE_COMMAND}" --install "${CPACK_SUPPORT_BINARY_DIR}"
                        --prefix "${stage}/${name}"
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND tar --create --format=gnu --sort=name --mtime=@$ENV{SOURCE_DATE_EPOCH}
                            --owner=0 --group=0 --numeric-owner --mode=u=rwX,go=rX
                            --directory "${stage}" "${name}"
                COMMAND gzip --best --no-name
                OUTPUT_FILE "${out}/${name}.tar.gz" COMMAND_ERROR_IS_FATAL ANY)

set(sums "")
foreach(file IN LISTS CPACK_PACKAGE_FILES ITEMS "${out}/${name}.tar.gz")
  file(SHA256 "${file}" sum)
  get_filename_component(file_name "${file}" NAME)
  string(APPEND sums "${sum}  ${file_name}\n")
endforeach()
foreach(program IN LISTS CPACK_SUPPORT_PROGRAMS)
  file(SHA256 "${program}" sum)
  file(RELATIVE_PATH path "${out}" "${program}")
  string(APPEND sums "${sum}  ${path}\n")
endforeach()
file(WRITE "${out}/SHA256SUMS" "${sums}")
message(STATUS "Packaged ${out}/${name}.tar.gz, and the sums in ${out}/SHA256SUMS")
