# tarn_add_test(NAME SOURCES file... [LIBS target...])
# One test executable per behaviour group, run offscreen so widget tests need no display.
function(tarn_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test tarn_test_support ${ARG_LIBS})
    target_compile_definitions(${name} PRIVATE
        TARN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        TARN_BIN_DIR="${PROJECT_BINARY_DIR}/bin"
        TARN_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TARN_TEST_OUTPUT_DIRECTORY})
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_LOGGING_RULES=*.debug=false"
        TIMEOUT 300)
endfunction()
