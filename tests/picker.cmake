# Network folder picker: the dialog over a recording shell, and the shell's real network browser.
station_add_test(tst_form_getdirectory
    SOURCES tst_form_getdirectory.cpp fakes/RecordingShellApi.h
    LIBRARIES folderpicker
    LABELS picker)
station_add_test(tst_mounttable
    SOURCES tst_mounttable.cpp
    LIBRARIES platform
    LABELS picker)
station_add_test(tst_qtshellapi
    SOURCES tst_qtshellapi.cpp fakes/ModalDriver.h
    LIBRARIES platform
    LABELS picker)
