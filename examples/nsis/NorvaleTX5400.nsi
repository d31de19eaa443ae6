; Setup program for the Norvale TX-5400 printer on LPT1, an example of how a
; setup program drives the printer setup libraries. Copy it and change what
; the comments point out.
;
; The package it makes is the installer and, beside it, the printer's
; driver files:
;
;   NorvaleTX5400Setup.exe
;   drivers\nt\   nrvs1.dll nrvs1.sdd nrvs1ui.dll nrvs1su.hlp nrvs1um.dll
;                 nrvs1su.dat nrvs1su.dll          (Windows NT, 2000, XP...)
;   drivers\9x\   NRVS1.DRV NRVS1.HLP nrvs195.dll nrvs1um.dll nrvs1su.hlp
;                 nrvs1su.dll nrvs1su.dat          (Windows 95, 98 and Me)
;
; The example's drivers folders hold small stand-in files of these names.
; Put the real files from the printer's driver package there instead; the
; installer copies them as they are, and stops before it changes anything
; when one of them is missing. Ship the driver files as they come (say on
; the printer's CD) and the installer never needs rebuilding for a new
; driver version.
;
; Build (the build of the DLLs does this, into dist/):
;   makensis -DNRVPNP_DLL=...\NRVPNP.dll -DNRVKSYS_DLL=...\NRVKSYS.dll
;            -DDACL_EXE=...\dacl.exe -DOUTFILE=...\NorvaleTX5400Setup.exe
;            NorvaleTX5400.nsi
; Without these defines it takes the DLLs from ..\..\dist and the stand-in
; dacl.exe from the cross build (..\..\build\cross\tests\wine).
;
; Run: NorvaleTX5400Setup.exe, or NorvaleTX5400Setup.exe /S for a silent
; install. The uninstaller is registered under Add or Remove Programs;
; "uninstall.exe /S" removes silently.
;
; Exit codes (installer and uninstaller): 0 done, 2 stopped by an error. In
; an interactive run the error is shown in a message box; in a silent run
; it is written to the standard error handle, where a script that
; redirects it finds it ("start /wait NorvaleTX5400Setup.exe /S 2>err.txt").

; An ANSI installer: it runs on Windows 95, 98 and Me as well as on the NT
; family, and the libraries take ANSI text throughout.
Unicode false

!include LogicLib.nsh

!ifndef NRVPNP_DLL
  !define NRVPNP_DLL "..\..\dist\NRVPNP.dll"
!endif
!ifndef NRVKSYS_DLL
  !define NRVKSYS_DLL "..\..\dist\NRVKSYS.dll"
!endif
; The tool that the NT library starts to change a registry key's access
; list before it deletes the printer's earlier device node (only when it
; installs over an earlier install). The example ships the project's test
; stand-in, which changes nothing and logs each start to C:\dacl.log; ship
; your own dacl.exe instead.
!ifndef DACL_EXE
  !define DACL_EXE "..\..\build\cross\tests\wine\dacl.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "NorvaleTX5400Setup.exe"
!endif

!define PRINTER "Norvale TX-5400 Series"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\NorvaleTX5400"

Name "${PRINTER}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Norvale\TX-5400"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var IsNt          ; 1 on the Windows NT family, 0 on Windows 95, 98 and Me
Var Library       ; NRVPNP.dll or NRVKSYS.dll
Var DriverSource  ; the package's driver folder for this system
Var DriverDir     ; where the spooler looks for driver files
Var Missing       ; driver files missing from the package
Var Module        ; the library's module handle
Var Export        ; the address of the export to call
Var Result        ; what the export returned

; ---------------------------------------------------------------------------
; The driver files, as the library of each family names them. The NT library
; copies these seven from the spooler's driver directory into its version
; directory; the 9x library registers them by bare name, and the 9x spooler
; takes them from its driver directory (the system folder on Windows 95, 98
; and Me).

!macro NrvNtDriverFiles DO
  !insertmacro ${DO} nrvs1.dll
  !insertmacro ${DO} nrvs1.sdd
  !insertmacro ${DO} nrvs1ui.dll
  !insertmacro ${DO} nrvs1su.hlp
  !insertmacro ${DO} nrvs1um.dll
  !insertmacro ${DO} nrvs1su.dat
  !insertmacro ${DO} nrvs1su.dll
!macroend

!macro Nrv9xDriverFiles DO
  !insertmacro ${DO} NRVS1.DRV
  !insertmacro ${DO} NRVS1.HLP
  !insertmacro ${DO} nrvs195.dll
  !insertmacro ${DO} nrvs1um.dll
  !insertmacro ${DO} nrvs1su.hlp
  !insertmacro ${DO} nrvs1su.dll
  !insertmacro ${DO} nrvs1su.dat
