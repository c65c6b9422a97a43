; An installation script that calls QVInst98.dll the way the product's
; installer does, through the installer kit's own macros (QVInst98.nsh):
; each export by name with the installer's window, a zero and a single-byte
; text. The answers go to results.txt beside the installer.
; makensis -DTARGET=amd64-unicode|x86-unicode -DKIT=<the unpacked kit> -DOUT=client.exe
Unicode true
Target ${TARGET}
OutFile "${OUT}"
SilentInstall silent
RequestExecutionLevel user
InstallDir "$PROGRAMFILES\QV Tillerdesk"

!include "${KIT}\QVInst98.nsh"

!macro QvCall NAME TEXT
  ${QVInst98_${NAME}} $HWNDPARENT 0 "${TEXT}" $0
  FileWrite $9 "${NAME}=$0$\n"
!macroend

Section
  ${QVInst98_Extract}
  FileOpen $9 "$EXEDIR\results.txt" w
  !insertmacro QvCall IsWinMe ""
  !insertmacro QvCall InitModule ""
  !insertmacro QvCall IsWinMe ""
  !insertmacro QvCall IsWin2k ""
  !insertmacro QvCall IsWinXp ""
  !insertmacro QvCall IsAdmin ""
  !insertmacro QvCall SetTargetDir "$INSTDIR"
  !insertmacro QvCall UpdateDevices "$INSTDIR"
  !insertmacro QvCall RootDeviceCount ""
  !insertmacro QvCall RemoveUsbDevices ""
  !insertmacro QvCall NeedReboot ""
  FileClose $9
SectionEnd
