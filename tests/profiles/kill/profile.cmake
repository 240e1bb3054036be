# The sample title with eight files of a few MiB, one of them new with the
# update; made by tests/e2e under build/*/test-profiles/kill. The kill test
# ends the updater at many points of its work and checks what the next run
# makes of the installation.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
# A title and settings folder of its own: the kill test, the longest, runs
# beside the tests of the sample title.
set(UPDATER_MAKER "KAZETOU-KILL")
set(UPDATER_TITLE "Ｔｕｍｂｌｅ Ｔｒａｉｎ ｋｉｌｌ")
set(UPDATER_PAYLOAD_DIR "${UPDATER_KILL_PAYLOAD_DIR}")
# With an update-information list, so that the merge is ended at its points too.
set(UPDATER_UPDATE_INFO "UpdateInfo.txt")
set(UPDATER_PAYLOAD "TumbleTrain.exe" "data/stage1.pak" "data/stage2.pak" "data/stage3.pak" "data/voice.pak"
                    "data/music.pak" "data/extra.pak" "dll/RESOURCE.dll")
