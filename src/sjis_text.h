// The service's fixed texts that begin lines of a capture log, as the
// Shift-JIS bytes they are there.  The scanner tells title lines by them,
// the extract ends a message at them, the log generator writes them.
#pragma once

#include <string_view>

namespace dulk::sjis {

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

}  // namespace dulk::sjis
