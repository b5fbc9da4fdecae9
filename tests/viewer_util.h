// Logs and expected screen bytes shared by the painter and key tests.
#pragma once

#include <iconv.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "support.h"

namespace dulk_test {

// A forum log of n titles "00001/000nn title 1" .., none a reply.
inline std::string forum_title(int i, int n) {
  char t[64];
  std::snprintf(t, sizeof t, "%05d/%05d title %d", i, n, i);
  return t;
}

inline std::string forum_log(int n) {
  std::string log;
  for (int i = 1; i <= n; i++) log += forum_title(i, n) + "\n 1\nbody\n";
  return log;
}

inline const std::string kWhite = "\033[37m";
inline const std::string kRed = "\033[41m";
inline const std::string kStar = "\x81\x99";  // ☆

// The bytes that paint one row: mark, tree marks, text and the way home.
inline std::string row(int screen_row, const std::string& colour, const std::string& mark,
                       const std::string& tree, const std::string& text) {
  std::string r = std::to_string(screen_row + 1);
  return "\033[" + r + ";1H\033(B" + colour + mark + "\033[0m\033[" + r + ";3H" + tree + colour +
         text + " \033[0m\n\033[0;0H\n";
}

// The help screen's 33 lines, each with its line end, in UTF-8.
inline const std::vector<std::string> kHelpLines = {
    "[ DULK 使用法 ]\n",
    "\n",
    "    [q] or [ESC] ........ 終了。\n",
    "    [k][j] or [^E][^X] .. カーソル上下移動\n",
    "    [^F] or [↓] ........ 次ページ\n",
    "    [^B] or [↑] ........ 前ページ\n",
    "    [n] / [N] ........... 次/前の未読発言へ\n",
    "    [RETRUN] ............ カーソル位置の発言を読む。\n",
    "    [v] ................. カーソル位置の発言を読む。(エディタ起動) \n",
    "    [c] or [r] .......... カーソル位置の発言にコメントする。\n",
    "                          作成したコメントはファイル comt<n> に格納されます。\n",
    "    [w] ................. カーソル位置の発言の会議室/HPに発言する。\n",
    "                          作成した発言はファイル say<n> に格納されます。\n",
    "    [H] or [?] .......... ヘルプの表示。\n",
    "    [l] ................. コメントリンクモードの切替。\n",
    "    [s] ................. カーソル位置の発言を指定ファイルにセーブする。\n",
    "                          (追加書き込みされます)\n",
    "    [u] ................. カーソル位置の発言を未読にする。\n",
    "    [J] ................. カーソル位置の発言を既読にして一つ下へ。\n",
    "    [0] ................. 先頭行へ移動\n",
    "\n",
    "[ 環境変数 ]\n",
    "\n",
    "    EDITOR=実行エディタ名  デフォルトは vi\n",
    "    PAGER=ページャ名       デフォルトは less\n",
    "    COMMENT=コメントマーク デフォルトは >>\n",
    "    HANDLE=ハンドル名      デフォルトは <ハンドル名>\n",
    "    SIGN=署名ファイル名    署名の記述されたファイル\n",
    "\n",
    "[ 作成 ]\n",
    "\n",
    "\tdulk is written and maintained by the dulk developers.\n",
    "\tPlease report problems on the project's issue tracker.\n",
};

}  // namespace dulk_test
