# The library as a product: the terminal and the port lister, version
# information in every shipped program, and the installable package
# (cmake --install: static libraries, headers, CMake package config).

set(NR_PRODUCT_NAME "Truck module programmer")

# A VERSIONINFO resource (product, file version, description) for target.
function(nr_version_resource target description)
    set(NR_VER_NAME ${target})
    set(NR_VER_DESCRIPTION ${description})
    set(v ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} 0)
    list(JOIN v "," NR_VER_COMMAS)
    list(JOIN v "." NR_VER_DOTS)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${PROJECT_BINARY_DIR}/version/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/version/${target}.rc)
endfunction()

# A Unicode console or window program (wmain, wWinMain).
function(nr_unicode_program target)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-municode>)
    target_link_options(${target} PRIVATE -municode)
endfunction()

# The serial terminal: the library's main example.
set(term_dir ${PROJECT_SOURCE_DIR}/tools/terminal)
# Its window and text handling are a library: the tests and the benchmark
# drive them without the program.
add_library(nrterm_core STATIC ${term_dir}/term_form.cpp ${term_dir}/term_options.cpp ${term_dir}/term_text.cpp)
target_include_directories(nrterm_core PUBLIC ${term_dir})
target_link_libraries(nrterm_core PUBLIC comm comdlg32)
add_executable(nrterm WIN32 ${term_dir}/nrterm.cpp ${term_dir}/nrterm.rc)
set_source_files_properties(${term_dir}/nrterm.rc PROPERTIES OBJECT_DEPENDS ${term_dir}/nrterm.manifest)
nr_unicode_program(nrterm)
target_link_libraries(nrterm PRIVATE nrterm_core)

# The port lister; its body is a library the tests drive directly.
add_library(nrports_core STATIC ${PROJECT_SOURCE_DIR}/tools/ports/ports.cpp)
target_include_directories(nrports_core PUBLIC ${PROJECT_SOURCE_DIR}/tools/ports)
target_link_libraries(nrports_core PUBLIC comm)
target_compile_definitions(nrports_core PRIVATE NRPORTS_VERSION="${PROJECT_VERSION}")
add_executable(nrports ${PROJECT_SOURCE_DIR}/tools/ports/main.cpp)
nr_unicode_program(nrports)
target_link_libraries(nrports PRIVATE nrports_core)

foreach(t IN ITEMS "Project2|Truck module programmer" "nrsim|Simulated truck module"
                   "nrterm|Serial terminal" "nrports|Serial port lister")
    string(REPLACE "|" ";" t "${t}")
    list(GET t 0 name)
    list(GET t 1 description)
    if(TARGET ${name})
        nr_version_resource(${name} "${description}")
    endif()
endforeach()

if(NR_HAVE_GTEST)
    nr_test_exe(test_tools tests/tools nrports_core nrterm_core)
    add_dependencies(test_tools nrports nrsim)
endif()
if(TARGET nullmodem)
    add_dependencies(nrterm nullmodem)
    if(TARGET test_tools)
        add_dependencies(test_tools nullmodem)
    endif()
endif()

# ---- the installable library
include(CMakePackageConfigHelpers)
set(nr_pkg lib/cmake/nrcomm)
# What the headers need of a consumer's compiler.
target_compile_features(framework PUBLIC cxx_std_20)
target_compile_definitions(framework INTERFACE "$<INSTALL_INTERFACE:UNICODE;_UNICODE;NOMINMAX;_WIN32_WINNT=0x0601>")
# A consumer's programs import only Windows' DLLs with any mingw-w64 toolchain.
target_link_options(framework INTERFACE "$<INSTALL_INTERFACE:${NR_STATIC_LINK}>")
set_target_properties(framework PROPERTIES OUTPUT_NAME nrframework)
set_target_properties(comm PROPERTIES OUTPUT_NAME nrcomm)
install(TARGETS framework comm EXPORT nrcommTargets ARCHIVE DESTINATION lib)
foreach(dir framework comm)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION include/nrcomm/${dir}
            FILES_MATCHING PATTERN "*.h" PATTERN "nrcomm_channel.h" EXCLUDE)
endforeach()
install(EXPORT nrcommTargets NAMESPACE nrcomm:: DESTINATION ${nr_pkg})
math(EXPR NR_BITS "8 * ${CMAKE_SIZEOF_VOID_P}")
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/nrcommConfig.cmake.in
    ${PROJECT_BINARY_DIR}/nrcommConfig.cmake INSTALL_DESTINATION ${nr_pkg})
# The config itself refuses the other architecture, saying why.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/nrcommConfigVersion.cmake COMPATIBILITY SameMajorVersion
                                 ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/nrcommConfig.cmake ${PROJECT_BINARY_DIR}/nrcommConfigVersion.cmake
        DESTINATION ${nr_pkg})
# The toolchain of the package's architecture, for consumers without one.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw.cmake DESTINATION share/nrcomm)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw${NR_BITS}.cmake DESTINATION share/nrcomm
        RENAME toolchain.cmake)

# ---- the release zip (./build.sh dist): component "release", left out of a
# plain install. The programs stripped, the user's README with its pictures,
# the change list, the Wine port mapping script and the null-modem cable's
# Linux side.
set(nr_rel COMPONENT release EXCLUDE_FROM_ALL)
foreach(t Project2 nrsim nrterm nrports)
    if(TARGET ${t})
        install(TARGETS ${t} RUNTIME DESTINATION . ${nr_rel})
    endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/USER.md DESTINATION . RENAME README.md ${nr_rel})
install(FILES ${PROJECT_SOURCE_DIR}/CHANGES.md DESTINATION . ${nr_rel})
install(FILES ${PROJECT_SOURCE_DIR}/docs/utility.png ${PROJECT_SOURCE_DIR}/docs/terminal.png DESTINATION docs ${nr_rel})
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/wine-map-port.sh DESTINATION . ${nr_rel})
if(TARGET nullmodem)
    install(PROGRAMS ${nm_out}/nrnullmodem DESTINATION nullmodem ${nr_rel})
    foreach(word i386 x86_64)
        install(FILES ${nm_out}/lib/${word}-linux-gnu/libnrnullmodem.so DESTINATION nullmodem/lib/${word}-linux-gnu
                ${nr_rel})
    endforeach()
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME truck-programmer-${PROJECT_VERSION}-win${NR_BITS})
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};release;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/dist)
include(CPack)

# Another project builds and runs against the installed package; the release
# zip (./build.sh dist) holds self-contained programs with their versions.
if(NR_HAVE_GTEST)
    add_test(NAME package_consumer COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/consumer.sh ${PROJECT_BINARY_DIR})
    add_test(NAME package_dist COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/dist.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(package_consumer package_dist PROPERTIES TIMEOUT 300)
endif()

# The terminal on a private X screen against picocom, with the real mouse.
if(NR_HAVE_GTEST AND TARGET nrprobe)
    foreach(t gui_terminal gui_terminal_options)
        add_test(NAME ${t} COMMAND bash ${PROJECT_SOURCE_DIR}/tests/app/${t}.sh --build-dir ${PROJECT_BINARY_DIR})
        set_tests_properties(${t} PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77 RESOURCE_LOCK nr_gui_prefix)
    endforeach()
endif()

# The benchmark measures the terminal's window too.
if(TARGET bench_comm)
    target_link_libraries(bench_comm PRIVATE nrterm_core)
endif()
