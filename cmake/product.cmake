# The library as a product: the terminal and the port lister, and the
# installable package (cmake --install: static libraries, headers, CMake
# package config).

# A Unicode console or window program (wmain, wWinMain).
function(nr_unicode_program target)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-municode>)
    target_link_options(${target} PRIVATE -municode)
endfunction()

# The serial terminal: the library's main example.
set(term_dir ${PROJECT_SOURCE_DIR}/tools/terminal)
add_executable(nrterm WIN32 ${term_dir}/nrterm.cpp ${term_dir}/nrterm.rc)
set_source_files_properties(${term_dir}/nrterm.rc PROPERTIES OBJECT_DEPENDS ${term_dir}/nrterm.manifest)
nr_unicode_program(nrterm)
target_link_libraries(nrterm PRIVATE comm)

# The port lister; its body is a library the tests drive directly.
add_library(nrports_core STATIC ${PROJECT_SOURCE_DIR}/tools/ports/ports.cpp)
target_include_directories(nrports_core PUBLIC ${PROJECT_SOURCE_DIR}/tools/ports)
target_link_libraries(nrports_core PUBLIC comm)
add_executable(nrports ${PROJECT_SOURCE_DIR}/tools/ports/main.cpp)
nr_unicode_program(nrports)
target_link_libraries(nrports PRIVATE nrports_core)

if(NR_HAVE_GTEST)
    nr_test_exe(test_tools tests/tools nrports_core)
    add_dependencies(test_tools nrports)
endif()
if(TARGET nullmodem)
    add_dependencies(nrterm nullmodem)
endif()

# ---- the installable library
include(CMakePackageConfigHelpers)
set(nr_pkg lib/cmake/nrcomm)
# What the headers need of a consumer's compiler.
target_compile_features(framework PUBLIC cxx_std_20)
target_compile_definitions(framework INTERFACE "$<INSTALL_INTERFACE:UNICODE;_UNICODE;NOMINMAX;_WIN32_WINNT=0x0601>")
set_target_properties(framework PROPERTIES OUTPUT_NAME nrframework)
set_target_properties(comm PROPERTIES OUTPUT_NAME nrcomm)
install(TARGETS framework comm EXPORT nrcommTargets ARCHIVE DESTINATION lib)
foreach(dir framework comm)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION include/nrcomm/${dir}
            FILES_MATCHING PATTERN "*.h" PATTERN "nrcomm_link.h" EXCLUDE)
endforeach()
install(EXPORT nrcommTargets NAMESPACE nrcomm:: DESTINATION ${nr_pkg})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nrcommConfig.cmake.in
    ${PROJECT_BINARY_DIR}/nrcommConfig.cmake INSTALL_DESTINATION ${nr_pkg})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nrcommConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/nrcommConfig.cmake ${PROJECT_BINARY_DIR}/nrcommConfigVersion.cmake
        DESTINATION ${nr_pkg})
# Another project builds and runs against the installed package.
if(NR_HAVE_GTEST)
    add_test(NAME package_consumer COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/consumer.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(package_consumer PROPERTIES TIMEOUT 180)
endif()

# The terminal on a private X screen against picocom, with the real mouse.
if(NR_HAVE_GTEST AND TARGET nrprobe)
    add_test(NAME gui_terminal
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/app/gui_terminal.sh --build-dir ${PROJECT_BINARY_DIR})
    set_tests_properties(gui_terminal PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 RESOURCE_LOCK nr_gui_prefix)
endif()
