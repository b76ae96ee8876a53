# The network folder picker program.
add_executable(station-folder-picker ${CMAKE_CURRENT_LIST_DIR}/folder_picker_main.cpp)
target_link_libraries(station-folder-picker
    PRIVATE folderpicker platform Qt6::Widgets station_warnings)
install(TARGETS station-folder-picker RUNTIME DESTINATION bin)
