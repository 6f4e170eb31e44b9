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

# tovrik_test(NAME) builds tests/<NAME> into tovrik_test_<NAME> (offscreen,
# linked with tovrik_<NAME>) and, when tests/<NAME>/x11 exists, that subfolder
# into tovrik_test_<NAME>_x11 (the real X server of the test command; these
# run one at a time). Each GoogleTest case runs as its own CTest test.
function(tovrik_test_executable target qpa sources)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE tovrik_test_support ${ARGN} GTest::gtest GTest::gmock)
  # gtest_discover_tests flattens list-valued properties, so the environment
  # carries one variable only; the test main sets TOVRIK_SOURCE_DIR and
  # TOVRIK_BINARY_DIR itself (tests/CMakeLists.txt).
  set(props ENVIRONMENT "QT_QPA_PLATFORM=${qpa}" TIMEOUT 120)
  if(qpa STREQUAL "xcb")
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  # A folder may add properties of its own (set before tovrik_test()).
  list(APPEND props ${TOVRIK_TEST_EXTRA_PROPERTIES})
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

function(tovrik_test name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  set(libs tovrik_${name} ${ARGN})
  if(sources)
    tovrik_test_executable(tovrik_test_${name} offscreen "${sources}" ${libs})
  endif()
  file(GLOB x11_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/x11/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/x11/*.h)
  if(x11_sources)
    tovrik_test_executable(tovrik_test_${name}_x11 xcb "${x11_sources}" ${libs})
  endif()
endfunction()
