# Each subfolder of tests/ and bench/ that has a CMakeLists.txt is its own small project.
function(quillmark_add_subfolders dir)
  file(GLOB children LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/${dir}/*)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# A GoogleTest executable from every .cpp of the calling folder, registered with CTest.
function(quillmark_test name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gmock GTest::gtest GTest::gtest_main quillmark_options)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
