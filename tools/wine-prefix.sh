#!/usr/bin/env bash
# Creates the project's Wine prefix once: Chinese-capable fonts under the
# names the program and the message boxes ask for, no crash dialog, and a
# virtual desktop so every window has a title bar and one shared screen.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

ready="$WINEPREFIX/.talvoren-ready"
[[ -f $ready ]] && exit 0

mkdir -p "$WINEPREFIX"
WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" "$WINE" wineboot -i >/dev/null 2>&1

reg() { "$WINE" reg add "$@" /f >/dev/null 2>&1; }
cjk="WenQuanYi Micro Hei"
for name in "Microsoft YaHei UI" "Microsoft YaHei" Tahoma "MS Shell Dlg" "MS Shell Dlg 2" \
            "Microsoft Sans Serif" SimSun; do
  reg 'HKCU\Software\Wine\Fonts\Replacements' /v "$name" /t REG_SZ /d "$cjk"
done
for name in Tahoma "Tahoma Bold"; do
  reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$name" /t REG_MULTI_SZ /d "wqy-microhei.ttc,$cjk"
done
cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"

reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
reg 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default
reg 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768

"$WINESERVER" -w
touch "$ready"