!macroend

!macro NrvDriverFiles DO
  ${If} $IsNt = 1
    !insertmacro NrvNtDriverFiles ${DO}
  ${Else}
    !insertmacro Nrv9xDriverFiles ${DO}
  ${EndIf}
!macroend

!macro NrvNoteMissing NAME
  ${IfNot} ${FileExists} "$DriverSource\${NAME}"
    StrCpy $Missing "$Missing ${NAME}"
  ${EndIf}
!macroend

!macro NrvCopyDriverFile NAME
  System::Call "kernel32::CopyFileA(m '$DriverSource\${NAME}', m '$DriverDir\${NAME}', i 0) i .r0"
  ${If} $0 = 0
    !insertmacro NrvFail "Setup could not copy ${NAME} to $DriverDir."
  ${EndIf}
  DetailPrint "Copied ${NAME} to $DriverDir"
!macroend

!macro NrvDeleteDriverFile NAME
  Delete "$DriverDir\${NAME}"
!macroend

; ---------------------------------------------------------------------------
; Stops with exit code 2 and says why: a message box in an interactive run,
; a line on the standard error handle in a silent one.

!macro NrvFail TEXT
  Push "${TEXT}"
  Call ${__NRV_UN}NrvFail
!macroend

!macro NrvFailFunction UN
  Function ${UN}NrvFail
    Exch $0
    ${If} ${Silent}
      StrCpy $0 "$0$\r$\n"
      StrLen $1 $0
      System::Call "kernel32::GetStdHandle(i -12) p .r2"
      System::Call "kernel32::WriteFile(p r2, m r0, i r1, *i .r3, p 0)"
    ${Else}
      MessageBox MB_OK|MB_ICONSTOP "$0"
    ${EndIf}
    SetErrorLevel 2
    Quit
  FunctionEnd
!macroend

; ---------------------------------------------------------------------------
; Which library: the NT family (platform identifier 2 in the version that
; Windows reports) takes NRVPNP.dll, Windows 95, 98 and Me (identifier 1)
; take NRVKSYS.dll. Sets $IsNt, $Library, $DriverSource and $DriverDir.

!macro NrvChooseLibraryFunction UN
  Function ${UN}NrvChooseLibrary
    ; OSVERSIONINFOA: size 148, major, minor, build, platform, 128 chars.
    System::Call "*(i 148, i, i, i, i, &m128) p .r0"
    System::Call "kernel32::GetVersionExA(p r0) i .r1"
    System::Call "*$0(i, i .r2, i .r3, i, i .r4)"
    System::Free $0
    ${If} $1 = 0
      StrCpy $4 0
    ${EndIf}
    ${If} $4 = 2
      StrCpy $IsNt 1
      StrCpy $Library "NRVPNP.dll"
      StrCpy $DriverSource "$EXEDIR\drivers\nt"
    ${ElseIf} $4 = 1
      StrCpy $IsNt 0
      StrCpy $Library "NRVKSYS.dll"
      StrCpy $DriverSource "$EXEDIR\drivers\9x"
    ${Else}
      !insertmacro NrvFail "The ${PRINTER} needs Windows 95, 98, Me or the Windows NT family (this system reports platform $4)."
    ${EndIf}
    DetailPrint "Windows $2.$3, platform $4: $Library"

    ; The spooler's own driver directory for this system: on the NT family
    ; %SystemRoot%\system32\spool\drivers\w32x86, the folder from which the
    ; NT library copies the files into its version directory 2; on Windows
    ; 95, 98 and Me the system folder, where the spooler looks for the files
    ; that the 9x library registers.
    System::Call "winspool.drv::GetPrinterDriverDirectoryA(p 0, p 0, i 1, m .r0, i ${NSIS_MAX_STRLEN}, *i .r1) i .r2"
    ${If} $2 = 0
      !insertmacro NrvFail "Setup could not ask the print spooler for its driver directory."
    ${EndIf}
    StrCpy $DriverDir $0
  FunctionEnd
!macroend

; ---------------------------------------------------------------------------
; Loading and calling. The library is loaded from this program's temporary
; folder ($PLUGINSDIR) with LoadLibraryA, the export is found by its name
; with GetProcAddress and called through its address. CreatePrinter and
; UninstallPrinter are standard-call functions of three 32-bit arguments,
; which they never read; System::Call's default convention is the standard
; call.

