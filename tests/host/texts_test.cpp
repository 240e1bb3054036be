// The program's texts reach the user as code page 932 bytes. Each text is
// written here a second time as UTF-8 (u8 literals are not converted by the
// compiler), converted independently with iconv, and compared byte for byte.
#include "base/texts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace {

std::string ToCp932(const char8_t* utf8) {
  std::string in(reinterpret_cast<const char*>(utf8));
  iconv_t cd = iconv_open("CP932", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(in.size() * 2 + 1, '\0');
  char* src = in.data();
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  EXPECT_NE(iconv(cd, &src, &srcLeft, &dst, &dstLeft), static_cast<size_t>(-1));
  iconv_close(cd);
  out.resize(out.size() - dstLeft);
  return out;
}

TEST(Texts, AreStoredInCodePage932) {
  struct Case {
    const char* stored;
    const char8_t* utf8;
  };
  const Case cases[] = {
      {text::kCaptionFormat, u8"%s - Update Program"},
      {text::kLocateFailedFormat, u8"「%s」のインストール先の検出に失敗しました。"},
      {text::kInstallationDamaged,
       u8"インストール先のデータが破損している可能性があります。\n再度ゲームをインストールし直してからアップ"
       u8"デートを行って下さい。"},
      {text::kAlreadyApplied,
       u8"アップデートする必要がありませんでしたが、\n引き続きアップデートを行いますか？"},
      {text::kConfirmFormat,
       u8"「%"
       u8"s」のプログラムのアップデートを行います。\nアップデートを行う前に本体プログラムの終了を確認して下さ"
       u8"い。"},
      {text::kUpdateFinished, u8"アップデートが終了しました。"},
      {text::kUpdateCancelled, u8"アップデートが中止されました。"},
      {text::kAppDataNotFound, u8"AppDataフォルダが見つかりませんでした"},
      {text::kUnknownError, u8"不明なエラー"},
      {text::kSettingsPathFormat, u8"%s\\%s\\%s.ini"},
      {text::kLookupNotFound, u8"アップデートに失敗しました。[0x00010001]"},
      {text::kLookupNotLoaded, u8"アップデートに失敗しました。[0x00010002]"},
      {text::kWriteNotFound, u8"アップデートに失敗しました。[0x000A0001]"},
      {text::kWriteNotLoaded, u8"アップデートに失敗しました。[0x000A0002]"},
      {text::kWriteCannotCreate, u8"アップデートに失敗しました。[0x000A0003]"},
      {text::kWriteFailed, u8"アップデートに失敗しました。[0x000A0004]"},
      {text::kMergeFailedFormat,
       u8"指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\nアップデート情報の更新"
       u8"に失敗しました。[0x%08X]"},
      {text::kBadInstallFolderFormat, u8"インストール先に問題があります。\n %s"},
      {text::kNoSpaceFormat,
       u8"インストール先の容量が足りません。\n確認して下さい。 \n%s \n[%d / %d] \n必要容量 : %d"},
      {text::kInfoCaption, u8"アップデート情報の更新に失敗しました。"},
      {text::kInfoNotFoundFormat,
       u8"指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\nアップデート情報の更新"
       u8"に失敗しました。%s"},
      {text::kInfoWriteFailed,
       u8"アップデートは成功しましたが、\nアップデート情報の更新に失敗しました。\n[0xE0000003]"},
      {text::kUnsettledFormat,
       u8"アップデートが途中で止まったままになっており、完了することも元に戻すこともできませんでした。\n"
       u8"ゲームを終了してから、もう一度アップデートを行って下さい。\n"
       u8"それでも解決しない場合は、次のファイルをサポートにお知らせ下さい。\n%s"},
      {text::kPayloadDamaged,
       u8"アップデートファイルが破損しています。\nアップデートファイルをもう一度ダウンロードして下さい。["
       u8"0x000A0005]"},
      {text::kNameTakenFormat,
       u8"アップデートに使うファイル名が既に使われています。\n"
       u8"次のファイルを移動するか削除してから、もう一度アップデートを行って下さい。\n%s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(reinterpret_cast<const char*>(c.utf8));
    EXPECT_EQ(std::string(c.stored), ToCp932(c.utf8));
  }
}

TEST(Texts, KnownShiftJisBytes) {
  // "アップデートが終了しました。" as the system shows it, and the backslash
  // that joins paths, which code page 932 keeps as 0x5C.
  const unsigned char finished[] = {0x83, 0x41, 0x83, 0x62, 0x83, 0x76, 0x83, 0x66, 0x81, 0x5B,
                                    0x83, 0x67, 0x82, 0xAA, 0x8F, 0x49, 0x97, 0xB9, 0x82, 0xB5,
                                    0x82, 0xDC, 0x82, 0xB5, 0x82, 0xBD, 0x81, 0x42};
  EXPECT_EQ(std::string(text::kUpdateFinished),
            std::string(reinterpret_cast<const char*>(finished), sizeof finished));
  EXPECT_EQ(std::string(text::kJoinPathFormat), std::string("%s\x5C%s"));
}

}  // namespace
