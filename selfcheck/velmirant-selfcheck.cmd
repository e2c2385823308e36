@echo off
rem Self-check of velmirant-cleanup, for a test machine: seeds the vendor's leftovers and neighbours
rem that must survive, starts stand-ins for the vendor's programs, runs the tool beside this script
rem for real, checks its report and what is left, and removes what it made.
rem
rem   velmirant-selfcheck.cmd [/yes] [/keep] [/user-only] [RESULT_FOLDER]
rem   velmirant-selfcheck.cmd /cleanup [RESULT_FOLDER]
rem
rem Elevated, it runs the tool twice, each time against freshly seeded leftovers: once elevated,
rem once with a standard user's token made from this one. Not elevated, it runs it once, as this
rem user. /user-only leaves out the elevated run. /yes: no question before seeding. /keep: a failed
rem run's state stays for a look (/cleanup removes it later). Options come in any order; the report
rem and the result go to RESULT_FOLDER (default: "results" beside this script; a relative one is
rem taken from this script's folder). Exit code 0: passed; 1: failed; 2: passed, but what the check
rem made could not all be removed.
setlocal EnableExtensions DisableDelayedExpansion
rem Exit codes are read with "if": Wine's cmd runs both sides of && and ||. They are read right
rem after their command, since in a .cmd script a successful SET resets them. Paths reach
rem subroutines by the name of the variable that holds them (read there with CALL SET, which
rem expands the value once and leaves it alone): CALL would double a "^" and expand a "%" in a
rem value given as an argument. No FOR /F runs a command (its child cmd would run an AutoRun
rem first); the helper's output is read from a file.

set "KIT=%~dp0"
set "TOOL=%KIT%velmirant-cleanup.exe"
set "HELPER=%KIT%velmirant-selfcheck-helper.exe"
set "YES=0"
set "KEEP=0"
set "USER_ONLY=0"
set "CLEANUP_ONLY=0"
set "OUT="
setlocal EnableDelayedExpansion
set "DOUBLE_CLICK=0"
rem Explorer starts a double-clicked script as cmd /c ""PATH" ": pause before that window closes.
rem (cmd /c with the script's name is all that can be told apart safely; a caller that gives /yes
rem gets no pause, and one whose input is not a console passes it at once.)
if /i not "!CMDCMDLINE:/c=!"=="!CMDCMDLINE!" if /i not "!CMDCMDLINE:%~nx0=!"=="!CMDCMDLINE!" set "DOUBLE_CLICK=1"
endlocal & set "DOUBLE_CLICK=%DOUBLE_CLICK%"

:options
if "%~1"=="" goto :options_done
if /i "%~1"=="/yes" (set "YES=1" & shift & goto :options)
if /i "%~1"=="/keep" (set "KEEP=1" & shift & goto :options)
if /i "%~1"=="/user-only" (set "USER_ONLY=1" & shift & goto :options)
if /i "%~1"=="/cleanup" (set "CLEANUP_ONLY=1" & shift & goto :options)
if defined OUT (echo Unknown argument: "%~1". & set "EXIT=1" & goto :end)
set "OUT=%~1"
shift
goto :options
:options_done

if not exist "%HELPER%" (echo velmirant-selfcheck-helper.exe is not beside this script: unpack the whole zip first. & set "EXIT=1" & goto :end)
if not exist "%TOOL%" (echo velmirant-cleanup.exe is not beside this script: unpack the whole zip first. & set "EXIT=1" & goto :end)
if not defined OUT set "OUT=results"
rem A relative result folder is taken from this script's folder, not from the current one
rem (System32 under "Run as administrator").
pushd "%KIT%"
for %%d in ("%OUT%") do set "OUT=%%~fd"
popd
set "REPORT_ELEVATED=%OUT%\report-elevated.txt"
set "REPORT_USER=%OUT%\report-standard-user.txt"
set "RESULT=%OUT%\result.txt"
set "WORK=%TEMP%\velmirant-selfcheck"

"%HELPER%" system
if "%errorlevel%"=="0" (
  echo This runs as SYSTEM, whose profile a 32-bit and a 64-bit program do not see in the same
  echo place. Run it from a command prompt of a user, elevated or not.
  set "EXIT=1"
  goto :end
)

rem ---- Where things are on this machine -------------------------------------------------------
rem The program folder is the 32-bit program files folder: Program Files (x86) on 64-bit Windows.
set "PF=%ProgramFiles%"
if not "%ProgramFiles(x86)%"=="" set "PF=%ProgramFiles(x86)%"
set "NEIGHBOUR=velmirant-selfcheck-neighbour"
set "VENDOR_USER=%APPDATA%\Velmirant"
set "NEIGHBOUR_USER=%APPDATA%\%NEIGHBOUR%"
set "VENDOR_PF=%PF%\Velmirant"
set "NEIGHBOUR_PF=%PF%\%NEIGHBOUR%"
set "PROBE_PF=%PF%\velmirant-selfcheck-probe"
rem What every seeded tree holds.
set "TREE=settings.json cache\other.bin cache\deep\data.bin cache\deep\deeper\more.bin scanned\held.dat"
set "RUN=HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
set "APPROVED=HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run"
set "MACHINE_RUN=HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Run"

set "ELEVATED=0"
"%HELPER%" elevated
if "%errorlevel%"=="0" set "ELEVATED=1"
rem The machine-wide entry lives in the 32-bit branch, which 32-bit Windows does not have.
set "MACHINE_KEY=0"
"%HELPER%" regstate "%MACHINE_RUN%"
if "%errorlevel%"=="0" set "MACHINE_KEY=1"

set /a PROBLEMS=0
set /a LEFT=0
if "%CLEANUP_ONLY%"=="1" (
  set "RUN_LABEL=clean-up"
  call :clean_up all
  goto :cleaned_up
)

if not exist "%OUT%\" mkdir "%OUT%"
if not exist "%OUT%\" (echo Cannot create the result folder "%OUT%". & set "EXIT=1" & goto :end)
del "%REPORT_ELEVATED%" "%REPORT_USER%" "%RESULT%" 2>nul

echo This runs velmirant-cleanup for real on this machine, for the current user: use it on a test machine only.
if "%ELEVATED%%USER_ONLY%"=="10" (echo It runs the tool twice: elevated, and with a standard user's token made from this one.) else (echo It runs the tool once, as a standard user.)
echo Each run seeds the vendor's leftovers under "%APPDATA%"
if "%ELEVATED%"=="1" echo and under "%PF%" and HKEY_LOCAL_MACHINE,
echo starts stand-ins for the vendor's programs, runs the tool, checks the result and removes what
echo it made. The report and the result go to "%OUT%".
if "%YES%"=="1" goto :confirmed
set "ANSWER="
set /p "ANSWER=Go on? [y/N] "
if /i "%ANSWER%"=="y" goto :confirmed
if /i "%ANSWER%"=="yes" goto :confirmed
echo Nothing was done.
set "EXIT=1"
goto :end
:confirmed

if "%ELEVATED%%USER_ONLY%"=="10" (
  set "RUN_LABEL=elevated"
  set "TOKEN=own"
  set "REPORT=%REPORT_ELEVATED%"
  call :one_run
)
rem The standard user's run: with this process's own token when it is not elevated, else with one
rem made from it, which the helper proves is not elevated.
set "RUN_LABEL=standard user"
set "TOKEN=own"
set "REPORT=%REPORT_USER%"
if "%ELEVATED%"=="0" goto :user_run
set "TOKEN=made"
"%HELPER%" asuser probe > "%OUT%\token.txt"
if "%errorlevel%"=="0" goto :user_run
set "WHY=unknown"
for /f "usebackq delims=" %%w in ("%OUT%\token.txt") do set "WHY=%%w"
set "msg=standard-user run: not possible here: %WHY%"
call :say
set "msg=The verdict below covers the elevated run only."
if "%USER_ONLY%"=="1" set "msg=Nothing was checked."
call :say
if "%USER_ONLY%"=="1" set /a PROBLEMS+=1
goto :verdict
:user_run
call :one_run
:verdict
del "%OUT%\token.txt" 2>nul
if %PROBLEMS%==0 (set "msg=SELF-CHECK PASSED") else (set "msg=SELF-CHECK FAILED: %PROBLEMS% problems")
call :say
if %LEFT% GTR 0 (set "msg=CLEAN-UP INCOMPLETE: %LEFT% things the self-check made are still there (see above)" & call :say)
set "EXIT=0"
if %LEFT% GTR 0 set "EXIT=2"
if %PROBLEMS% GTR 0 set "EXIT=1"
echo The reports and this result are in "%OUT%".
goto :end

:cleaned_up
set "EXIT=0"
if %LEFT% GTR 0 set "EXIT=2"
if %LEFT%==0 echo Everything a kept run made is removed.
goto :end

rem ---- One run: seed, start the stand-ins, run the tool, check, clean up -------------------------
:one_run
set /a RUN_PROBLEMS=0
set "RECORD=%OUT%\seeded-%RUN_LABEL: =-%.txt"
del "%RECORD%" 2>nul
if exist "%WORK%\" rmdir /s /q "%WORK%"
mkdir "%WORK%"
set "SEED_MACHINE=0"
if "%ELEVATED%%MACHINE_KEY%"=="11" set "SEED_MACHINE=1"
set "msg=Seeding the per-user leftovers"
if "%ELEVATED%"=="1" set "msg=Seeding the per-user and the machine-wide leftovers"
call :say_run

call :seed_folder VENDOR_USER
call :seed_folder NEIGHBOUR_USER
if "%ELEVATED%"=="1" (
  call :seed_folder VENDOR_PF
  call :seed_folder NEIGHBOUR_PF
  call :seed_folder PROBE_PF
)
rem A junction inside the vendor folder into the neighbour (junctions need no administrator's
rem rights): the neighbour must survive whole. FAT, and Wine, make none.
set "JUNCTION=0"
mklink /J "%VENDOR_USER%\link-to-neighbour" "%NEIGHBOUR_USER%\cache" >nul 2>&1
if exist "%VENDOR_USER%\link-to-neighbour\deep\data.bin" set "JUNCTION=1"
if "%JUNCTION%"=="0" (set "msg=Note: no junction could be made inside the vendor folder here (mklink /J failed); that point is not checked." & call :say_run)

call :seed_value "%RUN%" velmirant.software.autoupdate sz "C:\Velmirant\autoupdate.exe"
call :seed_value "%RUN%" velmirant.software.vexdesktop sz "C:\Velmirant\vexdesktop.exe"
call :seed_value "%RUN%" %NEIGHBOUR% sz "C:\Neighbour\neighbour.exe"
call :seed_value "%APPROVED%" velmirant.software.autoupdate binary 020000000000000000000000
call :seed_value "%APPROVED%" velmirant.software.vexdesktop binary 020000000000000000000000
call :seed_value "%APPROVED%" %NEIGHBOUR% binary 020000000000000000000000
call :seed_value "HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmirantInstall" DisplayName sz Velmirant
call :seed_value "HKCU\Software\Google\Chrome\NativeMessagingHosts\vexpp_nm" "" sz "C:\Velmirant\vexpp.json"
call :seed_value "HKCU\Software\Mozilla\NativeMessagingHosts\vexpp_nm" "" sz "C:\Velmirant\vexpp.json"
call :seed_value "HKCU\Software\Velmirant" Version sz 1.0
call :seed_value "HKCU\Software\Velmirant\distribution" Channel sz stable
call :seed_value "HKCU\Software\Velmirant\vexpp" Enabled dword 1
rem A subkey the tool does not list: the vendor key must stay (5), with it.
call :seed_value "HKCU\Software\Velmirant\unlisted" Kept sz yes
call :seed_value "HKCU\AppEvents\Schemes\Apps\vexdesktop" "" sz Velmirant
call :seed_value "HKCU\Software\%NEIGHBOUR%" Version sz 1.0
if "%SEED_MACHINE%"=="1" (
  call :seed_value "%MACHINE_RUN%" velmirant-panelino-distribuce sz "C:\Velmirant\distribuce.exe"
  call :seed_value "%MACHINE_RUN%" %NEIGHBOUR% sz "C:\Neighbour\neighbour.exe"
)

rem What this run's token may do where a standard user may not: probed with that token.
call :expected_codes

rem Stand-ins for the vendor's programs, started with this run's token (one matches by the
rem "panelino" fragment only), a neighbour that must keep running, and a scanner that holds a file
rem in the vendor folder with delete sharing until it sees the file's deletion pending.
for %%p in (vexdesktop.exe vexpp.exe toolbar-panelino-host.exe vexdesktop-neighbour.exe) do call :start_program %%p
copy /y "%HELPER%" "%WORK%\scanner.exe" >nul
start "" /b "%WORK%\scanner.exe" scan "%VENDOR_USER%\scanned\held.dat" "%WORK%\scanner.lock" "%REPORT%"
"%HELPER%" ready "%WORK%\scanner.lock"
if not "%errorlevel%"=="0" call :problem "the stand-in scanner did not start"

rem ---- The run ----
if "%TOKEN%"=="made" (
  "%HELPER%" asuser run "%REPORT%" "%TOOL%"
) else (
  "%TOOL%" > "%REPORT%"
)
set "EXIT_CODE=%errorlevel%"

rem ---- What the tool must have done ----
if not "%EXIT_CODE%"=="0" call :problem "the tool's exit code is %EXIT_CODE%, not 0"
call :check_report
for %%p in (vexdesktop.exe vexpp.exe toolbar-panelino-host.exe) do call :check_ended %%p
"%HELPER%" ready "%WORK%\vexdesktop-neighbour.exe.lock"
if not "%errorlevel%"=="0" call :problem "the neighbour program vexdesktop-neighbour.exe is no longer running"
"%HELPER%" gone "%WORK%\scanner.lock"
if not "%errorlevel%"=="0" call :problem "the stand-in scanner never saw its file's deletion"
if "%FOLDER_GONE%%MARKS%"=="10" (set "msg=The scanned file went at once (deletion with POSIX semantics)." & call :say_run)
if "%FOLDER_GONE%"=="1" if not "%MARKS%"=="0" (set "msg=The scanned file went after %MARKS% failed attempt(s), marked !: the classic deletion waited for the scanner." & call :say_run)

call :check_gone VENDOR_USER
call :check_tree NEIGHBOUR_USER
if "%ELEVATED%"=="1" call :check_tree NEIGHBOUR_PF
if "%PF_CODE%"=="0" call :check_gone VENDOR_PF
if "%PF_CODE%"=="5" call :check_tree VENDOR_PF
call :check_registry gone "%RUN%" velmirant.software.autoupdate
call :check_registry gone "%RUN%" velmirant.software.vexdesktop
call :check_registry gone "%APPROVED%" velmirant.software.autoupdate
call :check_registry gone "%APPROVED%" velmirant.software.vexdesktop
call :check_registry gone "HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmirantInstall"
call :check_registry gone "HKCU\Software\Google\Chrome\NativeMessagingHosts\vexpp_nm"
call :check_registry gone "HKCU\Software\Mozilla\NativeMessagingHosts\vexpp_nm"
call :check_registry gone "HKCU\Software\Velmirant\distribution"
call :check_registry gone "HKCU\Software\Velmirant\vexpp"
call :check_registry kept "HKCU\Software\Velmirant\unlisted"
call :check_registry gone "HKCU\AppEvents\Schemes\Apps\vexdesktop"
if "%SEED_MACHINE%%MACHINE_CODE%"=="10" call :check_registry gone "%MACHINE_RUN%" velmirant-panelino-distribuce
if "%SEED_MACHINE%%MACHINE_CODE%"=="15" call :check_registry kept "%MACHINE_RUN%" velmirant-panelino-distribuce
call :check_registry kept "%RUN%" %NEIGHBOUR%
call :check_registry kept "%APPROVED%" %NEIGHBOUR%
call :check_registry kept "HKCU\Software\%NEIGHBOUR%"
if "%SEED_MACHINE%"=="1" call :check_registry kept "%MACHINE_RUN%" %NEIGHBOUR%

if %RUN_PROBLEMS%==0 (set "msg=passed" & call :say_run)
if not %RUN_PROBLEMS%==0 (set "msg=failed: %RUN_PROBLEMS% problems" & call :say_run)
if %RUN_PROBLEMS%==0 goto :clean_up_run
if "%KEEP%"=="0" goto :clean_up_run
set "msg=Kept as it is for a look (/keep). To remove it later, run: velmirant-selfcheck.cmd /cleanup "%OUT%""
call :say_run
call :stop_programs
goto :eof
:clean_up_run
call :clean_up run
goto :eof

rem ---- Clean-up: what the self-check made, and only that ----------------------------------------
rem :clean_up run|all: this run's record, or (/cleanup) every record a kept run left.
:clean_up
call :stop_programs
rmdir /s /q "%WORK%" 2>nul
rem The junction first, so that nothing reaches into the neighbour through it.
rmdir "%VENDOR_USER%\link-to-neighbour" 2>nul
for %%f in (VENDOR_USER NEIGHBOUR_USER) do call :remove_folder %%f
if "%ELEVATED%"=="1" for %%f in (VENDOR_PF NEIGHBOUR_PF PROBE_PF) do call :remove_folder %%f
set "UNSEED=%RECORD%"
if "%~1"=="run" goto :unseed
rem Every record a kept run left.
for %%r in (elevated standard-user) do call :unseed_named seeded-%%r.txt
goto :eof

:unseed_named
set "UNSEED=%OUT%\%1"
goto :unseed

:stop_programs
if not exist "%WORK%\" goto :eof
for %%p in (vexdesktop.exe vexpp.exe toolbar-panelino-host.exe vexdesktop-neighbour.exe scanner) do call :stop_program %%p
goto :eof

rem :unseed: the registry keys and values the record UNSEED names, bottom up, keys only if empty.
:unseed
if not exist "%UNSEED%" goto :eof
"%HELPER%" regunseed "%UNSEED%" > "%OUT%\unseed.txt"
set "CODE=%errorlevel%"
for /f "usebackq delims=" %%l in ("%OUT%\unseed.txt") do (
  set "msg=%%l"
  call :say_run
  set /a LEFT+=1
)
del "%OUT%\unseed.txt" 2>nul
if "%CODE%"=="0" del "%UNSEED%"
goto :eof

rem :remove_folder VARIABLE: the folder the variable names, and a line if it stays.
:remove_folder
call set "DIR=%%%~1%%"
if exist "%DIR%\" rmdir /s /q "%DIR%"
if not exist "%DIR%" goto :eof
set "msg=CLEAN-UP INCOMPLETE: %DIR% is still there"
call :say_run
set /a LEFT+=1
goto :eof

rem ---- Subroutines ----------------------------------------------------------------------------

rem :seed_folder VARIABLE: a small nested tree in the folder the variable names; the vendor's
rem per-user folder also gets the file the scanner holds.
:seed_folder
call set "DIR=%%%~1%%"
mkdir "%DIR%\cache\deep\deeper" 2>nul
mkdir "%DIR%\scanned" 2>nul
> "%DIR%\settings.json" echo {"seeded": "velmirant-selfcheck"}
> "%DIR%\cache\other.bin" echo velmirant-selfcheck
> "%DIR%\cache\deep\data.bin" echo velmirant-selfcheck
> "%DIR%\cache\deep\deeper\more.bin" echo velmirant-selfcheck
> "%DIR%\scanned\held.dat" echo velmirant-selfcheck
> "%DIR%\probe.txt" echo velmirant-selfcheck
set "SEEDED=1"
for %%f in (%TREE%) do if not exist "%DIR%\%%f" set "SEEDED=0"
if "%SEEDED%"=="1" goto :eof
set "msg=could not seed %DIR%"
call :problem_msg
goto :eof

rem :seed_value KEY NAME TYPE DATA (an empty NAME is the key's default value), through the helper:
rem it records what did not exist before, and works where a policy blocks reg.exe.
:seed_value
"%HELPER%" regseed "%RECORD%" %1 %2 %3 %4
if not "%errorlevel%"=="0" call :problem "could not seed %~1 %~2 (the registry refused it to the helper too)"
goto :eof

rem :expected_codes: what the tool's lines for the program folder and the machine-wide entry must
rem carry with this run's token, learned by probes made with that same token: where the token
rem may delete there (an elevated run; Wine, which grants a standard user these writes too), the
rem seeded leftovers go (0); where not, as for a standard user on Windows, they stay (5).
:expected_codes
set "PROBE_FILE_PF=%PROBE_PF%\probe.txt"
set "PF_CODE=0"
set "MACHINE_CODE=2"
if "%MACHINE_KEY%"=="1" (set "PROBE_KEY=%MACHINE_RUN%") else (set "PROBE_KEY=")
if "%ELEVATED%"=="1" call :probe delprobe PROBE_FILE_PF
if "%ELEVATED%"=="1" set "PF_CODE=%PROBE%"
if not "%PF_CODE%"=="0" set "PF_CODE=5"
if "%MACHINE_KEY%"=="0" goto :eof
call :probe regprobe PROBE_KEY
if "%SEED_MACHINE%"=="1" set "MACHINE_CODE=0"
if not "%PROBE%"=="0" set "MACHINE_CODE=5"
goto :eof

rem :probe delprobe|regprobe VARIABLE: PROBE becomes the helper's answer with this run's token.
:probe
call set "TARGET=%%%~2%%"
if "%TOKEN%"=="made" ("%HELPER%" asuser run "%WORK%\probe.out" "%HELPER%" %1 "%TARGET%") else ("%HELPER%" %1 "%TARGET%")
set "PROBE=%errorlevel%"
goto :eof

rem :start_program NAME: a copy of the helper under NAME, holding NAME.lock while it runs, started
rem with this run's token.
:start_program
copy /y "%HELPER%" "%WORK%\%1" >nul
if "%TOKEN%"=="made" ("%HELPER%" asuser start "%WORK%\%1" hold "%WORK%\%1.lock") else (start "" /b "%WORK%\%1" hold "%WORK%\%1.lock")
"%HELPER%" ready "%WORK%\%1.lock"
if not "%errorlevel%"=="0" call :problem "the stand-in %1 did not start"
goto :eof

rem :stop_program NAME: ends the copy if it still runs (its lock file names a stop file).
:stop_program
if not exist "%WORK%\%1.lock" goto :eof
> "%WORK%\%1.lock.stop" echo stop
"%HELPER%" gone "%WORK%\%1.lock" >nul
goto :eof

rem :check_ended NAME: a report line "NAME: TerminateProcess() OK", and the program gone.
:check_ended
set "FOUND=0"
for /f "usebackq delims=" %%l in ("%REPORT%") do if "%%l"=="%1: TerminateProcess() OK" set "FOUND=1"
if "%FOUND%"=="0" call :problem "no report line [%1: TerminateProcess() OK]"
"%HELPER%" gone "%WORK%\%1.lock"
if not "%errorlevel%"=="0" call :problem "the stand-in %1 is still running"
goto :eof

rem :check_report: the report's sections. Process lines up to the first empty line (none may name
rem the neighbour), then exactly the folder and registry lines due. The folder lines are compared
rem by the helper in the code page the report is written in.
:check_report
set "MARKS=0"
set "FOLDER_GONE=0"
set "ROAMING_LINE=%VENDOR_USER% -> 0"
set "ROAMING_LINE=%ROAMING_LINE:\=/%"
set "PROGRAM_LINE=%VENDOR_PF% -> %PF_CODE%"
set "PROGRAM_LINE=%PROGRAM_LINE:\=/%"
set "E3="
set "E4=HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run|velmirant.software.autoupdate -> 0"
set "E5=HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run|velmirant.software.vexdesktop -> 0"
set "E6=HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run|velmirant.software.autoupdate -> 0"
set "E7=HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run|velmirant.software.vexdesktop -> 0"
set "E8=HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmirantInstall -> 0"
set "E9=HKEY_CURRENT_USER\Software\Google\Chrome\NativeMessagingHosts\vexpp_nm -> 0"
set "E10=HKEY_CURRENT_USER\Software\Mozilla\NativeMessagingHosts\vexpp_nm -> 0"
set "E11=HKEY_CURRENT_USER\Software\Velmirant\distribution -> 0"
set "E12=HKEY_CURRENT_USER\Software\Velmirant\vexpp -> 0"
set "E13=HKEY_CURRENT_USER\Software\Velmirant -> 5"
set "E14=HKEY_CURRENT_USER\AppEvents\Schemes\Apps\vexdesktop -> 0"
set "E15=HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Run|velmirant-panelino-distribuce -> %MACHINE_CODE%"
set "SECTION=processes"
set /a INDEX=0
set /a FIRST_FOLDER=0
"%HELPER%" lines "%REPORT%" > "%WORK%\lines.txt"
for /f "usebackq tokens=1* delims=:" %%a in ("%WORK%\lines.txt") do (
  set "NUMBER=%%a"
  set "TEXT=%%b"
  call :report_line
)
if "%SECTION%"=="processes" call :problem "the report has no empty line after the process lines"
if not "%SECTION%"=="processes" if %INDEX% LSS 15 call :problem "the report ends after %INDEX% of the 15 lines due after the process lines"
goto :eof

:report_line
if not "%SECTION%"=="processes" goto :after_processes
if "%TEXT%"=="" (set "SECTION=rest" & goto :eof)
if not "%TEXT:vexdesktop-neighbour.exe=%"=="%TEXT%" call :problem "the report names the neighbour program: [%TEXT%]"
goto :eof
:after_processes
set /a INDEX+=1
if %INDEX% GTR 15 (call :problem "the report has a line more than due: [%TEXT%]" & goto :eof)
rem The per-user folder may need more than one attempt (a scanner holding a file): "!" marks.
if %INDEX%==1 (call :folder_line ROAMING_LINE & goto :eof)
if %INDEX%==2 (call :folder_line PROGRAM_LINE & goto :eof)
call set "WANT=%%E%INDEX%%%"
if not "%TEXT%"=="%WANT%" call :problem "report line [%TEXT%] where [%WANT%] is due"
goto :eof

rem :folder_line VARIABLE: report line NUMBER, without its "!" marks, is the variable's text.
:folder_line
"%HELPER%" folderline "%REPORT%" %NUMBER% %1 > "%WORK%\marks.txt"
set "CODE=%errorlevel%"
set "COUNT=0"
for /f "usebackq delims=" %%m in ("%WORK%\marks.txt") do set "COUNT=%%m"
if %INDEX%==1 set "MARKS=%COUNT%"
if %INDEX%==1 if "%CODE%"=="0" set "FOLDER_GONE=1"
if %INDEX%==2 if not "%COUNT%"=="0" call :problem "the program folder's line has %COUNT% marks; it gets one attempt"
if "%CODE%"=="0" goto :eof
call set "DUE_LINE=%%%~1%%"
set "msg=report line [%TEXT%] where [%DUE_LINE%] is due"
call :problem_msg
goto :eof

rem :check_gone VARIABLE / :check_tree VARIABLE: a seeded folder is gone; every file of a seeded
rem tree that must stay is still there.
:check_gone
call set "DIR=%%%~1%%"
if not exist "%DIR%" goto :eof
set "msg=%DIR% is still there"
call :problem_msg
goto :eof

:check_tree
call set "DIR=%%%~1%%"
for %%f in (%TREE%) do call :check_file %%f
goto :eof

:check_file
if exist "%DIR%\%1" goto :eof
set "msg=%DIR%\%1 is gone, but must stay"
call :problem_msg
goto :eof

rem :check_registry gone|kept KEY [NAME]: a seeded key or value (NAME) is gone, or one that must
rem stay is still there.
:check_registry
set "WHAT=the key %~2"
if not "%~3"=="" set "WHAT=the value %~3 under %~2"
set "DUE=gone"
if "%~1"=="kept" set "DUE=still there"
call :registry_state "%~2" %3
if not "%STATE%"=="%DUE%" call :problem "%WHAT%: %STATE%, but due: %DUE%"
goto :eof

rem :registry_state KEY [NAME]: read by the helper, since reg.exe answers 1 for "not there" and
rem for every failure alike; no answer must neither pass for a deletion nor for a key kept.
:registry_state
"%HELPER%" regstate %*
set "CODE=%errorlevel%"
set "STATE=unknown: the registry gave no answer (%CODE%)"
if "%CODE%"=="0" set "STATE=still there"
if "%CODE%"=="1" set "STATE=gone"
goto :eof

rem :problem TEXT: one failed point of this run, one line.
:problem
set "msg=%~1"
call :problem_msg
goto :eof

:problem_msg
set /a RUN_PROBLEMS+=1
set /a PROBLEMS+=1
set "msg=PROBLEM: %msg%"
call :say_run
goto :eof

rem :say_run: msg with the run it belongs to. :say: msg on the console and in the result file.
rem (FOR /F hands the text on unexpanded, so "|", ">", "&" and "!" in msg are safe.)
:say_run
set "msg=[%RUN_LABEL%] %msg%"
:say
for /f "delims=" %%m in ("%msg%") do (
  echo.%%m
  >> "%RESULT%" echo.%%m
)
goto :eof

:end
rem A double-click never gives /yes; a script or an agent that does gets no pause.
if "%DOUBLE_CLICK%%YES%"=="10" pause
exit /b %EXIT%
