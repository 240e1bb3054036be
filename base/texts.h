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
inline constexpr char kFileCaptionFormat[] = "%s - %s -";
inline constexpr char kPercentFormat[] = "%3d%%";
inline constexpr char kLookupNotFound[] = "アップデートに失敗しました。[0x00010001]";
inline constexpr char kLookupNotLoaded[] = "アップデートに失敗しました。[0x00010002]";
inline constexpr char kWriteNotFound[] = "アップデートに失敗しました。[0x000A0001]";
inline constexpr char kWriteNotLoaded[] = "アップデートに失敗しました。[0x000A0002]";
inline constexpr char kWriteCannotCreate[] = "アップデートに失敗しました。[0x000A0003]";
inline constexpr char kWriteFailed[] = "アップデートに失敗しました。[0x000A0004]";
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
