# The sample title. Its payload (a new main program and record library) is
# made by the build, with an older installation to update, under build/*/sample.
set(UPDATER_MAKER "KAZETOU")
set(UPDATER_TITLE "Ｔｕｍｂｌｅ Ｔｒａｉｎ")
set(UPDATER_BASE_NAME "TumbleTrain")
set(UPDATER_VERSION "1")
set(UPDATER_PAYLOAD "TumbleTrain.exe" "dll/RESOURCE.dll")
set(UPDATER_UPDATE_INFO "")
set(UPDATER_PAYLOAD_DIR "${UPDATER_SAMPLE_DIR}/new")
