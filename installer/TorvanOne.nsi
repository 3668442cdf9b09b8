; Installer of Torvan One: TorvanOne.exe and torvanctl.exe into Program Files, Start-menu
; entries for the program and for a command prompt that finds torvanctl, an uninstaller
; registered with Windows. Built by scripts/package.sh, which passes
;   /DVERSION=x.y.z  /DEXE=<path of the release TorvanOne.exe>
;   /DCTL=<path of the release torvanctl.exe>  /DOUTFILE=<installer path>
; Silent use: TorvanOne-x.y.z-setup.exe /S, and Uninstall.exe /S.

; A 64-bit installer for a 64-bit program (it also runs under a 64-bit-only Wine).
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef VERSION | EXE | CTL | OUTFILE
  !error "pass /DVERSION, /DEXE, /DCTL and /DOUTFILE"
!endif

!include "x64.nsh"
!include "LogicLib.nsh"

!define APPNAME "Torvan One"
!define COMPANY "Torvan"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TorvanOne"
!define PROMPT "Torvan One command prompt"

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
  File "/oname=torvanctl.exe" "${CTL}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${APPNAME}"
  CreateShortcut "$SMPROGRAMS\${APPNAME}\${APPNAME}.lnk" "$INSTDIR\TorvanOne.exe" "" \
    "$INSTDIR\TorvanOne.exe" 0
  ; torvanctl is found in this window only: the install folder goes first on the PATH of
  ; the cmd.exe the entry opens. The PATH of the system and of the user stay as they are (a
  ; PATH rewritten by an installer can come out cut short, which breaks other programs).
  ; The window starts in the user's own folder, where torvanctl's files may be written.
  CreateShortcut "$SMPROGRAMS\${APPNAME}\${PROMPT}.lnk" "$SYSDIR\cmd.exe" \
    '/k title ${PROMPT} && set "PATH=$INSTDIR;%PATH%" && cd /d "%USERPROFILE%" && torvanctl --version'

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
  Delete "$SMPROGRAMS\${APPNAME}\${PROMPT}.lnk"
  RMDir "$SMPROGRAMS\${APPNAME}"

  ; Only what the installer put there: logs the operator saved beside the exe stay.
  Delete "$INSTDIR\TorvanOne.exe"
  Delete "$INSTDIR\torvanctl.exe"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTKEY}"
SectionEnd
