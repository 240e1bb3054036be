# Maker folder, base name and a payload path in Japanese: found only where the
# ANSI code page is 932, which the configure warns about.
include(${CMAKE_CURRENT_LIST_DIR}/../../../profiles/sample/profile.cmake)
set(UPDATER_MAKER "カゼトウ")
set(UPDATER_BASE_NAME "ゲーム")
set(UPDATER_PAYLOAD "データ/ゲーム.exe")
set(UPDATER_PAYLOAD_DIR "${CMAKE_CURRENT_LIST_DIR}/payload")
