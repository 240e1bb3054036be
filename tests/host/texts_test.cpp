// The program's texts reach the user as code page 932 bytes. Each text is
// written here a second time as UTF-8 (u8 literals are not converted by the
// compiler), converted independently with iconv, and compared byte for byte.
#include "base/texts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

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
      {text::kCaptionFormat.ja, u8"%s - Update Program"},
      {text::kLocateFailedFormat.ja, u8"「%s」のインストール先の検出に失敗しました。"},
      {text::kInstallationDamaged.ja,
       u8"インストール先のデータが破損している可能性があります。\n再度ゲームをインストールし直してからアップ"
       u8"デートを行って下さい。"},
      {text::kAlreadyApplied.ja,
       u8"アップデートする必要がありませんでしたが、\n引き続きアップデートを行いますか？"},
      {text::kConfirmFormat.ja,
       u8"「%"
       u8"s」のプログラムのアップデートを行います。\nアップデートを行う前に本体プログラムの終了を確認して下さ"
       u8"い。"},
      {text::kUpdateFinished.ja, u8"アップデートが終了しました。"},
      {text::kUpdateCancelled.ja, u8"アップデートが中止されました。"},
      {text::kAppDataNotFound.ja, u8"AppDataフォルダが見つかりませんでした"},
      {text::kUnknownError.ja, u8"不明なエラー"},
      {text::kSettingsPathFormat, u8"%s\\%s\\%s.ini"},
      {text::kLookupNotFound.ja, u8"アップデートに失敗しました。[0x00010001]"},
      {text::kLookupNotLoaded.ja, u8"アップデートに失敗しました。[0x00010002]"},
      {text::kWriteNotFound.ja, u8"アップデートに失敗しました。[0x000A0001]"},
      {text::kWriteNotLoaded.ja, u8"アップデートに失敗しました。[0x000A0002]"},
      {text::kWriteCannotCreate.ja, u8"アップデートに失敗しました。[0x000A0003]"},
      {text::kWriteFailed.ja, u8"アップデートに失敗しました。[0x000A0004]"},
      {text::kMergeFailedFormat.ja,
       u8"指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\nアップデート情報の更新"
       u8"に失敗しました。[0x%08X]"},
      {text::kBadInstallFolderFormat.ja, u8"インストール先に問題があります。\n %s"},
      {text::kNoSpaceFormat.ja,
       u8"インストール先の容量が足りません。\n確認して下さい。 \n%s \n[%d / %d] \n必要容量 : %d"},
      {text::kInfoCaption.ja, u8"アップデート情報の更新に失敗しました。"},
      {text::kInfoNotFoundFormat.ja,
       u8"指定されたファイルが見つかりませんでした。\nアップデートは成功しましたが、\nアップデート情報の更新"
       u8"に失敗しました。%s"},
      {text::kInfoWriteFailed.ja,
       u8"アップデートは成功しましたが、\nアップデート情報の更新に失敗しました。\n[0xE0000003]"},
      {text::kUnsettledFormat.ja,
       u8"アップデートが途中で止まったままになっており、完了することも元に戻すこともできませんでした。\n"
       u8"ゲームを終了してから、もう一度アップデートを行って下さい。\n"
       u8"それでも解決しない場合は、次のファイルをサポートにお知らせ下さい。\n%s"},
      {text::kPayloadDamaged.ja,
       u8"アップデートファイルが破損しています。\nアップデートファイルをもう一度ダウンロードして下さい。["
       u8"0x000A0005]"},
      {text::kCannotPatchFormat.ja,
       u8"このアップデートは、インストールされているゲームのバージョンには適用できません。\n"
       u8"アップデートに必要なバージョン：%s"},
      {text::kNameTakenFormat.ja,
       u8"アップデートに使うファイル名が既に使われています。\n"
       u8"次のファイルを移動するか削除してから、もう一度アップデートを行って下さい。\n%s"},
      {text::kBadCommandLineFormat.ja,
       u8"コマンドラインの指定に誤りがあります：%s\n\n使用できるオプション：\n"
       u8"/S（または /silent）　メッセージを表示せずにアップデートを行います\n"
       u8"/force　/S と共に指定すると、適用済みのアップデートも行います\n"
       u8"/log=ファイル名　ログをこのファイルに書き込みます"},
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
  EXPECT_EQ(std::string(text::kUpdateFinished.ja),
            std::string(reinterpret_cast<const char*>(finished), sizeof finished));
  EXPECT_EQ(std::string(text::kJoinPathFormat), std::string("%s\x5C%s"));
}

