station_add_test(tst_gstvideocontrol SOURCES tst_gstvideocontrol.cpp LIBRARIES platform LABELS camera
    TIMEOUT 120)
if(STATION_SANITIZE)
    set_property(TEST tst_gstvideocontrol APPEND PROPERTY ENVIRONMENT
        "ASAN_OPTIONS=fast_unwind_on_malloc=0"
        "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/camera-lsan.supp")
endif()
