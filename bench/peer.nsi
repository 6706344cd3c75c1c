; The peer: an uninstaller for Glintfold made with NSIS, as NSIS users write
; one. It asks in un.onInit and does the job in the Uninstall section; with no
; pages and a silent uninstall, the question is its only window. makensis
; makes installers, so this one only writes the uninstaller (WriteUninstaller)
; beside itself and quits; bench/run.sh runs it once under Wine.
;
;   makensis -INPUTCHARSET UTF8 -DOUTFILE=writer.exe -DUNINSTALLER=peer.exe peer.nsi

Unicode true
Name "Glintfold"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Larkvane"
RequestExecutionLevel admin
SilentUnInstall silent

!include "WinMessages.nsh"

Function .onInit
  WriteUninstaller "$EXEDIR\${UNINSTALLER}"
  Quit
FunctionEnd

Section
SectionEnd

Function un.onInit
  MessageBox MB_ICONQUESTION|MB_YESNO "시작 페이지 변경 프로그램을 삭제하시겠습니까?" IDYES +2
  Abort
FunctionEnd

Section "Uninstall"
  FindWindow $0 "" "Glintfold"
  IntCmp $0 0 +2
    SendMessage $0 ${WM_CLOSE} 0 0
  DeleteRegValue HKLM "Software\Microsoft\Windows\CurrentVersion\Run" "Glintfold"
  ; The product's process outlives its window by a moment, and the exe of a
  ; running process cannot be deleted: try again every 100 ms, 5 s at most.
  StrCpy $1 0
  retry:
    ClearErrors
    Delete "$INSTDIR\glintfold.exe"
    IfErrors 0 deleted
    IntOp $1 $1 + 1
    IntCmp $1 50 deleted
    Sleep 100
    Goto retry
  deleted:
  Delete "$INSTDIR\clearwick.exe"
  Delete "$INSTDIR\kelp_note.txt"
  RMDir "$INSTDIR"
SectionEnd
