# quillmark_add_subfolders(dir [EXCEPT names...]): each subfolder of tests/ and bench/ that has
# a CMakeLists.txt is its own small project; the EXCEPT folders are left out.
function(quillmark_add_subfolders dir)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "EXCEPT")
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/${dir}/*)
  foreach(child ${children})
    get_filename_component(folder ${child} NAME)
    if(folder IN_LIST arg_EXCEPT)
      continue()
    endif()
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# quillmark_test(name libraries... [POSIX_ONLY files...] [WINDOWS_ONLY files...]): a GoogleTest
# executable from every .cpp of the calling folder, registered with CTest; the files named for
# one system are built on that system only.
function(quillmark_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "POSIX_ONLY;WINDOWS_ONLY")
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(WIN32)
    set(elsewhere ${arg_POSIX_ONLY})
  else()
    set(elsewhere ${arg_WINDOWS_ONLY})
  endif()
  foreach(file ${elsewhere})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  endforeach()
  add_executable(${name} ${sources})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${arg_UNPARSED_ARGUMENTS} GTest::gmock GTest::gtest GTest::gtest_main
    quillmark_options)
  # A cross-built test lists its cases when ctest runs it under the emulator, not at build time.
  if(CMAKE_CROSSCOMPILING)
    set(discovery DISCOVERY_MODE PRE_TEST)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${discovery} PROPERTIES TIMEOUT 300)
endfunction()
