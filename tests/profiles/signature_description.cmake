cmake_minimum_required(VERSION 3.25)
# cmake -P signature_description.cmake: the program name a signature carries
# for a table of titles. Prints every mismatch and fails on any.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/Profile.cmake)
set(UPDATER_BASE_NAME "TumbleTrain")
set(_failed 0)
# title | description set by the profile | expected
foreach(_case IN ITEMS "Ｔｕｍｂｌｅ　Ｔｒａｉｎ||Tumble Train"
                       "Ｇａｍｅ！＃＄％＆（）＊＋，－．／０９：＜＝＞？＠［＼］＾＿｀｛｝～||Game!#$%&()*+,-./09:<=>?@[\\]^_`{}~"
                       "Plain Title||Plain Title"
                       "タンブルトレイン||TumbleTrain"
                       "Ｔｕｍｂｌｅ ｘ タンブル||TumbleTrain"
                       "Ａ；Ｂ||TumbleTrain"
                       "タンブルトレイン|Tumble Train Update|Tumble Train Update")
  string(REPLACE "|" ";" _case "${_case}")
  list(GET _case 0 UPDATER_TITLE)
  list(GET _case 1 UPDATER_SIGN_DESCRIPTION)
  list(GET _case 2 _expected)
  updater_signature_description(_got)
  if(NOT _got STREQUAL _expected)
    message("title '${UPDATER_TITLE}': signed as '${_got}', expected '${_expected}'")
    set(_failed 1)
  endif()
endforeach()
if(_failed)
  message(FATAL_ERROR "signature descriptions differ")
endif()
message(STATUS "signature descriptions ok")
