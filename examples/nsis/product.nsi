; A minimal NSIS installer that installs the VPN service and removes it with orvex-uninstall.exe.
; Copy it into your product's installer; the parts that matter are marked "orvex-uninstall".
;
; Build on Linux (Debian's nsis):  examples/nsis/build-installer
; Build on Windows (NSIS 3):       makensis product.nsi
; with orvex-uninstall.exe and orvex-service.exe beside this file (the Windows build is not tested
; by this project, whose test builds with Debian's makensis and runs the result with Wine).
;
; What the tool needs from the installer:
; - It runs elevated, so it is installed into a folder that no ordinary user can write into: the
;   product's folder under Program Files, beside the uninstaller. (An MSI carries it in its Binary
;   table; an NSIS uninstaller extracts its files into the user's temporary folder, which the
;   tool must never run from.)
; - The uninstaller runs it before it removes anything, and reads its status: 0 lets the uninstall
;   go on; 75 (a repair holds the gate) and any other status (the tool's report names the failed
;   step) end the uninstall with the product still installed, so that it can be retried. A silent
;   uninstall (/S) then exits with 75 or 1.
; - The tool itself stops and deletes the service, holding the repair gate while it does; so the
;   uninstaller neither stops the service nor deletes it.
; - The service's folders are created locked: owned by Builtin Administrators, with a protected
;   DACL (LocalSystem and Builtin Administrators, full access, inherited by what is inside them,
;   nothing inherited from ProgramData, under which every user may create files and folders).
;   The service runs as LocalSystem from bin\: in a folder that an ordinary user can write into,
;   they could plant a DLL beside it, or a lock file of theirs that keeps every uninstall busy.

Unicode true
Target amd64-unicode ; a 64-bit installer: 64-bit Program Files, registry and System32
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh

; The security of the service's folders: the tool applies the same descriptor to them.
!define InstallDirSddl "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"

; SECURITY_ATTRIBUTES {nLength, lpSecurityDescriptor, bInheritHandle} holding the descriptor in $1.
!if ${NSIS_PTR_SIZE} > 4
  !define SecurityAttributes "i 24, i 0, p r1, i 0, i 0" ; padded as a 64-bit compiler lays it out
!else
  !define SecurityAttributes "i 12, p r1, i 0"
!endif

!define ServiceName "orvex_vpn_service"
!define ServiceKey "SYSTEM\CurrentControlSet\Services\${ServiceName}"
!define UninstallKey "Software\Microsoft\Windows\CurrentVersion\Uninstall\OrvexVPN"

; The program that the uninstaller runs, and the arguments in front of the tool's own. The product
; runs the tool itself with no argument in front. (The project's test build puts a test launcher
; here, which runs the tool with emulated file ownership under Wine.) ToolBinary names a file
; beside this script; it is installed under its own name.
!ifndef ToolBinary
  !define ToolBinary "orvex-uninstall.exe"
!endif
!ifndef ToolCommand
  !define ToolCommand ""
!endif
; Test build only: the arguments of the test's stand-in service.
!ifdef ServiceArguments
  !define ServiceCommand '\"$APPDATA\orvex-service\bin\orvex-service.exe\" ${ServiceArguments}'
!else
  !define ServiceCommand '\"$APPDATA\orvex-service\bin\orvex-service.exe\"'
!endif
!ifndef OutFile
  !define OutFile "orvex-setup.exe"
!endif

Name "Orvex VPN"
OutFile "${OutFile}"
InstallDir "$PROGRAMFILES64\Orvex VPN"
ShowInstDetails show
ShowUninstDetails show

; No directory page: the tool runs elevated from this folder, so it must be one that ordinary
; users cannot write into (a new folder under C:\, for one, inherits their right to modify it).
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  StrCpy $INSTDIR "$PROGRAMFILES64\Orvex VPN" ; ignores /D=, for the same reason
FunctionEnd

; orvex-uninstall: makes the folder on the stack locked, with InstallDirSddl as its security
; descriptor from the moment it exists (CreateDirectoryW with that descriptor), and leaves on the
; stack a handle to it, opened as the folder itself (not through a link) and shared for reading and
; writing but not for deletion: while it is held, nobody can rename the folder or put a link in its
; place, so the paths below it name what was checked. A folder that exists already is taken only
; if it is an earlier installation's: an ordinary folder owned by Builtin Administrators or
; LocalSystem (the tool never deletes the repair gate, so bin\ stays). One that an ordinary user
; created first is theirs, whatever its DACL says later, and is refused: the service must never
; run from it. A folder that is taken gets the DACL again on that handle (SetKernelObjectSecurity
; changes the folder only, not what is inside it).
Function LockedFolder
  Exch $0 ; the folder
  Push $1 ; the security descriptor
  Push $2 ; SECURITY_ATTRIBUTES, then the file information, then the owner
  Push $3 ; a result
  Push $4 ; the last error
  Push $5 ; the folder's handle
  Push $6 ; 1 if the folder existed
  Push $7 ; the owner's security descriptor
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${InstallDirSddl}", i 1, *p .r1, p 0) i .r3 ?e'
  Pop $4
  ${If} $3 = 0
    SetErrorLevel 1
    Abort "Could not convert the folder descriptor (Windows error $4)."
  ${EndIf}
  System::Call '*(${SecurityAttributes}) p .r2'
  System::Call 'kernel32::CreateDirectoryW(w r0, p r2) i .r3 ?e'
  Pop $4
  System::Free $2
  StrCpy $6 0
  ${If} $3 = 0
    ${If} $4 <> 183 ; ERROR_ALREADY_EXISTS
      SetErrorLevel 1
      Abort "Could not create $0 (Windows error $4)."
    ${EndIf}
    StrCpy $6 1
  ${EndIf}
  ; READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, sharing reading and writing, the folder itself
  ; (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT).
  System::Call 'kernel32::CreateFileW(w r0, i 0x60080, i 3, p 0, i 3, i 0x02200000, p 0) p .r5 ?e'
  Pop $4
  ${If} $5 P= -1 ; INVALID_HANDLE_VALUE, compared as a pointer
    SetErrorLevel 1
    Abort "Could not open $0 (Windows error $4); an administrator must remove it."
  ${EndIf}
  System::Call '*(&i52) p .r2' ; BY_HANDLE_FILE_INFORMATION, its attributes first
  System::Call 'kernel32::GetFileInformationByHandle(p r5, p r2) i .r3 ?e'
  Pop $4
  System::Call '*$2(i .r7)'
  System::Free $2
  IntOp $7 $7 & 0x410 ; FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT
  ${If} $3 = 0
  ${OrIf} $7 <> 0x10
    SetErrorLevel 1
    Abort "Could not lock $0: it is not an ordinary folder; an administrator must remove it."
  ${EndIf}
  ${If} $6 = 1
    ; OWNER_SECURITY_INFORMATION of SE_FILE_OBJECT, read on the handle.
    System::Call 'advapi32::GetSecurityInfo(p r5, i 1, i 1, *p .r2, p 0, p 0, p 0, *p .r7) i .r4'
    ${If} $4 <> 0
      SetErrorLevel 1
      Abort "Could not read the owner of $0 (Windows error $4)."
    ${EndIf}
    System::Call 'advapi32::IsWellKnownSid(p r2, i 26) i .r3' ; WinBuiltinAdministratorsSid
    ${If} $3 = 0
      System::Call 'advapi32::IsWellKnownSid(p r2, i 22) i .r3' ; WinLocalSystemSid
    ${EndIf}
    System::Call 'kernel32::LocalFree(p r7)'
    ${If} $3 = 0
      SetErrorLevel 1
      Abort "Could not lock $0: it was created by another user; an administrator must remove it."
    ${EndIf}
    ; DACL_SECURITY_INFORMATION; the descriptor's P keeps out what ProgramData would pass on.
    System::Call 'advapi32::SetKernelObjectSecurity(p r5, i 4, p r1) i .r3 ?e'
    Pop $4
    ${If} $3 = 0
      SetErrorLevel 1
      Abort "Could not lock $0 (Windows error $4); an administrator must remove it."
    ${EndIf}
  ${EndIf}
  System::Call 'kernel32::LocalFree(p r1)'
  DetailPrint "Locked $0"
  StrCpy $0 $5
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0 ; the handle
FunctionEnd

; orvex-uninstall: an earlier installation leaves nothing in bin\ but the repair gate (its
; uninstall removed the executable), and an installation stopped halfway may leave the executable.
; Anything else there, or either of them as a link or a folder, means the folder is not what its
; owner suggests (one moved into place keeps its owner and what it holds): a DLL beside the
; service would run as LocalSystem. Checked once the DACL is set again, when no one else can add
; an entry.
Function OnlyInstallationFiles
  Exch $0 ; the folder
  Push $1 ; the search
  Push $2 ; an entry's name
  Push $3 ; its attributes
  FindFirst $1 $2 "$0\*"
  ${DoWhile} $2 != ""
    ${If} $2 != "."
    ${AndIf} $2 != ".."
      System::Call 'kernel32::GetFileAttributesW(w "$0\$2") i .r3'
      IntOp $3 $3 & 0x410 ; FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT
      ${If} $2 != ".repair.lock"
      ${AndIf} $2 != "orvex-service.exe"
        StrCpy $3 1
      ${EndIf}
      ${If} $3 <> 0
        FindClose $1
        SetErrorLevel 1
        Abort "Could not use $0: it holds $2, which no earlier installation leaves; an administrator must remove it."
      ${EndIf}
    ${EndIf}
    FindNext $1 $2
  ${Loop}
  FindClose $1
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

Section "Orvex VPN"
  SetShellVarContext all ; $APPDATA is then the machine's ProgramData folder
  SetRegView 64
  ClearErrors
  ReadRegStr $0 HKLM "${ServiceKey}" "ImagePath"
  ${IfNot} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "Orvex VPN is already installed; uninstall it first." /SD IDOK
    SetErrorLevel 1
    Abort "Orvex VPN is already installed; uninstall it first."
  ${EndIf}

  ; orvex-uninstall: both folders locked before any file goes into them, the parent first, and
  ; held as themselves until the service that runs from them is registered.
  Push "$APPDATA\orvex-service"
  Call LockedFolder
  Pop $R8
  Push "$APPDATA\orvex-service\bin"
  Call LockedFolder
  Pop $R9
  Push "$APPDATA\orvex-service\bin"
  Call OnlyInstallationFiles
  ; An executable left by a stopped installation is replaced by a new file, never reused: `File`
  ; would keep the old file's owner and DACL.
  ClearErrors
  Delete "$APPDATA\orvex-service\bin\orvex-service.exe"
  ${If} ${Errors}
    SetErrorLevel 1
    Abort "Could not replace the VPN service's executable; an administrator must remove it."
  ${EndIf}
  SetOutPath "$APPDATA\orvex-service\bin"
  File "orvex-service.exe"

  ; orvex-uninstall: the tool, where only administrators can write.
  SetOutPath "$INSTDIR"
  File "${ToolBinary}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UninstallKey}" "DisplayName" "Orvex VPN"
  WriteRegStr HKLM "${UninstallKey}" "Publisher" "Orvex"
  WriteRegStr HKLM "${UninstallKey}" "DisplayVersion" "1.0.0"
  WriteRegStr HKLM "${UninstallKey}" "InstallLocation" "$INSTDIR"
  ; With _?=, the uninstaller runs as itself and its caller (Programs and Features, a deployment
  ; tool) waits for it and gets its status; without, it starts a copy of itself in the temporary
  ; folder and exits 0 at once, and a refusal (75, 1) never reaches the caller.
  WriteRegStr HKLM "${UninstallKey}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
  WriteRegStr HKLM "${UninstallKey}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UninstallKey}" "NoModify" 1
  WriteRegDWORD HKLM "${UninstallKey}" "NoRepair" 1

  ; The service, as LocalSystem, started at install. The tool stops and deletes it on uninstall.
  nsExec::ExecToLog '"$SYSDIR\sc.exe" create ${ServiceName} binPath= "${ServiceCommand}" type= own start= auto error= normal obj= LocalSystem DisplayName= "Orvex VPN service"'
  Pop $0
  ${If} $0 != 0
    SetErrorLevel 1
    Abort "Could not register the VPN service (sc create: $0)."
  ${EndIf}
  nsExec::ExecToLog '"$SYSDIR\sc.exe" start ${ServiceName}'
  Pop $0
  ${If} $0 != 0
    SetErrorLevel 1
    Abort "Could not start the VPN service (sc start: $0)."
  ${EndIf}
  System::Call 'kernel32::CloseHandle(p R9)'
  System::Call 'kernel32::CloseHandle(p R8)'
SectionEnd

; The uninstaller acts on the product's folder only, wherever it was started from and whatever
; _?= says: it runs elevated, and a folder of a user's choosing would make it run that user's
; program as the administrator.
Function un.onInit
  StrCpy $INSTDIR "$PROGRAMFILES64\Orvex VPN"
FunctionEnd

; Shows each line of the text on the stack in the details view.
Function un.DetailLines
  Exch $0 ; what is left of the text
  Push $1 ; the line so far
  Push $2 ; the next character
  StrCpy $1 ""
  ${Do}
    StrCpy $2 $0 1
    StrCpy $0 $0 "" 1
    ${If} $2 == "$\n"
      DetailPrint "$1"
      StrCpy $1 ""
    ${ElseIf} $2 == ""
      ${If} $1 != ""
        DetailPrint "$1"
      ${EndIf}
    ${ElseIf} $2 != "$\r"
      StrCpy $1 "$1$2"
    ${EndIf}
  ${LoopUntil} $2 == ""
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 64

  ; orvex-uninstall: run only while the service is installed (every service has an ImagePath). An
  ; uninstall that failed after the tool had deleted the service is retried without the tool,
  ; which would only fail again (the service no longer exists), and removes the files.
  ClearErrors
  ReadRegStr $0 HKLM "${ServiceKey}" "ImagePath"
  ${If} ${Errors}
    DetailPrint "The VPN service is not installed; removing the files only."
  ${Else}
    DetailPrint "Removing the VPN service (orvex-uninstall)"
    ; Its one line (the result, the busy line or the error report) to the details view. The
    ; output is kept up to NSIS_MAX_STRLEN characters (1024 in Debian's and the standard build).
    nsExec::ExecToStack '"$INSTDIR\${ToolBinary}" ${ToolCommand}'
    Pop $0 ; the status, or "error" when it could not be started
    Pop $1 ; standard output and error
    Push $1
    Call un.DetailLines
    ${If} $0 != 0
      ; Kept beside the tool for a silent caller; the product stays installed, and so does this.
      FileOpen $2 "$INSTDIR\orvex-uninstall.log" w
      FileWrite $2 "orvex-uninstall exited with status $0$\r$\n$1"
      FileClose $2
    ${EndIf}
    ${If} $0 == 75
      DetailPrint "A repair of the VPN service is in progress; try again when it has finished."
      MessageBox MB_OK|MB_ICONEXCLAMATION "A repair of the VPN service is in progress; try again when it has finished." /SD IDOK
      SetErrorLevel 75
      Abort "Uninstall not done: a repair of the VPN service is in progress."
    ${ElseIf} $0 != 0
      MessageBox MB_OK|MB_ICONSTOP "The VPN service could not be removed (orvex-uninstall status $0); Orvex VPN stays installed.$\r$\n$\r$\n$1" /SD IDOK
      SetErrorLevel 1
      Abort "Uninstall not done: orvex-uninstall exited with status $0."
    ${EndIf}
  ${EndIf}

  ; The tool has removed the service's executable; this covers a retried uninstall. The folders
  ; go only if empty (the tool keeps the repair gate in bin\, as Windows Installer would).
  ; Only where both are folders and not links that a user put where they were (after an
  ; uninstall that removed them): an administrator's deletion must not reach through a link.
  System::Call 'kernel32::GetFileAttributesW(w "$APPDATA\orvex-service") i .r0'
  System::Call 'kernel32::GetFileAttributesW(w "$APPDATA\orvex-service\bin") i .r1'
  IntOp $0 $0 | $1
  IntOp $0 $0 & 0x400 ; FILE_ATTRIBUTE_REPARSE_POINT, or either missing (INVALID_FILE_ATTRIBUTES)
  ${If} $0 = 0
    Delete "$APPDATA\orvex-service\bin\orvex-service.exe"
    RMDir "$APPDATA\orvex-service\bin"
    RMDir "$APPDATA\orvex-service"
  ${EndIf}
  Delete "$INSTDIR\${ToolBinary}"
  Delete "$INSTDIR\orvex-uninstall.log"
  ; An uninstaller run with _?= is still running from its folder: both go at the next restart. It
  ; is renamed first (a running program can be), so that the deletion then cannot meet the
  ; uninstaller of an installation made in between.
  GetTempFileName $0 "$INSTDIR"
  Delete $0
  ClearErrors
  Rename "$INSTDIR\uninstall.exe" $0
  ${If} ${Errors}
    StrCpy $0 "$INSTDIR\uninstall.exe"
  ${EndIf}
  Delete /REBOOTOK $0
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UninstallKey}"
SectionEnd
