# The GStreamer camera control.
target_sources(platform PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/GstVideoControl.h ${CMAKE_CURRENT_SOURCE_DIR}/GstVideoControl.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/CameraSet.h ${CMAKE_CURRENT_SOURCE_DIR}/CameraSet.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/CameraPipeline.h ${CMAKE_CURRENT_SOURCE_DIR}/CameraPipeline.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/CameraDeviceMonitor.h ${CMAKE_CURRENT_SOURCE_DIR}/CameraDeviceMonitor.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/CameraHealth.h ${CMAKE_CURRENT_SOURCE_DIR}/CameraHealth.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/CameraConfig.h ${CMAKE_CURRENT_SOURCE_DIR}/CameraConfig.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/StillWriter.h ${CMAKE_CURRENT_SOURCE_DIR}/StillWriter.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/GstHandles.h ${CMAKE_CURRENT_SOURCE_DIR}/GstHandles.cpp
)
