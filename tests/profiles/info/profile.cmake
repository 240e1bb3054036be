# The sample title carrying an update-information list in its data folder.
set(UPDATER_MAKER "KAZETOU")
set(UPDATER_TITLE "Ｔｕｍｂｌｅ Ｔｒａｉｎ")
set(UPDATER_BASE_NAME "TumbleTrain")
set(UPDATER_VERSION "1")
set(UPDATER_PAYLOAD "TumbleTrain.exe" "dll/RESOURCE.dll")
set(UPDATER_UPDATE_INFO "UpdateInfo.txt")
set(UPDATER_PAYLOAD_DIR "${UPDATER_SAMPLE_DIR}/new")
