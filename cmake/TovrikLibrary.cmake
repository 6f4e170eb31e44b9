# tovrik_library(NAME DEPS...) builds src/<folder> into the static library
# tovrik_<NAME> from every .cpp/.h below the folder (new files are picked up
# when CMake re-runs, which the build does by itself via CONFIGURE_DEPENDS).
function(tovrik_library name)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  list(FILTER sources INCLUDE REGEX "\\.(cpp|h|qrc)$")
  set(cpp_sources ${sources})
  list(FILTER cpp_sources INCLUDE REGEX "\\.cpp$")
  if(cpp_sources)
    add_library(tovrik_${name} STATIC ${sources})
    target_include_directories(tovrik_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tovrik_${name} PUBLIC ${ARGN})
  else()
    # A folder with nothing to compile yet still takes part in the link graph.
    add_library(tovrik_${name} INTERFACE)
    target_include_directories(tovrik_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tovrik_${name} INTERFACE ${ARGN})
  endif()
endfunction()

# tovrik_test(NAME QPA DEPS...) builds tests/<folder> into tovrik_test_<NAME>;
# each GoogleTest case runs as its own CTest test.
function(tovrik_test name qpa)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(NOT sources)
    return()
  endif()
  add_executable(tovrik_test_${name} ${sources})
  target_link_libraries(tovrik_test_${name} PRIVATE tovrik_test_support ${ARGN} GTest::gtest GTest::gmock)
  set(env "QT_QPA_PLATFORM=${qpa}" "TOVRIK_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  set(props ENVIRONMENT "${env}" TIMEOUT 120)
  if(qpa STREQUAL "xcb")
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(tovrik_test_${name} DISCOVERY_MODE PRE_TEST
                       DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
