; An installation script that calls QVInst98.dll the way the product's
; installer does: each export by name through the System plug-in, with the
; installer's window, a zero and a single-byte text. The answers go to
; results.txt beside the installer.
; makensis -DTARGET=amd64-unicode|x86-unicode -DDLL=QVInst98.dll -DOUT=client.exe
Unicode true
Target ${TARGET}
OutFile "${OUT}"
SilentInstall silent
RequestExecutionLevel user
InstallDir "$PROGRAMFILES\QV Tillerdesk"

!macro QvCall NAME TEXT
  System::Call '$PLUGINSDIR\QVInst98.dll::${NAME}(p $HWNDPARENT, i 0, m "${TEXT}") i .r0'
  FileWrite $9 "${NAME}=$0$\n"
!macroend

Section
  InitPluginsDir
  File /oname=$PLUGINSDIR\QVInst98.dll "${DLL}"
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
