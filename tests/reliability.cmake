# Settings loader on hostile files: binary bytes, huge lines, many lines, mixed encodings and ends.
station_add_test(tst_settings_bad_input
    SOURCES tst_settings_bad_input.cpp
    LIBRARIES settings
    TIMEOUT 120
    LABELS settings reliability)
