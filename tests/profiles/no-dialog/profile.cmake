# The sample title built without the progress dialog's template: the dialog
# cannot be created, and the updater must end that as a cancelled update.
include(${CMAKE_SOURCE_DIR}/profiles/sample/profile.cmake)
set(UPDATER_NO_DIALOG_TEMPLATE ON)
