; QVInst98.nsh: NSIS macros for the sixteen exports of QVInst98.dll.
;
; Every export has the form  int __stdcall F(HWND window, int number, const char* text):
; the window that owns the dialogs ($HWNDPARENT), a number that no export reads
; (pass 0), and an 8-bit (ANSI) text that only SetTargetDir, UpdateDevices and
; CreateRootDevice read (pass "" otherwise). Each macro below takes these three
; and puts the export's result into the variable named last:
;
;   !include "QVInst98.nsh"
;   ...
;   ${QVInst98_Extract}                                ; once per section, before the first call
;   ${QVInst98_InitModule} $HWNDPARENT 0 "" $0
;   ${QVInst98_SetTargetDir} $HWNDPARENT 0 "$INSTDIR" $0
;
; The DLL is copied to $PLUGINSDIR and called from there (the System plug-in),
; in the installer and in the uninstaller alike: the uninstaller calls
; UninstUnInitialize after the product's files are gone. A text must not
; hold a double quote. The results are listed in INSTALLERS.md.

!ifndef QVINST98_NSH
!define QVINST98_NSH

; The DLL packed into the installer: by default the one beside this file.
!ifndef QVINST98_DLL
  !define QVINST98_DLL "${__FILEDIR__}\QVInst98.dll"
!endif

!macro QVInst98_Extract
  InitPluginsDir
  File "/oname=$PLUGINSDIR\QVInst98.dll" "${QVINST98_DLL}"
!macroend
!define QVInst98_Extract "!insertmacro QVInst98_Extract"

; Calls EXPORT(WINDOW, NUMBER, TEXT) and stores its 32-bit result in RESULT.
!macro QVInst98_Call EXPORT WINDOW NUMBER TEXT RESULT
  System::Call '$PLUGINSDIR\QVInst98.dll::${EXPORT}(p ${WINDOW}, i ${NUMBER}, m "${TEXT}") i .s'
  Pop ${RESULT}
!macroend

; Ordinals 1 to 16.
!define QVInst98_UninstInitialize "!insertmacro QVInst98_Call UninstInitialize"
!define QVInst98_UninstUnInitialize "!insertmacro QVInst98_Call UninstUnInitialize"
!define QVInst98_CreateRootDevice "!insertmacro QVInst98_Call CreateRootDevice"
!define QVInst98_UpdateDevices "!insertmacro QVInst98_Call UpdateDevices"
!define QVInst98_RemoveRootDevice "!insertmacro QVInst98_Call RemoveRootDevice"
!define QVInst98_RemoveUsbDevices "!insertmacro QVInst98_Call RemoveUsbDevices"
!define QVInst98_RemovePedalDevices "!insertmacro QVInst98_Call RemovePedalDevices"
!define QVInst98_RemoveAuxDevices "!insertmacro QVInst98_Call RemoveAuxDevices"
!define QVInst98_IsWin2k "!insertmacro QVInst98_Call IsWin2k"
!define QVInst98_IsWinMe "!insertmacro QVInst98_Call IsWinMe"
!define QVInst98_IsWinXp "!insertmacro QVInst98_Call IsWinXp"
!define QVInst98_IsAdmin "!insertmacro QVInst98_Call IsAdmin"
!define QVInst98_NeedReboot "!insertmacro QVInst98_Call NeedReboot"
!define QVInst98_InitModule "!insertmacro QVInst98_Call InitModule"
!define QVInst98_SetTargetDir "!insertmacro QVInst98_Call SetTargetDir"
!define QVInst98_RootDeviceCount "!insertmacro QVInst98_Call RootDeviceCount"

!endif
