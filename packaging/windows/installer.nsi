; The Windows installer: licence page, Program Files, a Start-menu entry,
; an entry in Windows' list of programs, and an uninstaller that leaves
; nothing behind. makensis is given VERSION, EXE, LICENSE and OUTFILE.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "x64.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Lichtsteuerung"

Name "Lichtsteuerung ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Lichtsteuerung"
RequestExecutionLevel admin

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "German"

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Lichtsteuerung"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${EXE}"
  File "/oname=LICENSE.txt" "${LICENSE}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Lichtsteuerung"
  CreateShortcut "$SMPROGRAMS\Lichtsteuerung\Lichtsteuerung.lnk" "$INSTDIR\lichtsteuerung.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Lichtsteuerung"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Lichtsteuerung"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\lichtsteuerung.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\Lichtsteuerung\Lichtsteuerung.lnk"
  RMDir "$SMPROGRAMS\Lichtsteuerung"
  Delete "$INSTDIR\lichtsteuerung.exe"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
