; The peer the benchmark measures us against: an installer made with NSIS itself for the same job.
; The directory page is filled from HKLM "SOFTWARE\NSIS", Next is allowed only when the folder
; holds makensis.exe, and the package's files are copied from beside the installer to the same
; places with the same missing-file and replace prompts.
; Build: makensis -DTARGET=x86-ansi|amd64-unicode -DOUTFILE=peer.exe peer.nsi
Target ${TARGET}
Name "Tavrin Plugin Setup"
Caption "Tavrin Plugin Setup"
OutFile "${OUTFILE}"
SetCompressor /SOLID lzma
RequestExecutionLevel user
InstallDirRegKey HKLM "SOFTWARE\NSIS" ""
XPStyle on
ShowInstDetails nevershow

Page directory
Page instfiles

Function .onVerifyInstDir
  IfFileExists "$INSTDIR\makensis.exe" +2
    Abort
FunctionEnd

; One file of the package: missing-file prompt, last-level folder, replace prompt, copy.
!macro InstallRow SOURCE NAME DEST
  ; the jumps count instructions: +8 from the first prompt is past the row's copy
  IfFileExists "${SOURCE}\${NAME}" +3
    MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 "${SOURCE}\${NAME}$\n$\nFile does not exists. Continue?" IDYES +8
    Quit
  CreateDirectory "${DEST}"
  IfFileExists "${DEST}\${NAME}" 0 +4
    MessageBox MB_YESNOCANCEL|MB_ICONQUESTION "${DEST}\${NAME}$\n$\nFile already exists. Replace it?" IDYES +3 IDNO +4
    MessageBox MB_ICONEXCLAMATION "Installation aborted"
    Quit
  CopyFiles /SILENT "${SOURCE}\${NAME}" "${DEST}\${NAME}"
!macroend

; The plug-in's second place, Plugins\x86-ansi, where NSIS 3 looks for it: only where the
; installation has that folder, and with no second question about a missing file.
!macro InstallExistingRow SOURCE NAME DEST
  IfFileExists "${SOURCE}\${NAME}" 0 existing_done
  IfFileExists "${DEST}\*.*" 0 existing_done
  IfFileExists "${DEST}\${NAME}" 0 existing_copy
    MessageBox MB_YESNOCANCEL|MB_ICONQUESTION "${DEST}\${NAME}$\n$\nFile already exists. Replace it?" IDYES existing_copy IDNO existing_done
    MessageBox MB_ICONEXCLAMATION "Installation aborted"
    Quit
  existing_copy:
  CopyFiles /SILENT "${SOURCE}\${NAME}" "${DEST}\${NAME}"
  existing_done:
!macroend

Section
  !insertmacro InstallRow "$EXEDIR" "Readme.txt" "$INSTDIR\Docs\Tavrin"
  !insertmacro InstallRow "$EXEDIR\Example" "TavrinTest.nsi" "$INSTDIR\Examples\Tavrin"
  !insertmacro InstallRow "$EXEDIR\Include" "Tavrin.nsh" "$INSTDIR\Include"
  !insertmacro InstallRow "$EXEDIR\Plugin" "Tavrin.dll" "$INSTDIR\Plugins"
  !insertmacro InstallExistingRow "$EXEDIR\Plugin" "Tavrin.dll" "$INSTDIR\Plugins\x86-ansi"
SectionEnd
