# The sample title with a payload entry whose resource the module lacks.
set(UPDATER_MAKER "KAZETOU")
set(UPDATER_TITLE "Ｔｕｍｂｌｅ Ｔｒａｉｎ")
set(UPDATER_BASE_NAME "TumbleTrain")
set(UPDATER_VERSION "1")
set(UPDATER_PAYLOAD "TumbleTrain.exe" "dll/MISSING.dll" "dll/RESOURCE.dll")
set(UPDATER_PAYLOAD_NOT_CARRIED "dll/MISSING.dll")
set(UPDATER_UPDATE_INFO "")
set(UPDATER_PAYLOAD_DIR "${UPDATER_SAMPLE_DIR}/new")