!macro NrvLoadLibraryFunction UN
  Function ${UN}NrvLoadLibrary
    System::Call "kernel32::LoadLibraryA(m '$PLUGINSDIR\$Library') p .r0 ?e"
    Pop $1
    StrCpy $Module $0
    ${If} $Module = 0
      !insertmacro NrvFail "Setup could not load $PLUGINSDIR\$Library (error $1). Nothing has been changed."
    ${EndIf}
  FunctionEnd

  ; Finds the export named on the stack; sets $Export.
  Function ${UN}NrvFindExport
    Exch $0
    System::Call "kernel32::GetProcAddress(p $Module, m r0) p .r1"
    StrCpy $Export $1
    ${If} $Export = 0
      !insertmacro NrvFail "$Library has no export $0. Nothing has been changed."
    ${EndIf}
    Pop $0
  FunctionEnd
!macroend

!define __NRV_UN ""
!insertmacro NrvFailFunction ""
!insertmacro NrvChooseLibraryFunction ""
!insertmacro NrvLoadLibraryFunction ""
!undef __NRV_UN
!define __NRV_UN "un."
!insertmacro NrvFailFunction "un."
!insertmacro NrvChooseLibraryFunction "un."
!insertmacro NrvLoadLibraryFunction "un."
!undef __NRV_UN
!define __NRV_UN ""

; ---------------------------------------------------------------------------
; Install.

Function .onInit
  Call NrvChooseLibrary
  ; Every driver file must be in the package before anything is changed.
  StrCpy $Missing ""
  !insertmacro NrvDriverFiles NrvNoteMissing
  ${If} $Missing != ""
    !insertmacro NrvFail "The driver files are missing from this package: $DriverSource lacks$Missing. Nothing has been changed."
  ${EndIf}
FunctionEnd

Section "Install"
  ; The library, and on the NT family dacl.exe, into the temporary folder.
  InitPluginsDir
  ${If} $IsNt = 1
    File "/oname=$PLUGINSDIR\NRVPNP.dll" "${NRVPNP_DLL}"
    File "/oname=$PLUGINSDIR\dacl.exe" "${DACL_EXE}"
  ${Else}
    File "/oname=$PLUGINSDIR\NRVKSYS.dll" "${NRVKSYS_DLL}"
  ${EndIf}
  Call NrvLoadLibrary
  Push CreatePrinter
  Call NrvFindExport

  ; The driver files go where the library expects them, before it runs.
  CreateDirectory "$DriverDir"
  !insertmacro NrvDriverFiles NrvCopyDriverFile

  ; The NT library starts "dacl.exe" by its bare name, so Windows' program
  ; search decides which file runs: the folder of this program, then the
  ; current folder, then the system folders and PATH. The temporary folder
  ; becomes the current folder for the call, so that the copy unpacked
  ; there is the one found. (Shipping dacl.exe beside the installer works
  ; as well.) The 9x library starts nothing.
  SetOutPath "$PLUGINSDIR"
  DetailPrint "Calling CreatePrinter of $Library"
  System::Call "::$Export(i 0, i 0, i 0) i .r0"
  StrCpy $Result $0
  System::Call "kernel32::FreeLibrary(p $Module)"
  ${If} $Result <> 1
    !insertmacro NrvFail "CreatePrinter of $Library returned $Result instead of 1."
  ${EndIf}
  DetailPrint "CreatePrinter returned 1"

  ; The uninstaller, registered in the usual place.
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRINTER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Norvale"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; ---------------------------------------------------------------------------
; Uninstall. It carries both libraries and loads the one for the system it
; runs on. Run twice, or after the printer has gone some other way, it does
; no harm: UninstallPrinter then finds nothing to remove.

!undef __NRV_UN
!define __NRV_UN "un."

Function un.onInit
  Call un.NrvChooseLibrary
FunctionEnd

Section "Uninstall"
  InitPluginsDir
  ${If} $IsNt = 1
    File "/oname=$PLUGINSDIR\NRVPNP.dll" "${NRVPNP_DLL}"
  ${Else}
    File "/oname=$PLUGINSDIR\NRVKSYS.dll" "${NRVKSYS_DLL}"
  ${EndIf}
  Call un.NrvLoadLibrary
  Push UninstallPrinter
  Call un.NrvFindExport
  DetailPrint "Calling UninstallPrinter of $Library"
  System::Call "::$Export(i 0, i 0, i 0) i .r0"
  StrCpy $Result $0
  System::Call "kernel32::FreeLibrary(p $Module)"
  ${If} $Result <> 0
    !insertmacro NrvFail "UninstallPrinter of $Library returned $Result instead of 0."
  ${EndIf}
  DetailPrint "UninstallPrinter returned 0"

  ; The copies that the installer put into the driver directory. (The NT
  ; library has removed its own copies from the version directory.)
  !insertmacro NrvDriverFiles NrvDeleteDriverFile

  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
