# The NFS versions 2 and 3 wire forms: argument decoders and result encoders.
add_library(quen_nfs_xdr STATIC
  ${CMAKE_CURRENT_LIST_DIR}/nfs_wire.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nfs_dirlist.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nfs3_args.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nfs3_results.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nfs2_args.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nfs2_results.cpp
)
target_link_libraries(quen_nfs_xdr PUBLIC rpc)
