// Every text the updater shows or writes, in one place. The source is UTF-8;
// the compiler stores the literals in code page 932 (-fexec-charset=CP932),
// the code page the shell converts them from. A host test pins the bytes.
#pragma once

#include <cstdint>

namespace text {

// The language of the texts a player reads: Japanese always, English when the
// title's profile offers it and the player's Windows is not in Japanese.
enum class Language { kJapanese, kEnglish };

// Chosen once at start-up, before the first text is read.
inline Language gLanguage = Language::kJapanese;

// The language for a player whose Windows user interface is `uiLanguage` (a
// LANGID: its low ten bits are the primary language, 0x11 Japanese).
inline Language LanguageFor(bool offersEnglish, uint16_t uiLanguage) {
  constexpr uint16_t kJapanesePrimary = 0x11;
  return offersEnglish && (uiLanguage & 0x3FF) != kJapanesePrimary ? Language::kEnglish : Language::kJapanese;
}

// A text the player reads, with its English twin (the same format fields, in
// the same order). It reads as the one in the chosen language, so callers
// hand it on as a plain C string.
struct Text {
  const char* ja;
  const char* en;
  operator const char*() const { return gLanguage == Language::kEnglish ? en : ja; }
};

// The texts a player reads, each Japanese with its English twin.

// Update sequence.
inline constexpr Text kCaptionFormat = {
    "%s - Update Program",
    "%s - Update Program",
};
inline constexpr Text kLocateFailedFormat = {
    "「%s」のインストール先の検出に失敗しました。",
    "Could not find where \"%s\" is installed.",
};
inline constexpr Text kInstallationDamaged = {
    "インストール先のデータが破損している可能性があります。\n"
    "再度ゲームをインストールし直してからアップデートを行って下さい。",
    "The installed game data may be damaged.\n"
    "Please reinstall the game, then run the update again.",
};
inline constexpr Text kAlreadyApplied = {
    "アップデートする必要がありませんでしたが、\n引き続きアップデートを行いますか？",
    "The game is already up to date.\nDo you want to run the update anyway?",
};
inline constexpr Text kConfirmFormat = {
    "「%s」のプログラムのアップデートを行います。\n"
    "アップデートを行う前に本体プログラムの終了を確認して下さい。",
    "This will update \"%s\".\n"
    "Before you go on, please make sure the game is closed.",
};
inline constexpr Text kUpdateFinished = {
    "アップデートが終了しました。",
    "The update is complete.",
};
inline constexpr Text kUpdateCancelled = {
    "アップデートが中止されました。",
    "The update was not completed.",
};
// An interrupted update that can be neither finished nor undone now (a file
// held open), or a journal this updater did not write; %s is its path.
inline constexpr Text kUnsettledFormat = {
    "アップデートが途中で止まったままになっており、完了することも元に戻すこともできませんでした。\n"
    "ゲームを終了してから、もう一度アップデートを行って下さい。\n"
    "それでも解決しない場合は、次のファイルをサポートにお知らせ下さい。\n%s",
    "An earlier update stopped part-way, and it could neither be completed nor undone.\n"
    "Please close the game, then run the update again.\n"
    "If that does not help, please tell support about this file:\n%s",
};
// A command line the updater does not understand; %s is its first word that
// the updater does not know.
inline constexpr Text kBadCommandLineFormat = {
    "コマンドラインの指定に誤りがあります：%s\n\n"
    "使用できるオプション：\n"
    "/S（または /silent）　メッセージを表示せずにアップデートを行います\n"
    "/force　/S と共に指定すると、適用済みのアップデートも行います\n"
    "/log=ファイル名　ログをこのファイルに書き込みます",
    "The command line contains something the updater does not recognize: %s\n\n"
    "Options:\n"
    "/S (or /silent)  update without showing any message\n"
    "/force  with /S, update even when the update is already applied\n"
    "/log=FILE  write the log to FILE",
};

// Settings file.
inline constexpr Text kAppDataNotFound = {
    "AppDataフォルダが見つかりませんでした",
    "The AppData folder could not be found",
};
inline constexpr Text kUnknownError = {
    "不明なエラー",
    "Unknown error",
};

// Payload writer and free-space check.
inline constexpr Text kLookupNotFound = {
    "アップデートに失敗しました。[0x00010001]",
    "The update failed. [0x00010001]",
};
inline constexpr Text kLookupNotLoaded = {
    "アップデートに失敗しました。[0x00010002]",
    "The update failed. [0x00010002]",
};
inline constexpr Text kWriteNotFound = {
    "アップデートに失敗しました。[0x000A0001]",
    "The update failed. [0x000A0001]",
};
inline constexpr Text kWriteNotLoaded = {
    "アップデートに失敗しました。[0x000A0002]",
    "The update failed. [0x000A0002]",
};
inline constexpr Text kWriteCannotCreate = {
    "アップデートに失敗しました。[0x000A0003]",
    "The update failed. [0x000A0003]",
};
inline constexpr Text kWriteFailed = {
    "アップデートに失敗しました。[0x000A0004]",
    "The update failed. [0x000A0004]",
};
// The updater's own copy of a file is not what it was built with: a damaged download.
inline constexpr Text kPayloadDamaged = {
    "アップデートファイルが破損しています。\nアップデートファイルをもう一度ダウンロードして下さい。["
    "0x000A0005]",
    "The update file is damaged.\nPlease download the update again. [0x000A0005]",
};
// The installed file is none of those the update's patches are made from, and
// the update does not carry it whole; %s names the releases it can patch.
inline constexpr Text kCannotPatchFormat = {
    "このアップデートは、インストールされているゲームのバージョンには適用できません。\n"
    "アップデートに必要なバージョン：%s",
    "This update cannot be applied to the version of the game that is installed.\n"
    "Version the update needs: %s",
};
// A file of ours would take a name that some other file has; %s is its path.
inline constexpr Text kNameTakenFormat = {
    "アップデートに使うファイル名が既に使われています。\n"
    "次のファイルを移動するか削除してから、もう一度アップデートを行って下さい。\n%s",
    "A file name the update needs is already taken.\n"
    "Please move or delete this file, then run the update again.\n%s",
};
inline constexpr Text kMergeFailedFormat = {
    "指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\n"
    "アップデート情報の更新に失敗しました。[0x%08X]",
    "The specified file could not be found.\nThe game files were updated, but\n"
    "the update information could not be saved. [0x%08X]",
};
inline constexpr Text kBadInstallFolderFormat = {
    "インストール先に問題があります。\n %s",
    "There is a problem with the installation folder.\n%s",
};
inline constexpr Text kNoSpaceFormat = {
    "インストール先の容量が足りません。\n確認して下さい。 \n%s \n[%d / %d] \n必要容量 : %d",
    "There is not enough free space where the game is installed.\nPlease check the drive.\n%s\n"
    "[%d MB free of %d MB]\nSpace needed: %d MB",
};

// Update-information merge.
inline constexpr Text kInfoCaption = {
    "アップデート情報の更新に失敗しました。",
    "The update information could not be saved.",
};
inline constexpr Text kInfoNotFoundFormat = {
    "指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\n"
    "アップデート情報の更新に失敗しました。%s",
    "The specified file could not be found.\nThe game files were updated, but\n"
    "the update information could not be saved. %s",
};
inline constexpr Text kInfoWriteFailed = {
    "アップデートは成功しましたが、\nアップデート情報の更新に失敗しました。\n[0xE0000003]",
    "The game files were updated, but\nthe update information could not be saved.\n[0xE0000003]",
};

// Every text above, for the host test that checks the twins: the same format
// fields in both, and no Japanese text left outside this list.
inline constexpr const Text* kPlayerTexts[] = {
    &kCaptionFormat,        &kLocateFailedFormat,     &kInstallationDamaged, &kAlreadyApplied,
    &kConfirmFormat,        &kUpdateFinished,         &kUpdateCancelled,     &kUnsettledFormat,
    &kBadCommandLineFormat, &kAppDataNotFound,        &kUnknownError,        &kLookupNotFound,
    &kLookupNotLoaded,      &kWriteNotFound,          &kWriteNotLoaded,      &kWriteCannotCreate,
    &kWriteFailed,          &kPayloadDamaged,         &kCannotPatchFormat,   &kNameTakenFormat,
    &kMergeFailedFormat,    &kBadInstallFolderFormat, &kNoSpaceFormat,       &kInfoCaption,
    &kInfoNotFoundFormat,   &kInfoWriteFailed,
};

// Texts that are the same in every language: names of files, keys and
// resources, and formats that only lay out other texts.

// One update of a title at a time, across sessions: the maker folder and base name.
inline constexpr char kUpdateMutexFormat[] = "Global\\%s.%s.TitleUpdate";

// Settings file.
inline constexpr char kSettingsPathFormat[] = "%s\\%s\\%s.ini";
inline constexpr char kSectionInstall[] = "INSTALL";
inline constexpr char kKeyInstallFolder[] = "InstallFold";
inline constexpr char kSectionUpdate[] = "UPDATE";
inline constexpr char kKeyAppliedVersion[] = "NonActivation";
inline constexpr char kNoValue[] = "*";

// Installation check.
inline constexpr char kMainProgramFormat[] = "%s.exe";
inline constexpr char kRecordLibraryFormat[] = "%s\\dll\\RESOURCE.dll";
inline constexpr char kSelfRecordName[] = "RESOURCE.dll";
inline constexpr char kJoinPathFormat[] = "%s\\%s";

// Payload writer and free-space check.
inline constexpr char kDataFolderName[] = "data";
inline constexpr char kPayloadType[] = "bin";
// The size and checksum of each payload file, carried under the file's name.
inline constexpr char kPayloadCheckType[] = "BINSUM";
// The patches of a payload file from the releases players may have, under the file's name.
inline constexpr char kPatchSetType[] = "BINPATCH";
// The size and checksum of that set, so that a damaged byte anywhere in it is found before it is used.
inline constexpr char kPatchSetCheckType[] = "BINPATCHSUM";
inline constexpr char kFileCaptionFormat[] = "%s - %s -";
inline constexpr char kPercentFormat[] = "%3d%%";

}  // namespace text
