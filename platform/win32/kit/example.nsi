; An installer and uninstaller for the QV game-controller software that call
; QVInst98.dll in the order the product does.
;
;   makensis example.nsi                      (beside QVInst98.nsh and QVInst98.dll)
;   makensis -DRESULTS=answers.txt example.nsi
;
; With RESULTS defined, each export's answer is also written, as EXPORT=RESULT,
; to that file in the installer's folder (the uninstaller's: $INSTDIR), so an
; unattended run (/S) can be checked.
Unicode true
!ifdef TARGET
  Target ${TARGET}
!endif
!ifndef OUT
  !define OUT "qv-setup.exe"
!endif
OutFile "${OUT}"
Name "QV Tillerdesk"
InstallDir "$PROGRAMFILES\QV Tillerdesk"
RequestExecutionLevel admin

!include "QVInst98.nsh"

!ifdef RESULTS
  Var log
!endif

; Calls an export through its macro, shows the answer in the details and,
; with RESULTS, writes it to the results file.
!macro Qv EXPORT TEXT
  ${QVInst98_${EXPORT}} $HWNDPARENT 0 "${TEXT}" $0
  DetailPrint "${EXPORT}: $0"
  !ifdef RESULTS
    FileWrite $log "${EXPORT}=$0$\r$\n"
  !endif
!macroend

!macro OpenLog DIR
  !ifdef RESULTS
    FileOpen $log "${DIR}\${RESULTS}" a
    FileSeek $log 0 END
  !endif
!macroend

!macro CloseLog
  !ifdef RESULTS
    FileClose $log
  !endif
!macroend

Section "Install"
  SetOutPath $INSTDIR
  ${QVInst98_Extract}
  !insertmacro OpenLog $EXEDIR
  ; Gathers the Windows version and empties the target folder.
  !insertmacro Qv InitModule ""
  !insertmacro Qv SetTargetDir "$INSTDIR"
  ; ... the product's files and drivers are copied here ...
  ; The control software's root device: 1 when created, else the count of
  ; what exists already or the Configuration Manager's code.
  !insertmacro Qv CreateRootDevice "$INSTDIR"
  !insertmacro CloseLog
  WriteUninstaller "$INSTDIR\uninstall.exe"
SectionEnd

Function un.onInit
  ${QVInst98_Extract}
  !insertmacro OpenLog $INSTDIR
  ; Asks the user to unplug every device: only a Yes (0) goes on.
  !insertmacro Qv UninstInitialize ""
  !insertmacro CloseLog
  StrCmp $0 0 +2
    Abort
FunctionEnd

Section "Uninstall"
  !insertmacro OpenLog $INSTDIR
  ; Each removes the devices of its table: 0 found and removed, 1 none,
  ; 2 not an administrator.
  !insertmacro Qv RemoveUsbDevices ""
  !insertmacro Qv RemovePedalDevices ""
  !insertmacro Qv RemoveAuxDevices ""
  !insertmacro Qv RemoveRootDevice ""
  !insertmacro CloseLog
  ; ... the product's files go here ...
  Delete "$INSTDIR\uninstall.exe"
  ; After the files: cleans again, removes the root device, deletes the
  ; driver database files and advises a restart (always 0).
  !insertmacro OpenLog $INSTDIR
  !insertmacro Qv UninstUnInitialize ""
  !insertmacro CloseLog
SectionEnd
