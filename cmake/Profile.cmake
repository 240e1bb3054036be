# Turns a title profile folder into the updater's constants and resource script.
#
# A profile folder holds profile.cmake, which sets
#   UPDATER_MAKER        maker folder under the user's AppData
#   UPDATER_TITLE        display title (UTF-8)
#   UPDATER_BASE_NAME    base name of the main program and of the settings file
#   UPDATER_VERSION      version recorded after the update
#   UPDATER_PAYLOAD      list of paths relative to the install folder, with "/"
#   UPDATER_UPDATE_INFO  update-information list file name, may be empty
#   UPDATER_COMPRESS     optional, ON: each payload file is carried deflated
#                        (the smaller download; the updater inflates it)
#   UPDATER_LANGUAGES    optional, the languages of the texts: ja (the default),
#                        or ja en, which adds English for players whose Windows
#                        is not in Japanese
#   UPDATER_BASE         optional, folders each holding a whole installation of a
#                        release players may have, named as players know that
#                        release (a player with none of them is told these names).
#                        Each payload file a base has is carried as patches from
#                        the bases' copies where they are smaller, and whole when
#                        a base has no copy or no smaller patch (docs/patch-format.md)
# and a payload/ folder with the files at those paths (UPDATER_PAYLOAD_DIR may
# point elsewhere). An optional data/ folder is copied beside the exe.
# UPDATER_PAYLOAD_NOT_CARRIED (tests only) lists payload paths left out of the module;
# UPDATER_RECORDS_MAY_DIFFER (tests only) skips the check of the payload's records.
# UPDATER_NO_DIALOG_TEMPLATE (tests only) leaves the progress dialog's template out.
# UPDATER_SIGN_PROGRAM (tests only) runs in place of osslsigncode, taking its arguments.
#
# Signing, optional. The profile, or an environment variable of the same name
# (which wins: secrets need not live in the profile), may set
#   UPDATER_SIGN_PKCS12         PKCS#12 file (.p12/.pfx) with the key and its certificate chain, or
#   UPDATER_SIGN_CERTS          PEM certificate chain, signer first, and
#   UPDATER_SIGN_KEY            its private key
#   UPDATER_SIGN_PASSWORD_FILE  file holding only the key's password (none for an unencrypted key)
#   UPDATER_SIGN_TIMESTAMP_URL  RFC 3161 timestamp server
#   UPDATER_SIGN_URL            web address shown with the signature's description
#   UPDATER_SIGN_DESCRIPTION    program name in the signature (the elevation prompt shows it);
#                               by default the title
#   UPDATER_SIGN_CA_FILE        PEM root certificate(s) scripts/release checks the signature
#                               against; by default the system's trusted roots
# Relative paths are taken from the profile folder, or for the environment from
# the folder cmake runs in. They are read when the build is configured.
set(UPDATER_SIGN_KEYS UPDATER_SIGN_PKCS12 UPDATER_SIGN_CERTS UPDATER_SIGN_KEY UPDATER_SIGN_PASSWORD_FILE
    UPDATER_SIGN_TIMESTAMP_URL UPDATER_SIGN_URL UPDATER_SIGN_DESCRIPTION UPDATER_SIGN_CA_FILE)
set(UPDATER_SIGN_FILE_KEYS UPDATER_SIGN_PKCS12 UPDATER_SIGN_CERTS UPDATER_SIGN_KEY UPDATER_SIGN_PASSWORD_FILE
    UPDATER_SIGN_CA_FILE)
option(UPDATER_REQUIRE_MATCHING_RECORDS "Fail, not warn, when the payload's record library disagrees with its files" OFF)

