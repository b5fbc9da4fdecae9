// The character layer: what a byte is in Shift-JIS, the steps from one
// character to the next in Shift-JIS and in UTF-8 that every walk takes,
// and every Japanese text of the program as the Shift-JIS bytes it reads and
// writes, each with its characters beside it.  The conversion to UTF-8 is in
// sjis.cpp; the rest is here, for the log generator too.
#pragma once

#include <cstddef>
#include <string_view>

namespace dulk {

// ---- byte classes -----------------------------------------------------------

// A Shift-JIS byte in 0x80-0x9F or 0xE0-0xFE may open a two-byte
// character: a row of text is never cut right after one.
constexpr bool is_lead_byte(unsigned char b) {
  return (b >= 0x80 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFE);
}
// CP932 gives 0x80, 0xFD and 0xFE no character: they stand alone, and only
// the other lead bytes open a two-byte character.  The byte after one is its
// trail, whatever its value (0x40-0x7E overlaps ASCII).
constexpr bool opens_pair(unsigned char b) { return is_lead_byte(b) && b != 0x80 && b < 0xFD; }
// The trail byte of a two-byte character that converts lies in 0x40-0x7E or
// 0x80-0xFC; 0xA1-0xDF are one-column katakana.
constexpr bool sjis_trail(unsigned char b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// ---- character steps --------------------------------------------------------

// The bytes of the Shift-JIS character at s[i]: two after a byte that opens
// a pair, when one follows; else one.
constexpr size_t sjis_char_len(std::string_view s, size_t i) {
  return opens_pair(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
}

constexpr bool utf8_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The bytes of the UTF-8 character at the start of s (one for a byte that
// starts none), so that a character which does not convert is passed over
// whole.
constexpr size_t utf8_char_len(std::string_view s) {
  auto b = static_cast<unsigned char>(s[0]);
  size_t n = b >= 0xC2 && b <= 0xDF   ? 2
             : b >= 0xE0 && b <= 0xEF ? 3
             : b >= 0xF0 && b <= 0xF4 ? 4
                                      : 1;
  size_t i = 1;
  while (i < n && i < s.size() && utf8_continuation(static_cast<unsigned char>(s[i]))) i++;
  return i;
}

// Where the last UTF-8 character of s starts (0 for an empty s).
constexpr size_t utf8_last_char_start(std::string_view s) {
  if (s.empty()) return 0;
  size_t j = s.size() - 1;
  while (j > 0 && utf8_continuation(static_cast<unsigned char>(s[j]))) j--;
  return j;
}

// The UTF-8 characters that begin in s.
constexpr size_t utf8_chars(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += !utf8_continuation(static_cast<unsigned char>(c));
  return n;
}

}  // namespace dulk

// ---- the Japanese texts -----------------------------------------------------

namespace dulk::sjis {

// The service's fixed texts that begin lines of a capture log.  The scanner
// tells title lines by them, the extract ends a message at them, the log
// generator writes them.
inline constexpr std::string_view kAngle = "\x81\x83";    // ＜
inline constexpr std::string_view kGreater = "\x81\x84";  // ＞
// －会議室
inline constexpr std::string_view kConferenceHeading = "\x81\x7c\x89\xef\x8b\x63\x8e\xba";
// ホームパーティー    HP
inline constexpr std::string_view kHomeParty =
    "\x83\x7a\x81\x5b\x83\x80\x83\x70\x81\x5b\x83\x65\x83\x42\x81\x5b    HP";
inline constexpr std::string_view kIdList = "\x94\xd4\x8d\x86  ID";                // 番号  ID
inline constexpr std::string_view kDataName = "\x83\x66\x81\x5b\x83\x5e\x96\xbc";  // データ名
// 今週のお知らせ
inline constexpr std::string_view kWeekly =
    "\x8d\xa1\x8f\x54\x82\xcc\x82\xa8\x92\x6d\x82\xe7\x82\xb9";
// === 受信簿 連番
inline constexpr std::string_view kInbox = "=== \x8e\xf3\x90\x4d\x95\xeb \x98\x41\x94\xd4";

// Prompts and menus of the service.
inline constexpr std::string_view kConference = "\x93\x64\x8e\x71\x89\xef\x8b\x63";  // 電子会議
// 番号またはコマンド
inline constexpr std::string_view kNumberOrCommand =
    "\x94\xd4\x8d\x86\x82\xdc\x82\xbd\x82\xcd\x83\x52\x83\x7d\x83\x93\x83\x68";
inline constexpr std::string_view kItemMenu = "\x8d\x80\x96\xda\x20\x28";     // 項目 (
inline constexpr std::string_view kProcessMenu = "\x8f\x88\x97\x9d\x20\x28";  // 処理 (

// The list's marks.
inline constexpr const char* kReadMark = "\x81\x99";      // ☆
inline constexpr const char* kOpenBracket = "\x81\x79";   // 【
inline constexpr const char* kCloseBracket = "\x81\x7a";  // 】
inline constexpr const char* kFilled = "\x81\xa1";        // ■
inline constexpr const char* kEmpty = "\x81\xa0";         // □

// The unread search's notes.
// 最後のメッセージまでに未読はありません。
inline constexpr const char* kNoUnreadAfter =
    "\x8d\xc5\x8c\xe3\x82\xcc\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57\x82\xdc\x82\xc5\x82\xc9"
    "\x96\xa2\x93\xc7\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42";
// 最初のメッセージまでに未読はありません。
inline constexpr const char* kNoUnreadBefore =
    "\x8d\xc5\x8f\x89\x82\xcc\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57\x82\xdc\x82\xc5\x82\xc9"
    "\x96\xa2\x93\xc7\x82\xcd\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42";

// Between the counts and the log's name on the note of where the cursor is.
inline constexpr const char* kMiddleDot = "\x81\x45";  // ・

// The title and text searches' notes.
// 先頭から検索し直しました。
inline constexpr const char* kWentRoundForward =
    "\x90\xe6\x93\xaa\x82\xa9\x82\xe7\x8c\x9f\x8d\xf5\x82\xb5\x92\xbc\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81\x42";
// 末尾から検索し直しました。
inline constexpr const char* kWentRoundBackward =
    "\x96\x96\x94\xf6\x82\xa9\x82\xe7\x8c\x9f\x8d\xf5\x82\xb5\x92\xbc\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\x81\x42";
inline constexpr const char* kOpenQuote = "\x81\x75";   // 「
inline constexpr const char* kCloseQuote = "\x81\x76";  // 」
// は見つかりません。
inline constexpr const char* kNotFound =
    "\x82\xcd\x8c\xa9\x82\xc2\x82\xa9\x82\xe8\x82\xdc\x82\xb9\x82\xf1\x81\x42";
// 検索文字列の%d文字目はシフトJISで表せません。
inline constexpr const char* kNoSjisForm =
    "\x8c\x9f\x8d\xf5\x95\xb6\x8e\x9a\x97\xf1\x82\xcc%d\x95\xb6\x8e\x9a\x96\xda\x82\xcd\x83\x56"
    "\x83\x74\x83\x67JIS\x82\xc5\x95\x5c\x82\xb9\x82\xdc\x82\xb9\x82\xf1\x81\x42";
// 検索中 %d%%（何かキーで中止）
inline constexpr const char* kSearching =
    "\x8c\x9f\x8d\xf5\x92\x86 %d%%\x81\x69\x89\xbd\x82\xa9\x83\x4c\x81\x5b\x82\xc5\x92\x86\x8e"
    "\x7e\x81\x6a";

// The scripts' texts.
inline constexpr const char* kHandleUnset =
    "\x3c\x83\x6e\x83\x93\x83\x68\x83\x8b\x96\xbc\x3e";                 // <ハンドル名>
inline constexpr const char* kNumberedSubjectVar = "\x83\x6b\x83\x79";  // ヌペ
// The same name in UTF-8, as a UTF-8 shell sets it.
inline constexpr const char* kNumberedSubjectVarUtf8 = "\xe3\x83\x8c\xe3\x83\x9a";  // ヌペ
inline constexpr const char* kTitlePlaceholder =
    "\x3c\x83\x5e\x83\x43\x83\x67\x83\x8b\x3e";  // <タイトル>
// <会議室/発言内容>
inline constexpr const char* kRoomTextPlaceholder =
    "\x3c\x89\xef\x8b\x63\x8e\xba\x2f\x94\xad\x8c\xbe\x93\xe0\x97\x65\x3e";
// <ＨＰ/発言内容>
inline constexpr const char* kBoardTextPlaceholder =
    "\x3c\x82\x67\x82\x6f\x2f\x94\xad\x8c\xbe\x93\xe0\x97\x65\x3e";
inline constexpr const char* kMailTextPlaceholder =
    "\x3c\x45\x2d\x6d\x61\x69\x6c\x2f\x93\xe0\x97\x65\x3e";  // <E-mail/内容>
// Error: 署名ファイルの読み込みに失敗しました。
inline constexpr std::string_view kSignError =
    "Error: \x8f\x90\x96\xbc\x83\x74\x83\x40\x83\x43\x83\x8b\x82\xcc\x93\xc7\x82\xdd\x8d\x9e"
    "\x82\xdd\x82\xc9\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
// Stands for what has no Shift-JIS form.
inline constexpr std::string_view kGeta = "\x81\xac";  // 〓

}  // namespace dulk::sjis
