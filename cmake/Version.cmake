# The version text "v1.0.1+<commit>" is written at every build, so it always names the
# commit of the source being built.
set(QUILLMARK_VERSION_SOURCE ${CMAKE_BINARY_DIR}/generated/AppVersion.cpp)
add_custom_target(quillmark_version
  COMMAND ${CMAKE_COMMAND}
    -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DOUTPUT=${QUILLMARK_VERSION_SOURCE}
    -DPREFIX=${QUILLMARK_VERSION_PREFIX}
    -P ${CMAKE_SOURCE_DIR}/cmake/WriteVersion.cmake
  BYPRODUCTS ${QUILLMARK_VERSION_SOURCE}
  COMMENT "Stamping the version text")
