; Installer of Torvan One: the exe into Program Files, a Start-menu shortcut, an uninstaller
; registered with Windows. Built by scripts/package.sh, which passes
;   /DVERSION=x.y.z  /DEXE=<path of the release TorvanOne.exe>  /DOUTFILE=<installer path>
; Silent use: TorvanOne-x.y.z-setup.exe /S, and Uninstall.exe /S.

; A 64-bit installer for a 64-bit program (it also runs under a 64-bit-only Wine).
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef VERSION | EXE | OUTFILE
  !error "pass /DVERSION, /DEXE and /DOUTFILE"
!endif

!include "x64.nsh"
!include "LogicLib.nsh"

!define APPNAME "Torvan One"
!define COMPANY "Torvan"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TorvanOne"

Name "${APPNAME} ${VERSION}"
Icon "${__FILEDIR__}\..\resources\TorvanOne.ico"
UninstallIcon "${__FILEDIR__}\..\resources\TorvanOne.ico"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APPNAME}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APPNAME}"
VIAddVersionKey "CompanyName" "${COMPANY}"
VIAddVersionKey "FileDescription" "${APPNAME} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${COMPANY}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  ; The program is a 64-bit exe: its files and its uninstall entry belong to the 64-bit views.
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "${APPNAME} needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Torvan One"
  SetOutPath "$INSTDIR"
  File "/oname=TorvanOne.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${APPNAME}"
  CreateShortcut "$SMPROGRAMS\${APPNAME}\${APPNAME}.lnk" "$INSTDIR\TorvanOne.exe" "" \
    "$INSTDIR\TorvanOne.exe" 0

  WriteRegStr HKLM "${UNINSTKEY}" "DisplayName" "${APPNAME}"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTKEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\TorvanOne.exe"
  WriteRegStr HKLM "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTKEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${APPNAME}\${APPNAME}.lnk"
  RMDir "$SMPROGRAMS\${APPNAME}"

  ; Only what the installer put there: logs the operator saved beside the exe stay.
  Delete "$INSTDIR\TorvanOne.exe"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTKEY}"
SectionEnd
