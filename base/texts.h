// Every text the updater shows or writes, in one place. The source is UTF-8;
// the compiler stores the literals in code page 932 (-fexec-charset=CP932),
// the ANSI code page the A-functions show them in. A host test pins the bytes.
#pragma once

namespace text {

// Update sequence.
inline constexpr char kCaptionFormat[] = "%s - Update Program";
inline constexpr char kLocateFailedFormat[] = "「%s」のインストール先の検出に失敗しました。";
inline constexpr char kInstallationDamaged[] =
    "インストール先のデータが破損している可能性があります。\n"
    "再度ゲームをインストールし直してからアップデートを行って下さい。";
inline constexpr char kAlreadyApplied[] =
    "アップデートする必要がありませんでしたが、\n引き続きアップデートを行いますか？";
inline constexpr char kConfirmFormat[] =
    "「%s」のプログラムのアップデートを行います。\n"
    "アップデートを行う前に本体プログラムの終了を確認して下さい。";
inline constexpr char kUpdateFinished[] = "アップデートが終了しました。";
inline constexpr char kUpdateCancelled[] = "アップデートが中止されました。";
// An interrupted update that can be neither finished nor undone now (a file held
// open), or a journal this updater did not write; %s is the journal's path.
inline constexpr char kUnsettledFormat[] =
    "アップデートが途中で止まったままになっており、完了することも元に戻すこともできませんでした。\n"
    "ゲームを終了してから、もう一度アップデートを行って下さい。\n"
    "それでも解決しない場合は、次のファイルをサポートにお知らせ下さい。\n%s";

// One update of a title at a time, across sessions: the maker folder and base name.
inline constexpr char kUpdateMutexFormat[] = "Global\\%s.%s.TitleUpdate";

// Settings file.
inline constexpr char kAppDataNotFound[] = "AppDataフォルダが見つかりませんでした";
inline constexpr char kUnknownError[] = "不明なエラー";
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
inline constexpr char kFileCaptionFormat[] = "%s - %s -";
inline constexpr char kPercentFormat[] = "%3d%%";
inline constexpr char kLookupNotFound[] = "アップデートに失敗しました。[0x00010001]";
inline constexpr char kLookupNotLoaded[] = "アップデートに失敗しました。[0x00010002]";
inline constexpr char kWriteNotFound[] = "アップデートに失敗しました。[0x000A0001]";
inline constexpr char kWriteNotLoaded[] = "アップデートに失敗しました。[0x000A0002]";
inline constexpr char kWriteCannotCreate[] = "アップデートに失敗しました。[0x000A0003]";
inline constexpr char kWriteFailed[] = "アップデートに失敗しました。[0x000A0004]";
// The updater's own copy of a file is not what it was built with: a damaged download.
inline constexpr char kPayloadDamaged[] =
    "アップデートファイルが破損しています。\nアップデートファイルをもう一度ダウンロードして下さい。["
    "0x000A0005]";
// A file of ours would take a name that some other file has; %s is its path.
inline constexpr char kNameTakenFormat[] =
    "アップデートに使うファイル名が既に使われています。\n"
    "次のファイルを移動するか削除してから、もう一度アップデートを行って下さい。\n%s";
inline constexpr char kMergeFailedFormat[] =
    "指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\n"
    "アップデート情報の更新に失敗しました。[0x%08X]";
inline constexpr char kBadInstallFolderFormat[] = "インストール先に問題があります。\n %s";
inline constexpr char kNoSpaceFormat[] =
    "インストール先の容量が足りません。\n確認して下さい。 \n%s \n[%d / %d] \n必要容量 : %d";

// Update-information merge.
inline constexpr char kInfoCaption[] = "アップデート情報の更新に失敗しました。";
inline constexpr char kInfoNotFoundFormat[] =
    "指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\n"
    "アップデート情報の更新に失敗しました。%s";
inline constexpr char kInfoWriteFailed[] =
    "アップデートは成功しましたが、\nアップデート情報の更新に失敗しました。\n[0xE0000003]";

}  // namespace text
