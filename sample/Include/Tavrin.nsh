; Tavrin.nsh: the sample package's include header, a stand-in for the real one.
; ${TavrinVersion} VAR puts the plug-in's version into VAR.
!ifndef TAVRIN_NSH
!define TAVRIN_NSH

!macro TavrinVersion VAR
  Tavrin::Version
  Pop ${VAR}
!macroend
!define TavrinVersion "!insertmacro TavrinVersion"

!endif
