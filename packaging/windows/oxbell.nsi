; The Oxbell installer for 64-bit Windows: the application directory, a Start-menu entry and an
; uninstaller, for the current user, without administrator rights. cmake/windows-installer.cmake
; runs makensis with these defines:
;   VERSION  the program's version
;   APPDIR   the build tree's application directory
;   ICON     the program's icon (.ico)
;   OUTFILE  the installer to write
;   PYPY     defined when APPDIR holds a PyPy for Windows in pypy/bin

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel user

!include MUI2.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Oxbell"

Name "Oxbell"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Oxbell"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Oxbell ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\oxbell.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Oxbell"
    SetShellVarContext current
    SetOutPath "$INSTDIR"
    File "${APPDIR}/oxbell.exe"
    File "${APPDIR}/oxbell.py"
    SetOutPath "$INSTDIR\certs"
    File "${APPDIR}/certs/GandiStandardSSLCA.pem"
!ifdef PYPY
    SetOutPath "$INSTDIR\pypy"
    File /r "${APPDIR}/pypy/bin"
!endif
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\Oxbell.lnk" "$INSTDIR\oxbell.exe" "" "$INSTDIR\oxbell.exe" 0

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Oxbell"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\oxbell.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Only what the installer put there: the folder may hold the user's own files. Settings and the log
; live in the user's folders and stay.
Section "Uninstall"
    SetShellVarContext current
    Delete "$SMPROGRAMS\Oxbell.lnk"
    Delete "$INSTDIR\oxbell.exe"
    Delete "$INSTDIR\oxbell.py"
    Delete "$INSTDIR\certs\GandiStandardSSLCA.pem"
    RMDir "$INSTDIR\certs"
    RMDir /r "$INSTDIR\pypy"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
