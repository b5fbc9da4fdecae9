#!/bin/sh
# Regenerates sample.log, an invented capture log: a session with the
# service (menus, conference rooms, home-party boards, mail, member search,
# library, message board; lines end in CR LF as the terminal program saved
# them) followed by saved news articles (lines end in LF).  The text below is
# UTF-8; the log is written in Shift-JIS.  The viewer reads titles by byte
# columns: a full-width character takes two, so keep the alignment when
# editing.  Write a dollar sign as \$.
#   sh examples/make_sample.sh
set -e
cd "$(dirname "$0")"
ESC=$(printf '\033')

# An RFC 2047 encoded word: ISO-2022-JP text in Base64.
enc() {
  printf '=?ISO-2022-JP?B?%s?=' "$(printf '%s' "$1" | iconv -f UTF-8 -t ISO-2022-JP | base64 -w0)"
}

session() {
cat <<EOF
ATZ
OK
ATDT 0000-00-0000
CONNECT 14400/ARQ/V42BIS

    ****************************************
    *                                      *
    *      ようこそ ＮＫネットへ           *
    *                                      *
    ****************************************

ID (ゲストは GUEST) : NRH01234
パスワード :
前回のアクセスは 96/05/11 23:12 です。

今週のお知らせ (96/05/13 更新)
  ・ 5月20日 02:00～05:00 はシステム保守のため停止します。
  ・ 会議室「星と天体観測」で観測会の参加者を募集中です。
  ・ ライブラリに新しい星図ソフトが登録されました。

番号またはコマンド (Enter:メニュー) :
＜メインメニュー＞
  1. 電子会議
  2. ホームパーティー
  3. 電子メール
  4. ライブラリ
  5. 会員検索
  6. 伝言板
  7. CCS (チャット)
  E. 終了
番号またはコマンド (1-7,E) : 1
＜電子会議＞
  03 旅行と鉄道            (新着  10)
  05 星と天体観測          (新着  15)
  07 パソコン通信談話室    (新着   0)
電子会議 番号またはコマンド : 3
－会議室 03 旅行と鉄道－－－－－－－－－－－－－
新着発言を読む前に、会議室のお知らせを表示します。
処理 (R:読む N:次の会議室 Q:戻る) : N
－会議室 05 星と天体観測－－－－－－－－－－－－
処理 (R:読む N:次の会議室 Q:戻る) : R
00100/00114 PYA40872 たんぽぽ          Re: 木星の縞模様
 05 96/05/12 20:58     00097 へのコメント
前の会議室から引っ越してきました。
木星の縞は口径8cmでも二本は見えますよ。

00101/00114 KQB20561 星見台            ペルセウス座流星群の観測計画
 05 96/05/12 21:05
今年のペルセウス座流星群は月明かりが少ない好条件です。
8月12日の夜に、高原の駐車場で観測会を開こうと思います。
車を出せる方、望遠鏡を持ってこられる方はレスをください。

00102/00114 NRH01234 ゆうなぎ          Re: ペルセウス座流星群の観測計画
 05 96/05/12 21:34     00101 へのコメント
＞8月12日の夜に、高原の駐車場で観測会を開こうと思います。

ぜひ参加させてください。車は一台出せます。
双眼鏡も持っていきます。

00103/00114 MTS33018 こむぎ            双眼鏡の選び方
 05 96/05/12 22:10
初めて双眼鏡を買おうと思っています。
7x50 と 10x50 で迷っているのですが、星を見るならどちらがよいでしょうか。

00104/00114 TWE51209 北の旅人          Re: ペルセウス座流星群の観測計画
 05 96/05/12 22:41     00102 へのコメント
＞ぜひ参加させてください。車は一台出せます。

ゆうなぎさんの車に便乗させてもらえますか。
駅から歩くと一時間かかるので…。

00105/00114 SVN90316 灯台守            Re: 双眼鏡の選び方
 05 96/05/12 23:02     00103 へのコメント
＞7x50 と 10x50 で迷っているのですが、

手持ちなら 7x50 をお勧めします。視野が広くて星雲も探しやすいです。

00106/00114 NRH01234 ゆうなぎ          Re: ペルセウス座流星群の観測計画
 05 96/05/13 07:15     00104 へのコメント
＞ゆうなぎさんの車に便乗させてもらえますか。

どうぞどうぞ。駅前に 21時でいかがでしょう。

00107/00114 HJK60033 しずく            月面写真を撮りました
 05 96/05/13 12:30
昨夜の月をコンパクトカメラで望遠鏡に押し当てて撮ってみました。
クレーターがちゃんと写っていて感激です。
ライブラリに MOON0512.GIF で登録しました。

00108/00114 BXQ12077 みかん            Re: ペルセウス座流星群の観測計画
 05 96/05/13 18:44     00101 へのコメント
＞今年のペルセウス座流星群は月明かりが少ない好条件です。

去年は曇られたので、今年こそ見たいですね。
寝袋を持っていくと楽ですよ。

00109/00114 ZLC71145 あおば            Re: 月面写真を撮りました
 05 96/05/13 20:02     00107 へのコメント
＞クレーターがちゃんと写っていて感激です。

拝見しました。欠け際の影がきれいに出ていますね。

00110/00114 TWE51209 北の旅人          Re: ペルセウス座流星群の観測計画
 05 96/05/13 21:17     00106 へのコメント
＞どうぞどうぞ。駅前に 21時でいかがでしょう。

了解です。魔法瓶に熱いお茶を入れていきます。

00111/00114 KQB20561 星見台            初心者向けの星座早見盤
 05 96/05/13 22:05
子供会で星座早見盤を作ることになりました。
型紙を作ったので、欲しい方はメールをください。

00112/00114 PYA40872 たんぽぽ          Re: 初心者向けの星座早見盤
 05 96/05/13 22:48     00111 へのコメント
＞型紙を作ったので、欲しい方はメールをください。

ぜひお願いします。小学生向けに漢字にルビを振ってもらえると嬉しいです。

00113/00114 HJK60033 しずく            Re: 月面写真を撮りました
 05 96/05/14 06:51     00109 へのコメント
＞＞クレーターがちゃんと写っていて感激です。
＞拝見しました。欠け際の影がきれいに出ていますね。

ありがとうございます。次は土星に挑戦します。

00114/00114 MTS33018 こむぎ            梅雨の晴れ間
 05 96/05/14 07:30
そろそろ梅雨入りですね。
晴れ間を狙って夏の大三角を見ておきたいです。

処理 (R:読む N:次の会議室 Q:戻る) : N
－会議室 03 旅行と鉄道－－－－－－－－－－－－－
処理 (R:読む N:次の会議室 Q:戻る) : R
  00096/00105 TWE51209 北の旅人          夜行列車の思い出
 03 96/05/10 23:40
学生のころ、急行の座席車で一晩過ごして北へ向かったものです。
夜明けの車窓に海が見えたときのことは今でも覚えています。

  00097/00105 ZLC71145 あおば            Re: 夜行列車の思い出
 03 96/05/11 08:12     00096 へのコメント
＞夜明けの車窓に海が見えたときのことは今でも覚えています。

私も同じ列車に乗ったことがあります。
停車駅で買ったお茶の味が忘れられません。

  00098/00105 BXQ12077 みかん            Re: 夜行列車の思い出
 03 96/05/11 12:05     00097 へのコメント
＞停車駅で買ったお茶の味が忘れられません。

陶器の容器に入ったお茶ですね。今でも売っているのでしょうか。

  00099/00105 NRH01234 ゆうなぎ          青春きっぷで行く北陸
 03 96/05/11 19:26
夏休みに普通列車だけで北陸まで行く計画を立てています。
乗り継ぎのよい時刻をご存じの方、教えてください。

  00100/00105 SVN90316 灯台守            Re: 青春きっぷで行く北陸
 03 96/05/11 21:03     00099 へのコメント
＞乗り継ぎのよい時刻をご存じの方、教えてください。

朝一番の列車で出れば、夕方には着けますよ。
時刻表の何ページかは後でメールします。

  00101/00105 HJK60033 しずく            Re: 夜行列車の思い出
 03 96/05/12 09:47     00096 へのコメント
＞学生のころ、急行の座席車で一晩過ごして北へ向かったものです。

寝台車ではなく座席車というのがいいですね。

  00102/00105 TWE51209 北の旅人          Re: 夜行列車の思い出
 03 96/05/12 13:30     00098 へのコメント
＞陶器の容器に入ったお茶ですね。今でも売っているのでしょうか。

ポリ容器に変わってしまったと聞きました。ちょっと寂しいです。

  00103/00105 DRF88420 ねこまた          駅弁ランキング
 03 96/05/12 22:18
これまでに食べた駅弁で一番おいしかったものを教えてください。
私はかにめしに一票です。

  00104/00105 MTS33018 こむぎ            Re: 駅弁ランキング
 03 96/05/13 08:05     00103 へのコメント
＞私はかにめしに一票です。

峠の釜めしも捨てがたいです。

  00105/00105 DRF88420 ねこまた          Re: 駅弁ランキング
 03 96/05/13 19:55     00104 へのコメント
＞峠の釜めしも捨てがたいです。

あの器、家で植木鉢にしています。

処理 (R:読む N:次の会議室 Q:戻る) : Q
＜電子会議＞
  03 旅行と鉄道            (新着   0)
  05 星と天体観測          (新着   0)
  07 パソコン通信談話室    (新着   0)
電子会議 番号またはコマンド : 7
－会議室 07 パソコン通信談話室－－－－－－－－－
新しい発言はありません。
処理 (R:読む N:次の会議室 Q:戻る) : Q
電子会議 番号またはコマンド : Q
＜メインメニュー＞
番号またはコマンド (1-7,E) : 2
＜ホームパーティー＞
  HP07 早起きの会            (新着   6)
  HP12 星見の丘              (新着  10)
HP> 12
ホームパーティー    HP12 星見の丘  主宰 星見台
ようこそ星見の丘へ。星の話なら何でもどうぞ。
0031 [星見台        ] 96/05/10 22:00 今月の星空
宵の南の空にはさそり座のアンタレスが赤く輝いています。
明け方には夏の大三角が高く昇ります。

0032 [ゆうなぎ      ] 96/05/11 06:12 明け方の金星
明け方の東の空に金星がとても明るく見えました。
新聞配達の人に「あれは何ですか」と聞かれました。

0033 [たんぽぽ      ] 96/05/11 21:40 #32 明け方の金星
＞新聞配達の人に「あれは何ですか」と聞かれました。

一番星は昔から道しるべですものね。

0034 [灯台守        ] 96/05/12 04:55 岬の夜空
灯台の近くは街明かりが少なく、天の川がよく見えます。
ただし海風が強いので上着を忘れずに。

0035 [しずく        ] 96/05/12 20:20 星座の神話の本
子供向けの星座神話の本でお勧めはありますか。

0036 [星見台        ] 96/05/12 23:05 #35 星座の神話の本
＞子供向けの星座神話の本でお勧めはありますか。

図書館の児童書の棚に挿絵の多い本があります。

0037 [みかん        ] 96/05/13 12:00 オフ会のお知らせ
6月8日(土)の夜に、丘の上の公園で小さな観望会をします。
雨天の場合は翌日に延期します。

0038 [あおば        ] 96/05/13 19:31 #37 オフ会のお知らせ
＞6月8日(土)の夜に、丘の上の公園で小さな観望会をします。

参加します。折りたたみ椅子を持っていきます。

0039 [ねこまた      ] 96/05/13 22:47 猫も星を見る
ベランダで星を見ていたら、猫も一緒に空を見上げていました。

0040 [こむぎ        ] 96/05/14 07:02 #39 猫も星を見る
＞ベランダで星を見ていたら、猫も一緒に空を見上げていました。

ほほえましいですね。うちの犬は寝てばかりです。

HP> 7
ホームパーティー    HP07 早起きの会  主宰 こむぎ
朝の散歩や早起きの話をしましょう。
   0008 [こむぎ        ] 96/05/11 05:30 今朝の散歩道
川沿いの道でカワセミを見かけました。

   0009 [灯台守        ] 96/05/11 05:58 #8 今朝の散歩道
＞川沿いの道でカワセミを見かけました。

青い宝石と呼ばれるだけありますね。

   0010 [ゆうなぎ      ] 96/05/12 06:05 朝焼け
今朝は空一面の朝焼けでした。
夕方は雨になるかもしれません。

   0011 [たんぽぽ      ] 96/05/12 06:40 ラジオ体操
夏休みのラジオ体操、今年は私が当番です。

   0012 [こむぎ        ] 96/05/13 05:15 #11 ラジオ体操
＞夏休みのラジオ体操、今年は私が当番です。

がんばってください。スタンプ係は大変ですよね。

   0013 [みかん        ] 96/05/14 05:45 早起きのこつ
目覚まし時計を部屋の反対側に置くと起きられます。

HP> Q
番号またはコマンド (1-7,E) : 3
＜電子メール＞
No.  状態   差出人            日付
0015 未読   差出人:   KQB20561 星見台   96/05/12 21:10
    件名: 観測会の車の件
ゆうなぎさん、車を出してくださるそうでありがとうございます。
当日は駅前で北の旅人さんを拾ってください。
星見台

0016 未読   差出人:   MTS33018 こむぎ   96/05/13 06:20
    件名: 星座早見盤の型紙
型紙のデータを添付の代わりにライブラリに登録しました。
ファイル名は HAYAMI.LZH です。
こむぎ

0017 未読   差出人:   TWE51209 北の旅人 96/05/13 21:30
    件名: お茶の件
魔法瓶は二本持っていきます。紙コップをお願いできますか。
北の旅人

0018 既読   差出人:   HJK60033 しずく   96/05/14 07:05
    件名: 月の写真
写真を褒めてくださってありがとうございます。
撮り方のメモを送りますね。
しずく

0019 未読   差出人:   BXQ12077 みかん   96/05/14 12:48
    件名: 観望会の地図
公園の地図をライブラリに登録しておきます。
みかん

処理 (R:読む D:削除 Q:戻る) : Q
番号またはコマンド (1-7,E) : 3R
＜受信簿＞
=== 受信簿 連番 0005  差出人 ZLC71145 あおば   96/05/09 22:15 ===
件名: 写真の送り方
パソコン通信で写真を送るにはどうすればよいのでしょう。
ライブラリに登録するのが一番簡単だと聞きました。
あおば

=== 受信簿 連番 0006  差出人 SVN90316 灯台守   96/05/10 19:02 ===
件名: 時刻表のページ
＞乗り継ぎのよい時刻をご存じの方、教えてください。

会議室に書いた件、時刻表の該当ページを書き写しておきます。
朝一番の普通列車から三回乗り継ぎです。
灯台守

=== 受信簿 連番 0007  差出人 DRF88420 ねこまた 96/05/11 23:59 ===
件名: 駅弁の会
駅弁好きで集まって食べ比べをしませんか。
ねこまた

=== 受信簿 連番 0008  差出人 PYA40872 たんぽぽ 96/05/12 08:30 ===
件名: ルビの件
＞小学生向けに漢字にルビを振ってもらえると嬉しいです。

星見台さんに伝えておきました。
たんぽぽ

処理 (R:読む D:削除 Q:戻る) : Q
番号またはコマンド (1-7,E) : 5
＜会員検索＞
項目 (1:ID 2:ハンドル名 3:趣味) : 3
キーワード : 天体
番号  ID        ハンドル名      趣味
   1  NRH01234  ゆうなぎ        天体観測、鉄道旅行
   2  KQB20561  星見台          天体写真
   3  HJK60033  しずく          月面写真、読書
   4  SVN90316  灯台守          天体観測、釣り
action: (N)次の検索 (Q)終了 ? N
項目 (1:ID 2:ハンドル名 3:趣味) : 3
キーワード : 鉄道
  番号  ID        ハンドル名      趣味
     1  TWE51209  北の旅人        鉄道旅行、温泉
     2  DRF88420  ねこまた        駅弁、猫
     3  NRH01234  ゆうなぎ        天体観測、鉄道旅行
action: (N)次の検索 (Q)終了 ? Q
番号またはコマンド (1-7,E) : 4
＜ライブラリ＞
データ名          サイズ    登録日     登録者
STARMAP.LZH        45210    96.04.28   KQB20561
MOON0512.GIF       61877    96.05.13   HJK60033
HAYAMI.LZH         12034    96.05.13   MTS33018
KOUEN.GIF          20511    96.05.14   BXQ12077
処理 (D:ダウンロード S:サブライブラリ Q:戻る) : S
  データ名          サイズ    登録日     登録者
  JIKOKU.TXT          8120    96.05.10   SVN90316
  EKIBEN.TXT          4630    96.05.12   DRF88420
処理 (D:ダウンロード S:サブライブラリ Q:戻る) : Q
番号またはコマンド (1-7,E) : 6
＜伝言板＞
${ESC}[2J${ESC}[H
伝言板 ＴＢ  古い順に表示します
${ESC}[7m                                        ${ESC}[0m
TB(0040) 96/05/10 ねこまた 猫と暮らす部屋
 ----------------------------------------
猫が窓辺で日向ぼっこするのを見るのが好きです。
${ESC}[7m                                        ${ESC}[0m
TB(0041) 96/05/10 みかん   Re:猫と暮らす部屋
 <0040 へのレス
＞猫が窓辺で日向ぼっこするのを見るのが好きです。
うちの猫は押し入れの中が好きです。
${ESC}[7m                                        ${ESC}[0m
TB(0042) 96/05/11 あおば   週末の天気
 ----------------------------------------
週末は晴れそうですね。洗濯日和です。
${ESC}[7m                                        ${ESC}[0m
TB(0043) 96/05/11 ねこまた Re:猫と暮らす部屋
 <0041 へのレス
＞うちの猫は押し入れの中が好きです。
押し入れの布団の上は最高の寝床ですね。
${ESC}[7m                                        ${ESC}[0m
TB(0044) 96/05/12 しずく   Re:猫と暮らす部屋
 <0043 へのレス
＞押し入れの布団の上は最高の寝床ですね。
布団が毛だらけになりませんか。
${ESC}[7m                                        ${ESC}[0m
TB(0045) 96/05/12 灯台守   Re:週末の天気
 <0042 へのレス
＞週末は晴れそうですね。洗濯日和です。
海は風が強くなりそうです。
${ESC}[7m                                        ${ESC}[0m
TB(0046) 96/05/13 たんぽぽ Re:猫と暮らす部屋
 <0040 へのレス
＞猫が窓辺で日向ぼっこするのを見るのが好きです。
猫の写真、ライブラリに載せてください。
${ESC}[0m
伝言板を終わります。
番号またはコマンド (1-7,E) : 7
CCS に入ります。終了は /q です。
CCS> 参加者 2名 (ゆうなぎ 星見台)
CCS> /q
番号またはコマンド (1-7,E) : E
ご利用ありがとうございました。
接続時間 00:52:13
NO CARRIER
EOF
}

news() {
cat <<EOF
Path: news.example.net!not-for-mail
From: hoshimi@example.org (Hoshimi Taro)
Newsgroups: nk.rec.astro
Subject: $(enc 'ペルセウス座流星群の予報')
Date: 14 May 1996 10:21:33 +0900
Organization: Example Net
Lines: 4
Message-ID: <4nb3qk\$1a2@news.example.net>
NNTP-Posting-Host: pc05.example.net
Mime-Version: 1.0
Content-Type: text/plain; charset=ISO-2022-JP
Xref: news.example.net nk.rec.astro:1203

今年のペルセウス座流星群は8月12日の深夜に極大となる見込みです。
月は夕方に沈むので、一晩中観測できます。

Path: news.example.net!not-for-mail
From: nagi@example.net (Yunagi)
Newsgroups: nk.rec.astro
Subject: Re: $(enc 'ペルセウス座流星群の予報')
Date: 14 May 1996 18:02:10 +0900
Organization: Example Net
Lines: 6
Message-ID: <4nc0fe\$7k1@mail.example.org>
References: <4nb3qk\$1a2@news.example.net>
NNTP-Posting-Host: pc05.example.net
Mime-Version: 1.0
Content-Type: text/plain; charset=ISO-2022-JP
Xref: news.example.net nk.rec.astro:1207

hoshimi@example.org さんは書きました:
> 月は夕方に沈むので、一晩中観測できます。

情報ありがとうございます。会議室の観測会にも転載してよいでしょうか。

Path: news.example.net!not-for-mail
From: tabibito@example.org (Kita no Tabibito)
Newsgroups: nk.rec.astro,nk.misc.travel
Subject: Re: $(enc 'ペルセウス座流星群の予報')
Date: 15 May 1996 09:40:51 +0900
Organization: Example Net
Lines: 5
Message-ID: <199605141203.VAA02211@pc05.example.net>
References: <4nb3qk\$1a2@news.example.net>
	<4nc0fe\$7k1@mail.example.org>
NNTP-Posting-Host: pc05.example.net
Mime-Version: 1.0
Content-Type: text/plain; charset=ISO-2022-JP
Xref: news.example.net nk.rec.astro:1211 nk.misc.travel:455

> 情報ありがとうございます。会議室の観測会にも転載してよいでしょうか。

高原行きのバスは最終が早いので、車で行くのがよさそうです。

Path: news.example.net!not-for-mail
From: hoshimi@example.org (Hoshimi Taro)
Newsgroups: nk.rec.astro
Subject: Re: $(enc 'ペルセウス座流星群の予報')
Date: 15 May 1996 12:03:17 +0900
Organization: Example Net
Lines: 4
Message-ID: <4nd8a1\$2c3@news.example.net>
References: <4nb3qk\$1a2@news.example.net>
 <4nc0fe\$7k1@mail.example.org>
 <199605141203.VAA02211@pc05.example.net>
NNTP-Posting-Host: pc05.example.net
Mime-Version: 1.0
Content-Type: text/plain; charset=ISO-2022-JP
Xref: news.example.net nk.rec.astro:1215

> 高原行きのバスは最終が早いので、車で行くのがよさそうです。

転載はどうぞ。乗り合わせの相談は会議室でしましょう。

Path: news.example.net!not-for-mail
From: lighthouse@example.net (Toudaimori)
Newsgroups: nk.misc.travel
Subject: Tokyo planetarium hours
Date: 15 May 1996 20:11:45 +0900
Organization: Example Net
Lines: 3
Message-ID: <Dr9xK1.5Lt@host.example.org>
NNTP-Posting-Host: pc05.example.net
Mime-Version: 1.0
Content-Type: text/plain; charset=ISO-2022-JP
Xref: news.example.net nk.misc.travel:458

Does anyone know the summer opening hours of the planetarium?
I will be in Tokyo on June 2nd.

Path: news.example.net!not-for-mail
From: komugi@example.org (Komugi)
Newsgroups: nk.misc.travel
Subject: Re: Tokyo planetarium hours
Date: 16 May 1996 07:30:02 +0900
Organization: Example Net
Lines: 3
Message-ID: <4ndq7v\$b11@news.example.net>
References: <Dr9xK1.5Lt@HOST.EXAMPLE.ORG>
NNTP-Posting-Host: pc05.example.net
Mime-Version: 1.0
Content-Type: text/plain; charset=ISO-2022-JP
Xref: news.example.net nk.misc.travel:460

> Does anyone know the summer opening hours of the planetarium?

Weekends 10:00 to 19:00, last show at 18:00.

Path: news.example.net!not-for-mail
From: shizuku@example.net (Shizuku)
Newsgroups: nk.rec.photo
Subject: $(enc '月面写真の撮り方')
Date: 16 May 1996 22:48:39 +0900
Organization: Example Net
Lines: 4
Message-ID: <4nef02\$3d9@news.example.net>
NNTP-Posting-Host: pc05.example.net
Mime-Version: 1.0
Content-Type: text/plain; charset=ISO-2022-JP

コンパクトカメラを接眼レンズに当てるだけでも月は写ります。
ピントは無限遠、露出は少し暗めにするのがこつです。

Xref: news.example.net nk.rec.photo:88
Message-ID: <4nfa11\$e08@news.example.net>
From: aoba@example.org (Aoba)
Newsgroups: nk.rec.photo
Subject: $(enc '三脚のおすすめ')
Date: 17 May 1996 08:15:00 +0900
Lines: 3

軽くて丈夫な三脚を探しています。
予算は一万円くらいです。

Path: news.example.net!not-for-mail
From: mikan@example.net (Mikan)
Newsgroups: nk.rec.photo
Subject: Re: $(enc '三脚のおすすめ')
Date: 17 May 1996 12:40:27 +0900
Organization: Example Net
Lines: 4
Message-ID: <4ng3k2\$f71@news.example.net>
References: <4nfa11\$e08@news.example.net>
NNTP-Posting-Host: pc05.example.net
Mime-Version: 1.0
Content-Type: text/plain; charset=ISO-2022-JP
Xref: news.example.net nk.rec.photo:91

> 予算は一万円くらいです。

その予算ならアルミの三段のものが手頃です。

EOF
}

tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
{ session | awk '{ printf "%s\r\n", $0 }'; news; } >"$tmp"
iconv -f UTF-8 -t CP932 "$tmp" >sample.log