function(updater_c_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()

# The name a payload file is carried under: its last component in capitals,
# as Windows compares resource names. string(TOUPPER) and windres change ASCII
# letters only; the other letters with a capital that Shift-JIS can hold get
# theirs here, or the lookup, which capitalises them, would not find the file.
set(_UPDATER_SMALL_LETTERS
  ａ ｂ ｃ ｄ ｅ ｆ ｇ ｈ ｉ ｊ ｋ ｌ ｍ ｎ ｏ ｐ ｑ ｒ ｓ ｔ ｕ ｖ ｗ ｘ ｙ ｚ
  α β γ δ ε ζ η θ ι κ λ μ ν ξ ο π ρ σ τ υ φ χ ψ ω
  а б в г д е ё ж з и й к л м н о п р с т у ф х ц ч ш щ ъ ы ь э ю я
  ⅰ ⅱ ⅲ ⅳ ⅴ ⅵ ⅶ ⅷ ⅸ ⅹ)
set(_UPDATER_CAPITAL_LETTERS
  Ａ Ｂ Ｃ Ｄ Ｅ Ｆ Ｇ Ｈ Ｉ Ｊ Ｋ Ｌ Ｍ Ｎ Ｏ Ｐ Ｑ Ｒ Ｓ Ｔ Ｕ Ｖ Ｗ Ｘ Ｙ Ｚ
  Α Β Γ Δ Ε Ζ Η Θ Ι Κ Λ Μ Ν Ξ Ο Π Ρ Σ Τ Υ Φ Χ Ψ Ω
  А Б В Г Д Е Ё Ж З И Й К Л М Н О П Р С Т У Ф Х Ц Ч Ш Щ Ъ Ы Ь Э Ю Я
  Ⅰ Ⅱ Ⅲ Ⅳ Ⅴ Ⅵ Ⅶ Ⅷ Ⅸ Ⅹ)
function(updater_resource_name out name)
  string(TOUPPER "${name}" _name)
  foreach(_small _capital IN ZIP_LISTS _UPDATER_SMALL_LETTERS _UPDATER_CAPITAL_LETTERS)
    string(REPLACE "${_small}" "${_capital}" _name "${_name}")
  endforeach()
  set(${out} "${_name}" PARENT_SCOPE)
endfunction()

# The longest display title, in UTF-8 bytes (never fewer than in Shift-JIS):
# every message that carries it must fit its 1024-byte buffer, or it would be
# shown empty, and an empty caption would match any untitled window.
set(UPDATER_TITLE_MAX_BYTES 900)

# The updater reads both versions as numbers (the standard library's atof,
# rounded to single precision) and compares those: only a plain decimal
# number compares the way a maker means it to.
function(updater_check_version)
  string(CONCAT _how "Versions are compared as numbers, not as text: \"1.10\" is smaller than \"1.9\", \"1.0\" "
           "equals \"1\", and a text such as \"1.0.2\" or \"v2\" would be read only up to where it stops "
           "being a number (1.0 and 0).")
  if(NOT UPDATER_VERSION MATCHES "^([0-9]+(\\.[0-9]*)?|\\.[0-9]+)$")
    message(FATAL_ERROR "Title profile ${UPDATER_PROFILE_DIR}: UPDATER_VERSION \"${UPDATER_VERSION}\" is not a plain "
                        "decimal number (digits with at most one point). ${_how}")
  endif()
  # Single precision keeps about seven significant digits: a longer version,
  # a date such as 20240115, may compare equal to the next one.
  string(REPLACE "." "" _digits "${UPDATER_VERSION}")
  if(UPDATER_VERSION MATCHES "\\.")
    string(REGEX REPLACE "0+$" "" _digits "${_digits}")
  endif()
  string(REGEX REPLACE "^0+" "" _digits "${_digits}")
  string(LENGTH "${_digits}" _significant)
  if(_significant GREATER 7)
    message(WARNING "Title profile ${UPDATER_PROFILE_DIR}: UPDATER_VERSION \"${UPDATER_VERSION}\" has "
                    "${_significant} significant digits, and versions are compared in single precision, which "
                    "keeps about 7: this version may compare equal to a neighbouring one. ${_how}")
  endif()
endfunction()

# The languages of the texts: Japanese always (a player on a Japanese Windows
# sees exactly the texts of a profile without the key), English as well when
# listed. Sets UPDATER_OFFERS_ENGLISH.
function(updater_check_languages)
  if(NOT DEFINED UPDATER_LANGUAGES OR "${UPDATER_LANGUAGES}" STREQUAL "")
    set(UPDATER_LANGUAGES ja)
  endif()
  set(_english OFF)
  foreach(_language IN LISTS UPDATER_LANGUAGES)
    if(_language STREQUAL "en")
      set(_english ON)
    elseif(NOT _language STREQUAL "ja")
      message(FATAL_ERROR "Title profile ${UPDATER_PROFILE_DIR}: UPDATER_LANGUAGES lists \"${_language}\"; "
                          "the updater has texts in ja (Japanese) and en (English) only")
    endif()
  endforeach()
  if(NOT "ja" IN_LIST UPDATER_LANGUAGES)
    message(FATAL_ERROR "Title profile ${UPDATER_PROFILE_DIR}: UPDATER_LANGUAGES \"${UPDATER_LANGUAGES}\" lacks "
                        "ja: Japanese is always carried, for players whose Windows is in Japanese; list ja en "
                        "to add English")
  endif()
  set(UPDATER_OFFERS_ENGLISH ${_english} PARENT_SCOPE)
endfunction()

# Files and folders are found through the ANSI functions, by the names the
# title's own installer gives them: a name beyond ASCII is stored in code page
# 932 and is found only on a system whose ANSI code page is 932.
function(updater_check_ansi_names)
  set(_names "")
  foreach(_var IN ITEMS UPDATER_MAKER UPDATER_BASE_NAME UPDATER_UPDATE_INFO)
    if("${${_var}}" MATCHES "[^ -~]")
      list(APPEND _names "${_var} \"${${_var}}\"")
    endif()
  endforeach()
  foreach(_path IN LISTS UPDATER_PAYLOAD)
    if(_path MATCHES "[^ -~]")
      list(APPEND _names "UPDATER_PAYLOAD \"${_path}\"")
    endif()
  endforeach()
  if(_names)
    string(JOIN ", " _names ${_names})
    message(WARNING "Title profile ${UPDATER_PROFILE_DIR}: ${_names} go beyond ASCII. The updater finds the "
                    "settings file, the installed files and the payload's targets by these names in code page "
                    "932, so on a Windows whose ANSI code page is another (English or European Windows, Wine or "
                    "Proton with their default locale) it cannot find them and the update fails there. The "
                    "display title may hold any text that code page 932 can.")
  endif()
endfunction()

# The bases of a profile with UPDATER_BASE, as absolute folders (relative ones
# from the profile folder) in UPDATER_BASE_DIRS, and the names of their
# releases, as the message to a player who has none of them shows them, in
# UPDATER_BASE_RELEASES.
function(updater_check_bases)
  set(_dirs "")
  set(_releases "")
  foreach(_base IN LISTS UPDATER_BASE)
    get_filename_component(_dir "${_base}" ABSOLUTE BASE_DIR "${UPDATER_PROFILE_DIR}")
    if(NOT IS_DIRECTORY "${_dir}")
      message(FATAL_ERROR "Title profile ${UPDATER_PROFILE_DIR}: UPDATER_BASE names ${_dir}, which is not a folder "
                          "(each base is a whole installation of a release players may have)")
    endif()
    get_filename_component(_release "${_dir}" NAME)
    if(_dir IN_LIST _dirs)
      message(FATAL_ERROR "Title profile ${UPDATER_PROFILE_DIR}: UPDATER_BASE names ${_dir} twice")
    endif()
    list(APPEND _dirs "${_dir}")
    list(APPEND _releases "${_release}")
  endforeach()
  set(UPDATER_BASE_DIRS "${_dirs}" PARENT_SCOPE)
  set(UPDATER_BASE_RELEASES "${_releases}" PARENT_SCOPE)
endfunction()

# Reads a profile into the caller's scope and checks it.
macro(updater_load_profile dir)
  get_filename_component(UPDATER_PROFILE_DIR "${dir}" ABSOLUTE)
  if(NOT EXISTS "${UPDATER_PROFILE_DIR}/profile.cmake")
    message(FATAL_ERROR "Title profile: no profile.cmake in ${UPDATER_PROFILE_DIR}")
  endif()
  unset(UPDATER_MAKER)
  unset(UPDATER_TITLE)
  unset(UPDATER_BASE_NAME)
  unset(UPDATER_VERSION)
  unset(UPDATER_PAYLOAD)
  unset(UPDATER_UPDATE_INFO)
  unset(UPDATER_COMPRESS)
  unset(UPDATER_LANGUAGES)
  unset(UPDATER_BASE)
  unset(UPDATER_PAYLOAD_NOT_CARRIED)
  unset(UPDATER_RECORDS_MAY_DIFFER)
  unset(UPDATER_NO_DIALOG_TEMPLATE)
  unset(UPDATER_SIGN_PROGRAM)
  foreach(_key IN LISTS UPDATER_SIGN_KEYS)
    unset(${_key})
  endforeach()
  set(UPDATER_PAYLOAD_DIR "${UPDATER_PROFILE_DIR}/payload")
  include("${UPDATER_PROFILE_DIR}/profile.cmake")
  foreach(_key IN LISTS UPDATER_SIGN_KEYS)
    set(_base "${UPDATER_PROFILE_DIR}")
    if(NOT "$ENV{${_key}}" STREQUAL "")
      set(${_key} "$ENV{${_key}}")
      set(_base "$ENV{PWD}")
      if(_base STREQUAL "")
        set(_base "${CMAKE_BINARY_DIR}")
      endif()
    endif()
    if(_key IN_LIST UPDATER_SIGN_FILE_KEYS AND NOT "${${_key}}" STREQUAL "")
      get_filename_component(${_key} "${${_key}}" ABSOLUTE BASE_DIR "${_base}")
    endif()
  endforeach()
  foreach(_var IN ITEMS UPDATER_MAKER UPDATER_TITLE UPDATER_BASE_NAME)
    if("${${_var}}" STREQUAL "")
      message(FATAL_ERROR "Title profile ${UPDATER_PROFILE_DIR}: ${_var} is not set")
    endif()
  endforeach()
  updater_check_version()
  string(LENGTH "${UPDATER_TITLE}" _title_bytes)
  if(_title_bytes GREATER UPDATER_TITLE_MAX_BYTES)
    message(FATAL_ERROR "Title profile ${UPDATER_PROFILE_DIR}: UPDATER_TITLE is ${_title_bytes} bytes long; "
                        "at most ${UPDATER_TITLE_MAX_BYTES} fit the messages that show it")
  endif()
  if(NOT DEFINED UPDATER_UPDATE_INFO)
    set(UPDATER_UPDATE_INFO "")
  endif()
  updater_check_languages()
  updater_check_ansi_names()
  updater_check_bases()
  set(_seen_names "")
  set(UPDATER_PAYLOAD_FILES "")
  set(UPDATER_PAYLOAD_NAMES "")
  foreach(_path IN LISTS UPDATER_PAYLOAD)
    if(_path MATCHES "^/" OR _path MATCHES "\\\\" OR _path MATCHES "(^|/)\\.\\.?(/|$)" OR _path MATCHES ":")
      message(FATAL_ERROR "Title profile: payload path '${_path}' must be relative, written with '/', without '.' or '..'")
    endif()
    set(_file "${UPDATER_PAYLOAD_DIR}/${_path}")
    if(_path IN_LIST UPDATER_PAYLOAD_NOT_CARRIED)
      # Listed but deliberately not embedded: only test profiles do this, to
      # exercise the writer's report of a missing resource.
      continue()
    endif()
    if(NOT EXISTS "${_file}" OR IS_DIRECTORY "${_file}")
      message(FATAL_ERROR "Title profile: payload file '${_path}' is missing (looked for ${_file})")
    endif()
    get_filename_component(_name "${_path}" NAME)
    updater_resource_name(_upper "${_name}")
    if(_upper IN_LIST _seen_names)
      message(FATAL_ERROR "Title profile: two payload paths share the last component '${_name}'; "
                          "each file is carried as a resource named by it, so they would collide")
    endif()
    list(APPEND _seen_names "${_upper}")
    list(APPEND UPDATER_PAYLOAD_FILES "${_file}")
    list(APPEND UPDATER_PAYLOAD_NAMES "${_upper}")
  endforeach()
endmacro()

# The largest payload each target can carry, in bytes. Windows loads no
# executable image of 2 GiB or more (its RVAs are 31-bit in places), and the
# whole payload lies in the image: the program itself keeps 1 MiB of that. A
# 32-bit process has 2 GiB of address space in all, where the image needs one
# free range beside the system DLLs, heaps and stacks: it gets half.
set(UPDATER_PAYLOAD_LIMIT_64 2146435072)  # 2 GiB - 1 MiB
set(UPDATER_PAYLOAD_LIMIT_32 1073741824)  # 1 GiB

# Stops a payload the target cannot carry, at configure time rather than as an
# exe that does not start. pointer_size is the target's (8 or 4).
function(updater_check_payload_size pointer_size)
  set(_total 0)
  foreach(_file IN LISTS UPDATER_PAYLOAD_FILES)
    file(SIZE "${_file}" _size)
    math(EXPR _total "${_total} + ${_size}")
  endforeach()
  if(pointer_size EQUAL 8)
    set(_limit ${UPDATER_PAYLOAD_LIMIT_64})
    set(_why "a 64-bit updater carries at most ${_limit} bytes (2 GiB - 1 MiB): Windows loads no executable \
image of 2 GiB or more, and the payload lies inside the image")
  else()
    set(_limit ${UPDATER_PAYLOAD_LIMIT_32})
    set(_why "a 32-bit updater carries at most ${_limit} bytes (1 GiB): its whole image must fit one free \
range of the 2 GiB address space a 32-bit process has, beside the system's DLLs, heaps and stacks")
  endif()
  if(_total GREATER _limit)
    math(EXPR _mib "${_total} >> 20")
    message(FATAL_ERROR "Title profile ${UPDATER_PROFILE_DIR}: the payload is ${_total} bytes (${_mib} MiB); "
                        "${_why}. Split the update into several updaters.")
  endif()
  set(UPDATER_PAYLOAD_TOTAL ${_total} PARENT_SCOPE)
endfunction()

# Warns when the payload's record library would fail the next run's check,
# where the updater would refuse the installation it has just updated as
# damaged. Needs UPDATER_RECORDLIB (the host tool); a test profile whose
# records are out of step on purpose sets UPDATER_RECORDS_MAY_DIFFER.
function(updater_check_payload_records)
  if(NOT UPDATER_RECORDLIB OR UPDATER_RECORDS_MAY_DIFFER)
    return()
  endif()
  updater_resource_name(_main_name "${UPDATER_BASE_NAME}.exe")
  set(_main "")
  set(_library "")
  foreach(_path IN LISTS UPDATER_PAYLOAD)
    updater_resource_name(_key "${_path}")
    if(_key STREQUAL _main_name)
      set(_main "${_path}")
    elseif(_key STREQUAL "DLL/RESOURCE.DLL" AND NOT _path IN_LIST UPDATER_PAYLOAD_NOT_CARRIED)
      set(_library "${_path}")
    endif()
  endforeach()
  if(_main AND NOT _library)
    message(WARNING "Title profile ${UPDATER_PROFILE_DIR}: the payload replaces ${_main} but carries no "
                    "dll/RESOURCE.dll. Unless the installed record library already describes the new "
                    "program, the next run will refuse the updated installation as damaged.")
  elseif(_library)
    set(_args verify "${UPDATER_PAYLOAD_DIR}/${_library}")
    if(_main)
      list(APPEND _args --install "${UPDATER_PAYLOAD_DIR}" --main "${UPDATER_BASE_NAME}.exe")
    endif()
    execute_process(COMMAND ${UPDATER_RECORDLIB} ${_args} RESULT_VARIABLE _rc OUTPUT_VARIABLE _out
                    ERROR_VARIABLE _out)
    string(JOIN " " _command ${_args})
    if(NOT _rc EQUAL 0)
      set(_severity WARNING)
      if(UPDATER_REQUIRE_MATCHING_RECORDS)
        set(_severity FATAL_ERROR)
      endif()
      message(${_severity} "Title profile ${UPDATER_PROFILE_DIR}: the payload's dll/RESOURCE.dll does not match "
                      "the payload's files, so the next run would refuse the updated installation as "
                      "damaged. Rebuild it with recordlib build. recordlib ${_command}:\n${_out}")
    elseif(UPDATER_REQUIRE_MATCHING_RECORDS)
      message(STATUS "Payload records: recordlib ${_command}: every record matches")
    endif()
  endif()
endfunction()

# Writes the TitleProfile constants of the loaded profile into out_cpp.
function(updater_generate_profile_source out_cpp)
  set(_entries "")
  foreach(_path IN LISTS UPDATER_PAYLOAD)
    string(REPLACE "/" "\\" _win "${_path}")
    updater_c_string(_lit "${_win}")
    string(APPEND _entries "    ${_lit},\n")
  endforeach()
  updater_c_string(MAKER "${UPDATER_MAKER}")
  updater_c_string(TITLE "${UPDATER_TITLE}")
  updater_c_string(BASE "${UPDATER_BASE_NAME}")
  updater_c_string(VERSION "${UPDATER_VERSION}")
  updater_c_string(INFO "${UPDATER_UPDATE_INFO}")
  # A deflated payload is read through its codec, which brings the inflate
  # into the updater; a raw one names none and links none.
  if(UPDATER_COMPRESS)
    set(CODEC_INCLUDE "#include \"apply/payload_source.h\"\n")
    set(CODEC "&kDeflatedPayload")
  else()
    set(CODEC_INCLUDE "")
    set(CODEC "nullptr")
  endif()
  # Patches bring the decoder in; an updater without bases links none of it.
  if(UPDATER_BASE_DIRS)
    set(PATCH_INCLUDE "#include \"apply/patch_codec.h\"\n")
    set(PATCHES "&kPatchedPayload")
    string(JOIN ", " _releases ${UPDATER_BASE_RELEASES})
    updater_c_string(RELEASES "${_releases}")
  else()
    set(PATCH_INCLUDE "")
    set(PATCHES "nullptr")
    set(RELEASES "\"\"")
  endif()
  if(UPDATER_OFFERS_ENGLISH)
    set(ENGLISH "true")
  else()
    set(ENGLISH "false")
  endif()
  # The values go in as @...@ references, replaced in one pass, so that an "@"
  # in a title or path is kept as it is.
  file(CONFIGURE OUTPUT "${out_cpp}" CONTENT "// Generated from the title profile @UPDATER_PROFILE_DIR@; do not edit.
@CODEC_INCLUDE@@PATCH_INCLUDE@#include \"title/title_profile.h\"

namespace {
const char* const kPayloadList[] = {
@_entries@    nullptr,
};
}  // namespace

extern const TitleProfile kTitleProfile = {
    @MAKER@,
    @TITLE@,
    @BASE@,
    @VERSION@,
    kPayloadList,
    @INFO@,
    @CODEC@,
    @ENGLISH@,
    @PATCHES@,
    @RELEASES@,
};
" @ONLY)
endfunction()

# Appends the payload resources to a resource script text. With
# UPDATER_COMPRESS each resource is the file deflated into gen_dir by
# payloadtool at build time. Beside each file goes its check record (size and
# checksum, type BINSUM, the same name), made by payloadtool from the file
# itself; out_files names what the resources are made from, and
# <out_files>_GENERATED those of them the build makes. With bases
# (UPDATER_BASE) each file's resources are decided at build time by
# cmake/PayloadPatches.cmake, which writes them to a script the main one
# includes, and its patch report to gen_dir/patches/<index>.txt.
function(updater_payload_rc out_var out_files gen_dir)
  set(_rc "")
  set(_carried "")
  set(_generated "")
  set(_index 0)
  foreach(_file _name IN ZIP_LISTS UPDATER_PAYLOAD_FILES UPDATER_PAYLOAD_NAMES)
    set(_check "${gen_dir}/checks/${_index}.sum")
    add_custom_command(OUTPUT "${_check}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${gen_dir}/checks"
      COMMAND ${UPDATER_PAYLOADTOOL} check "${_file}" "${_check}"
      DEPENDS "${_file}" "${UPDATER_PAYLOADTOOL}" VERBATIM)
    if(UPDATER_COMPRESS)
      set(_deflated "${gen_dir}/deflated/${_index}.z")
      add_custom_command(OUTPUT "${_deflated}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${gen_dir}/deflated"
        COMMAND ${UPDATER_PAYLOADTOOL} deflate "${_file}" "${_deflated}"
        DEPENDS "${_file}" "${UPDATER_PAYLOADTOOL}" VERBATIM)
      set(_file "${_deflated}")
      list(APPEND _generated "${_deflated}")
    endif()
    list(APPEND _carried "${_file}" "${_check}")
    list(APPEND _generated "${_check}")
    if(UPDATER_BASE_DIRS)
      updater_payload_patches(_fragment ${_index} "${_file}" "${_name}" "${gen_dir}")
      list(APPEND _carried "${_fragment}")
      list(APPEND _generated "${_fragment}")
      string(APPEND _rc "#include \"${_fragment}\"\n")
    else()
      # A LANGUAGE statement before each resource keeps windres from joining the
      # quoted name with the previous line's file name.
      string(APPEND _rc "LANGUAGE 0x11, 0x01\n\"${_name}\" BIN \"${_file}\"\n")
    endif()
    math(EXPR _index "${_index} + 1")
    string(APPEND _rc "LANGUAGE 0x11, 0x01\n\"${_name}\" BINSUM \"${_check}\"\n")
  endforeach()
  set(${out_var} "${_rc}" PARENT_SCOPE)
  set(${out_files} "${_carried}" PARENT_SCOPE)
  set(${out_files}_GENERATED "${_generated}" PARENT_SCOPE)
endfunction()

# The build step of payload file number `index` with bases: its patches and the
# resource script fragment that carries it (cmake/PayloadPatches.cmake). The
# settings go through a file, so no path passes a command line as a list.
function(updater_payload_patches out_fragment index carried name gen_dir)
  list(GET UPDATER_PAYLOAD_FILES ${index} _new)
  string(LENGTH "${UPDATER_PAYLOAD_DIR}/" _prefix)
  string(SUBSTRING "${_new}" ${_prefix} -1 _path)
  set(_dir "${gen_dir}/patches/${index}")
  set(_bases "")
  foreach(_base IN LISTS UPDATER_BASE_DIRS)
    list(APPEND _bases "${_base}/${_path}")
  endforeach()
  set(_lines "")
  foreach(_pair IN ITEMS "PAYLOADTOOL|${UPDATER_PAYLOADTOOL}" "NEW_FILE|${_new}" "CARRIED|${carried}"
                         "NAME|${name}" "ENTRY|${_path}" "OUT_DIR|${_dir}" "SET|${_dir}/set.ups"
                         "RC|${_dir}/resources.rc.inc" "REPORT|${gen_dir}/patches/${index}.txt")
    string(FIND "${_pair}" "|" _bar)
    string(SUBSTRING "${_pair}" 0 ${_bar} _key)
    math(EXPR _bar "${_bar} + 1")
    string(SUBSTRING "${_pair}" ${_bar} -1 _value)
    string(APPEND _lines "set(${_key} [==[${_value}]==])\n")
  endforeach()
  string(APPEND _lines "set(BASE_FILES [==[${_bases}]==])\n")
  updater_write_if_changed("${_dir}/settings.cmake" "${_lines}")
  # A base copy that appears or changes later makes the build decide again.
  set(_depends "")
  foreach(_base IN LISTS _bases)
    if(EXISTS "${_base}")
      list(APPEND _depends "${_base}")
    endif()
  endforeach()
  add_custom_command(OUTPUT "${_dir}/resources.rc.inc" "${_dir}/set.ups" "${gen_dir}/patches/${index}.txt"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_dir}"
    COMMAND ${CMAKE_COMMAND} -DCONFIG=${_dir}/settings.cmake -P ${CMAKE_SOURCE_DIR}/cmake/PayloadPatches.cmake
    DEPENDS "${_new}" "${carried}" ${_depends} "${_dir}/settings.cmake" "${UPDATER_PAYLOADTOOL}"
            "${CMAKE_SOURCE_DIR}/cmake/PayloadPatches.cmake"
    VERBATIM)
  set(${out_fragment} "${_dir}/resources.rc.inc" PARENT_SCOPE)
endfunction()

# Writes content to path unless it is there already, so that what depends on
# the file is not rebuilt by every configure. Unlike file(CONFIGURE) it leaves
# "@" and "${" in the values alone.
function(updater_write_if_changed path content)
  if(EXISTS "${path}")
    file(READ "${path}" _old)
    if(_old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()

# Full-width letters, digits and signs, in the order of their ASCII twins from "!" to "~".
set(_UPDATER_FULL_WIDTH_ASCII
  "！＂＃＄％＆＇（）＊＋，－．／０１２３４５６７８９：；＜＝＞？＠ＡＢＣＤＥＦＧＨＩＪＫＬＭＮＯＰＱＲＳＴＵＶＷＸＹＺ［＼］＾＿｀ａｂｃｄｅｆｇｈｉｊｋｌｍｎｏｐｑｒｓｔｕｖｗｘｙｚ｛｜｝～")

# The program name the signature carries. osslsigncode stores it as an ASCII
# (IA5) string, which would show a Japanese title garbled in the elevation prompt:
# full-width Latin letters become their ASCII twins, and a title with other
# letters gives way to the base name unless the profile names a description.
function(updater_signature_description out)
  if(NOT "${UPDATER_SIGN_DESCRIPTION}" STREQUAL "")
    set(_text "${UPDATER_SIGN_DESCRIPTION}")
  else()
    set(_text "${UPDATER_TITLE}")
    string(REPLACE "　" " " _text "${_text}")
    foreach(_i RANGE 0 93)
      math(EXPR _at "${_i} * 3")
      math(EXPR _code "${_i} + 33")
      string(SUBSTRING "${_UPDATER_FULL_WIDTH_ASCII}" ${_at} 3 _wide)
      string(ASCII ${_code} _narrow)
      string(REPLACE "${_wide}" "${_narrow}" _text "${_text}")
    endforeach()
    if(NOT _text MATCHES "^[ -:<-~]+$")
      message(STATUS "Updater signing: the title has letters the signature's ASCII description cannot hold; "
                     "it names the program \"${UPDATER_BASE_NAME}\" (UPDATER_SIGN_DESCRIPTION chooses another)")
      set(_text "${UPDATER_BASE_NAME}")
    endif()
  endif()
  # ";" too is left out: CMake would split the description at it.
  if(NOT _text MATCHES "^[ -:<-~]+$")
    message(FATAL_ERROR "Updater signing: UPDATER_SIGN_DESCRIPTION must be ASCII text without ';'; "
                        "the signature cannot carry other letters")
  endif()
  set(${out} "${_text}" PARENT_SCOPE)
endfunction()

# Signs target's exe after it is linked, when the loaded profile or the
# environment names a certificate; otherwise says once that updaters are
# unsigned. The step runs cmake/SignUpdater.cmake with the settings written to
# gen_dir/signing.cmake, so no secret or awkward character passes through a
# command line; that file, the certificate and the password file are link
# dependencies, so a change to any of them signs again.
function(updater_sign_after_link target gen_dir)
  set(_config "${gen_dir}/signing.cmake")
  if("${UPDATER_SIGN_PKCS12}${UPDATER_SIGN_CERTS}${UPDATER_SIGN_KEY}" STREQUAL "")
    get_property(_said GLOBAL PROPERTY UPDATER_UNSIGNED_SAID)
    if(NOT _said)
      message(STATUS "Updater signing: no certificate given (UPDATER_SIGN_PKCS12, or UPDATER_SIGN_CERTS and "
                     "UPDATER_SIGN_KEY): the updaters are built unsigned")
      set_property(GLOBAL PROPERTY UPDATER_UNSIGNED_SAID TRUE)
    endif()
    updater_write_if_changed("${_config}" "# unsigned\n")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_config}")
    set(UPDATER_SIGNED 0 PARENT_SCOPE)
    return()
  endif()

  if(UPDATER_SIGN_PKCS12 AND (UPDATER_SIGN_CERTS OR UPDATER_SIGN_KEY))
    message(FATAL_ERROR "Updater signing: name either UPDATER_SIGN_PKCS12 or UPDATER_SIGN_CERTS and "
                        "UPDATER_SIGN_KEY, not both")
  endif()
  if(NOT UPDATER_SIGN_PKCS12 AND (NOT UPDATER_SIGN_CERTS OR NOT UPDATER_SIGN_KEY))
    message(FATAL_ERROR "Updater signing: UPDATER_SIGN_CERTS and UPDATER_SIGN_KEY go together; one is not set")
  endif()
  set(_inputs "")
  foreach(_key IN LISTS UPDATER_SIGN_FILE_KEYS)
    if(NOT "${${_key}}" STREQUAL "")
      if(NOT EXISTS "${${_key}}" OR IS_DIRECTORY "${${_key}}")
        message(FATAL_ERROR "Updater signing: ${_key} names ${${_key}}, which does not exist or is not a file")
      endif()
      list(APPEND _inputs "${${_key}}")
    endif()
  endforeach()
  if(UPDATER_SIGN_PROGRAM)
    set(_signer "${UPDATER_SIGN_PROGRAM}")
  else()
    find_program(UPDATER_OSSLSIGNCODE osslsigncode)
    if(NOT UPDATER_OSSLSIGNCODE)
      message(FATAL_ERROR "Updater signing: osslsigncode is not installed (Debian package osslsigncode; "
                          "scripts/setup installs it)")
    endif()
    set(_signer "${UPDATER_OSSLSIGNCODE}")
  endif()
  if(NOT EXISTS "${UPDATER_SIGNCHECK}")
    message(FATAL_ERROR "Updater signing: the host tool ${UPDATER_SIGNCHECK} is missing; build the host tools again")
  endif()
  # Run without a controlling terminal, so a key that wants another password
  # fails at once instead of waiting at a prompt inside the build.
  find_program(UPDATER_SETSID setsid)
  updater_signature_description(_description)

  set(SIGN_PKCS12 "${UPDATER_SIGN_PKCS12}")
  set(SIGN_CERTS "${UPDATER_SIGN_CERTS}")
  set(SIGN_KEY "${UPDATER_SIGN_KEY}")
  set(SIGN_PASSWORD_FILE "${UPDATER_SIGN_PASSWORD_FILE}")
  set(SIGN_TIMESTAMP_URL "${UPDATER_SIGN_TIMESTAMP_URL}")
  set(SIGN_URL "${UPDATER_SIGN_URL}")
  set(SIGN_DESCRIPTION "${_description}")
  set(SIGN_OSSLSIGNCODE "${_signer}")
  set(SIGN_SETSID "${UPDATER_SETSID}")
  set(SIGN_SIGNCHECK "${UPDATER_SIGNCHECK}")
  set(SIGN_UNSIGNED_COPY "${gen_dir}/unsigned.exe")
  set(_lines "")
  foreach(_name IN ITEMS PKCS12 CERTS KEY PASSWORD_FILE TIMESTAMP_URL URL DESCRIPTION OSSLSIGNCODE SETSID SIGNCHECK
                         UNSIGNED_COPY)
    if(SIGN_${_name} MATCHES "]==]")
      message(FATAL_ERROR "Updater signing: '${SIGN_${_name}}' contains ]==], which the build cannot pass on")
    endif()
    string(APPEND _lines "set(SIGN_${_name} [==[${SIGN_${_name}}]==])\n")
  endforeach()
  updater_write_if_changed("${_config}" "${_lines}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_config};${_inputs}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:${target}> -DCONFIG=${_config}
            -P ${CMAKE_SOURCE_DIR}/cmake/SignUpdater.cmake
    VERBATIM)
  get_property(_said GLOBAL PROPERTY UPDATER_SIGNED_SAID)
  # A test build's stand-in signer says nothing of how the updaters are signed.
  if(NOT _said AND NOT UPDATER_SIGN_PROGRAM)
    set(_what "${UPDATER_SIGN_PKCS12}")
    if(NOT _what)
      set(_what "${UPDATER_SIGN_CERTS}")
    endif()
    message(STATUS "Updater signing: with ${_what}, SHA-256, description \"${_description}\"")
    set_property(GLOBAL PROPERTY UPDATER_SIGNED_SAID TRUE)
  endif()
  set(UPDATER_SIGNED 1 PARENT_SCOPE)
endfunction()

# Builds an updater from a profile folder: <base>Update.exe in output_dir.
# The sample title's updater and the test profiles' updaters all come from here.
function(updater_add_executable target profile_dir output_dir)
  updater_load_profile("${profile_dir}")
  updater_check_payload_size(${CMAKE_SIZEOF_VOID_P})
  updater_check_payload_records()
  set(_gen "${CMAKE_BINARY_DIR}/generated/${target}")
  updater_generate_profile_source("${_gen}/title_profile_data.cpp")
  updater_payload_rc(UPDATER_PAYLOAD_RC _carried "${_gen}")
  set(UPDATER_EXE_NAME "${UPDATER_BASE_NAME}Update")
  set(UPDATER_MANIFEST "${CMAKE_SOURCE_DIR}/res/updater.manifest")
  string(REPLACE "\"" "\"\"" UPDATER_VERSION_TITLE "${UPDATER_TITLE}")
  set(UPDATER_DIALOG_RC "#include \"progress_dialog.rc\"")
  if(UPDATER_OFFERS_ENGLISH)
    string(APPEND UPDATER_DIALOG_RC "\n#include \"progress_dialog_en.rc\"")
  endif()
  if(UPDATER_NO_DIALOG_TEMPLATE)
    # A test build whose dialog cannot be created.
    set(UPDATER_DIALOG_RC "// no progress dialog template (test build)")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/res/version.rc.in ${_gen}/version.rc @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/res/updater.rc.in ${_gen}/updater.rc @ONLY)

  add_executable(${target} WIN32 ${CMAKE_SOURCE_DIR}/app/main.cpp ${_gen}/title_profile_data.cpp ${_gen}/updater.rc)
  # Listed so that the build makes the check records (and the deflated files) before the resources.
  target_sources(${target} PRIVATE ${_carried_GENERATED})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME "${UPDATER_EXE_NAME}" RUNTIME_OUTPUT_DIRECTORY "${output_dir}")
  target_link_libraries(${target} PRIVATE updater_shell)
  # Hardened like any program that runs elevated: a stack canary (libssp is
  # linked statically), ASLR with relocations kept, no executable data, on x64
  # the full 64-bit address range for ASLR, and on x86 NO_SEH (GCC writes no
  # SafeSEH table; tests/hardening/check_exe.sh says why the flag stands in for
  # one). tests/hardening checks the result.
  # Optimised for size across all its objects at the link (LTO): a fifth of
  # the program's own bytes, which a download carries each time.
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -ffunction-sections
                         -fstack-protector-strong -flto)
  target_link_options(${target} PRIVATE -static -s -flto -Wl,--gc-sections -fstack-protector-strong
                      -Wl,--dynamicbase -Wl,--nxcompat
                      $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},8>:-Wl,--high-entropy-va>
                      $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},4>:-Wl,--no-seh>)
  # Wine maps the payload from the file only when the resource section starts
  # on a page boundary there; otherwise it copies all of it into memory at
  # load. First of the post-link steps: whatever comes later (signing) must
  # see the final layout.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${UPDATER_PAYLOADTOOL} align $<TARGET_FILE:${target}>
    VERBATIM)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/res ${_gen})
  set_source_files_properties(${_gen}/updater.rc PROPERTIES
    OBJECT_DEPENDS "${_carried};${UPDATER_MANIFEST};${CMAKE_SOURCE_DIR}/res/progress_dialog.rc;${CMAKE_SOURCE_DIR}/res/progress_dialog_en.rc")

  # The optional data/ folder of the profile travels beside the exe.
  if(IS_DIRECTORY "${UPDATER_PROFILE_DIR}/data")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_directory "${UPDATER_PROFILE_DIR}/data" "${output_dir}/data")
  endif()
  # Last after the link: signing covers the image as every earlier step left it.
  updater_sign_after_link(${target} "${_gen}")
  # What scripts/release needs to know of this updater, one key=value a line.
  set(_data "")
  if(IS_DIRECTORY "${UPDATER_PROFILE_DIR}/data")
    set(_data "${UPDATER_PROFILE_DIR}/data")
  endif()
  # With bases, each file's patch report (cmake/PayloadPatches.cmake), in payload order, and the releases.
  set(_patches "")
  set(_index 0)
  foreach(_file IN LISTS UPDATER_PAYLOAD_FILES)
    if(UPDATER_BASE_DIRS)
      list(APPEND _patches "${_gen}/patches/${_index}.txt")
    endif()
    math(EXPR _index "${_index} + 1")
  endforeach()
  string(JOIN "|" _bases ${UPDATER_BASE_RELEASES})
  string(JOIN "|" _patches ${_patches})
  updater_write_if_changed("${_gen}/release.txt" "exe=${output_dir}/${UPDATER_EXE_NAME}.exe
name=${UPDATER_EXE_NAME}
version=${UPDATER_VERSION}
signed=${UPDATER_SIGNED}
ca_file=${UPDATER_SIGN_CA_FILE}
data=${_data}
bases=${_bases}
patches=${_patches}
")
  message(STATUS "Updater ${target}: ${UPDATER_PROFILE_DIR} -> ${output_dir}/${UPDATER_EXE_NAME}.exe "
                 "(version ${UPDATER_VERSION}, payload: ${UPDATER_PAYLOAD})")
  set(${target}_EXE "${output_dir}/${UPDATER_EXE_NAME}.exe" PARENT_SCOPE)
endfunction()
