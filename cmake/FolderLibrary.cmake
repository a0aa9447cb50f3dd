# One static library per source folder: the folder's own .cpp files and those of its
# operating-system subfolder. New files need no CMake edit.
function(quillmark_folder_library name dir)
  file(GLOB sources CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/${dir}/*.cpp
    ${CMAKE_SOURCE_DIR}/${dir}/${QUILLMARK_OS_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC quillmark_options ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE quillmark_options ${ARGN})
  endif()
endfunction()