// The conversions of a wsprintf format, in order ("s", "08X", "d"); "%%" is none.
std::vector<std::string> FormatFields(const char* format) {
  std::vector<std::string> fields;
  for (const char* at = format; *at; ++at) {
    if (*at != '%') continue;
    if (at[1] == '%') {
      ++at;
      continue;
    }
    std::string field;
    while (*++at && std::string("-#0123456789.lhIL").find(*at) != std::string::npos) field += *at;
    if (!*at) break;
    fields.push_back(field + *at);
  }
  return fields;
}

TEST(Texts, EveryTextHasAnEnglishTwinWithTheSameFormatFields) {
  for (const text::Text* t : text::kPlayerTexts) {
    SCOPED_TRACE(t->en);
    EXPECT_EQ(FormatFields(t->ja), FormatFields(t->en));
    // The twins keep to ASCII, which code page 932 stores byte for byte; a
    // Japanese text pasted in as a twin is caught here too.
    ASSERT_NE(t->en[0], '\0');
    for (const char* at = t->en; *at; ++at) {
      EXPECT_TRUE((*at >= 0x20 && *at < 0x7F) || *at == '\n') << "byte " << (*at & 0xFF);
    }
  }
}

// A text added to texts.h must be added with its twin and listed: the header
// itself is read here, so a Japanese text outside the table fails the build's tests.
TEST(Texts, NoJapaneseTextOutsideTheTwinTable) {
  std::ifstream in(UPDATER_SOURCE_DIR "/base/texts.h", std::ios::binary);
  ASSERT_TRUE(in) << "cannot read base/texts.h";
  const std::string source((std::istreambuf_iterator<char>(in)), {});

  const size_t listStart = source.find("kPlayerTexts[] = {");
  ASSERT_NE(listStart, std::string::npos);
  const std::string list = source.substr(listStart, source.find("};", listStart) - listStart);
  const std::regex twin(R"(inline constexpr Text (k\w+))");
  int twins = 0;
  for (std::sregex_iterator m(source.begin(), source.end(), twin), end; m != end; ++m) {
    ++twins;
    EXPECT_NE(list.find("&" + (*m)[1].str() + ","), std::string::npos)
        << (*m)[1] << " is not in kPlayerTexts";
  }
  EXPECT_EQ(twins, static_cast<int>(std::size(text::kPlayerTexts)));

  // A plain constant holds one text for every language: ASCII names and formats only.
  const std::regex plain(R"(inline constexpr char (k\w+)\[\] =([^;]*);)");
  for (std::sregex_iterator m(source.begin(), source.end(), plain), end; m != end; ++m) {
    const std::string literal = (*m)[2];
    for (char c : literal) {
      EXPECT_TRUE((c & 0x80) == 0) << (*m)[1] << " holds a text beyond ASCII: give it an English twin";
    }
  }
}

TEST(Texts, LanguageFollowsTheUserInterfaceWhenEnglishIsOffered) {
  struct Case {
    uint16_t ui;
    bool offersEnglish;
    text::Language expected;
  };
  using text::Language;
  const Case cases[] = {
      {0x0411, true, Language::kJapanese},   // Japanese (Japan)
      {0x0011, true, Language::kJapanese},   // Japanese, no region
      {0x0409, true, Language::kEnglish},    // English (United States)
      {0x0809, true, Language::kEnglish},    // English (United Kingdom)
      {0x0407, true, Language::kEnglish},    // German: English is the nearer one
      {0x0804, true, Language::kEnglish},    // Chinese (Simplified)
      {0x0412, true, Language::kEnglish},    // Korean
      {0x0409, false, Language::kJapanese},  // English not offered
      {0x0407, false, Language::kJapanese},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ui);
    EXPECT_EQ(text::LanguageFor(c.offersEnglish, c.ui), c.expected);
  }
}

TEST(Texts, ReadInTheChosenLanguage) {
  const char* shown = text::kUpdateFinished;
  EXPECT_EQ(shown, text::kUpdateFinished.ja);
  text::gLanguage = text::Language::kEnglish;
  shown = text::kUpdateFinished;
  text::gLanguage = text::Language::kJapanese;
  EXPECT_EQ(shown, text::kUpdateFinished.en);
}

}  // namespace
