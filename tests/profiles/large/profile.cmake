# The sample title with a 48 MiB main program: keeps the progress dialog on
# screen long enough to poke at it, and shows memory use against payload size.
set(UPDATER_MAKER "KAZETOU")
set(UPDATER_TITLE "Ｔｕｍｂｌｅ Ｔｒａｉｎ")
set(UPDATER_BASE_NAME "TumbleTrain")
set(UPDATER_VERSION "1")
set(UPDATER_PAYLOAD "TumbleTrain.exe" "dll/RESOURCE.dll")
set(UPDATER_UPDATE_INFO "")
set(UPDATER_PAYLOAD_DIR "${UPDATER_LARGE_PAYLOAD_DIR}")
