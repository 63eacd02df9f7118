# The start-up event and the common report fields, instrumented together with the UTF-8
# repair they share; the rest of the module is linked as it is.
add_executable(startup_event_fuzz
    startup_event_fuzz.cpp
    ${PROJECT_SOURCE_DIR}/base/utf8_text.cpp
    ${PROJECT_SOURCE_DIR}/config/startup_event.cpp
    ${PROJECT_SOURCE_DIR}/report/common_fields.cpp
    ${PROJECT_SOURCE_DIR}/report/json_text.cpp)
target_include_directories(startup_event_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(startup_event_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_options(startup_event_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
target_link_libraries(startup_event_fuzz PRIVATE keelanr_sysinfo keelanr_base keel tally
    PkgConfig::JANSSON)
keelanr_set_warnings(startup_event_fuzz)
