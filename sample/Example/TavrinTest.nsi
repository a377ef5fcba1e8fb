; TavrinTest.nsi: the sample package's example script, a stand-in for the real one. It builds an
; installer that asks the Tavrin plug-in for its version through the header.

; The plug-in is a 32-bit ANSI one, which NSIS 3 uses only in an ANSI installer.
!ifdef NSIS_CHAR_SIZE
Unicode false
!endif
!include "Tavrin.nsh"

Name "Tavrin Test"
OutFile "TavrinTest.exe"
RequestExecutionLevel user
ShowInstDetails show

Section
  ${TavrinVersion} $0
  DetailPrint "Tavrin plug-in version: $0"
SectionEnd
