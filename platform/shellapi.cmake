# The shell folder browser: the interface the folder picker calls and its network tree for this
# machine (mounted SMB and NFS shares, computers announcing SMB over mDNS).
target_sources(platform PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/ShellApi.h ${CMAKE_CURRENT_SOURCE_DIR}/ShellApi.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/MountTable.h ${CMAKE_CURRENT_SOURCE_DIR}/MountTable.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/NetworkNeighbourhood.h
    ${CMAKE_CURRENT_SOURCE_DIR}/NetworkNeighbourhood.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/MdnsSmbBrowser.h ${CMAKE_CURRENT_SOURCE_DIR}/MdnsSmbBrowser.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/NetworkBrowserDialog.h
    ${CMAKE_CURRENT_SOURCE_DIR}/NetworkBrowserDialog.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/QtShellApi.h ${CMAKE_CURRENT_SOURCE_DIR}/QtShellApi.cpp)
