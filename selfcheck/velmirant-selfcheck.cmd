@echo off
rem Self-check of velmirant-cleanup, for a test machine: seeds the vendor's leftovers and neighbours
rem that must survive, starts stand-ins for the vendor's programs, runs the tool beside this script
rem for real, checks its report and what is left, and cleans up after itself.
rem
rem   velmirant-selfcheck.cmd [/user-only] [RESULT_FOLDER]
rem
rem /user-only seeds only what a standard user can, also when run elevated. The report and the
rem result go to RESULT_FOLDER (default: "results" beside this script). Exit code 0: passed; 1: failed.
setlocal EnableExtensions DisableDelayedExpansion
rem Exit codes are read with "if": Wine's cmd runs both sides of && and ||. They are read right
rem after their command, since in a .cmd script a successful SET resets them.
echo This runs velmirant-cleanup for real on this machine, for the current user: use it on a test machine only.

set "KIT=%~dp0"
set "TOOL=%KIT%velmirant-cleanup.exe"
set "HELPER=%KIT%velmirant-selfcheck-helper.exe"
set "USER_ONLY=0"
if /i "%~1"=="/user-only" (set "USER_ONLY=1" & shift)
set "OUT=%~1"
if "%OUT%"=="" set "OUT=%KIT%results"
set "WORK=%TEMP%\velmirant-selfcheck"
set "REPORT=%OUT%\report.txt"
set "RESULT=%OUT%\result.txt"
set /a PROBLEMS=0

if not exist "%TOOL%" (echo velmirant-cleanup.exe is not beside this script. & exit /b 1)
if not exist "%HELPER%" (echo velmirant-selfcheck-helper.exe is not beside this script. & exit /b 1)
if not exist "%OUT%\" mkdir "%OUT%"
if not exist "%OUT%\" (echo Cannot create the result folder "%OUT%". & exit /b 1)
del "%REPORT%" "%RESULT%" 2>nul

rem ---- Where things are on this machine -------------------------------------------------------
rem The program folder is the 32-bit program files folder: Program Files (x86) on 64-bit Windows.
set "PF=%ProgramFiles%"
if not "%ProgramFiles(x86)%"=="" set "PF=%ProgramFiles(x86)%"
set "RUN=HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
set "APPROVED=HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run"
set "MACHINE_RUN=HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Run"
set "NEIGHBOUR=velmirant-selfcheck-neighbour"

set "ELEVATED=0"
"%HELPER%" elevated
if "%errorlevel%"=="0" set "ELEVATED=1"
if "%USER_ONLY%"=="1" set "ELEVATED=0"
rem The machine-wide entry lives in the 32-bit branch, which 32-bit Windows does not have.
set "MACHINE_KEY=0"
"%HELPER%" regstate "%MACHINE_RUN%"
if "%errorlevel%"=="0" set "MACHINE_KEY=1"
set "SEED_MACHINE=0"
if "%ELEVATED%%MACHINE_KEY%"=="11" set "SEED_MACHINE=1"
if "%ELEVATED%"=="1" (set "msg=Elevated: seeding the per-user and the machine-wide leftovers.") else (set "msg=Not elevated: seeding the per-user leftovers only.")
call :say

rem ---- Seeding --------------------------------------------------------------------------------
call :seed_folder "%APPDATA%\Velmirant"
call :seed_folder "%APPDATA%\%NEIGHBOUR%"
if "%ELEVATED%"=="1" (
  call :seed_folder "%PF%\Velmirant"
  call :seed_folder "%PF%\%NEIGHBOUR%"
)
call :seed_value "%RUN%" velmirant.software.autoupdate REG_SZ "C:\Velmirant\autoupdate.exe"
call :seed_value "%RUN%" velmirant.software.vexdesktop REG_SZ "C:\Velmirant\vexdesktop.exe"
call :seed_value "%RUN%" %NEIGHBOUR% REG_SZ "C:\Neighbour\neighbour.exe"
call :seed_value "%APPROVED%" velmirant.software.autoupdate REG_BINARY 020000000000000000000000
call :seed_value "%APPROVED%" velmirant.software.vexdesktop REG_BINARY 020000000000000000000000
call :seed_value "%APPROVED%" %NEIGHBOUR% REG_BINARY 020000000000000000000000
call :seed_value "HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmirantInstall" DisplayName REG_SZ Velmirant
call :seed_value "HKCU\Software\Google\Chrome\NativeMessagingHosts\vexpp_nm" "" REG_SZ "C:\Velmirant\vexpp.json"
call :seed_value "HKCU\Software\Mozilla\NativeMessagingHosts\vexpp_nm" "" REG_SZ "C:\Velmirant\vexpp.json"
call :seed_value "HKCU\Software\Velmirant" Version REG_SZ 1.0
call :seed_value "HKCU\Software\Velmirant\distribution" Channel REG_SZ stable
call :seed_value "HKCU\Software\Velmirant\vexpp" Enabled REG_DWORD 1
call :seed_value "HKCU\AppEvents\Schemes\Apps\vexdesktop" "" REG_SZ Velmirant
call :seed_value "HKCU\Software\%NEIGHBOUR%" Version REG_SZ 1.0
if "%SEED_MACHINE%"=="1" (
  call :seed_value "%MACHINE_RUN%" velmirant-panelino-distribuce REG_SZ "C:\Velmirant\distribuce.exe"
  call :seed_value "%MACHINE_RUN%" %NEIGHBOUR% REG_SZ "C:\Neighbour\neighbour.exe"
)

rem Stand-ins for the vendor's programs (one matches by the "panelino" fragment only) and a
rem neighbour that must keep running. Each holds a lock file while it runs.
if exist "%WORK%\" rmdir /s /q "%WORK%"
mkdir "%WORK%"
for %%p in (vexdesktop.exe vexpp.exe toolbar-panelino-host.exe vexdesktop-neighbour.exe) do call :start_program %%p

rem ---- The run --------------------------------------------------------------------------------
"%TOOL%" > "%REPORT%"
set "EXIT_CODE=%errorlevel%"

rem ---- What the tool must have done -----------------------------------------------------------
if not "%EXIT_CODE%"=="0" call :problem "the tool's exit code is %EXIT_CODE%, not 0"
set "MARKS="
call :check_report
if defined MARKS (set "msg=Note: the per-user folder went only after %MARKS% failed attempts (marked !)." & call :say)
for %%p in (vexdesktop.exe vexpp.exe toolbar-panelino-host.exe) do call :check_ended %%p
"%HELPER%" ready "%WORK%\vexdesktop-neighbour.exe.lock"
if not "%errorlevel%"=="0" call :problem "the neighbour program vexdesktop-neighbour.exe is no longer running"

call :check_gone "%APPDATA%\Velmirant"
call :check_gone "%PF%\Velmirant"
call :check_kept "%APPDATA%\%NEIGHBOUR%\settings.json"
if "%ELEVATED%"=="1" call :check_kept "%PF%\%NEIGHBOUR%\settings.json"
call :check_registry gone "%RUN%" velmirant.software.autoupdate
call :check_registry gone "%RUN%" velmirant.software.vexdesktop
call :check_registry gone "%APPROVED%" velmirant.software.autoupdate
call :check_registry gone "%APPROVED%" velmirant.software.vexdesktop
call :check_registry gone "HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmirantInstall"
call :check_registry gone "HKCU\Software\Google\Chrome\NativeMessagingHosts\vexpp_nm"
call :check_registry gone "HKCU\Software\Mozilla\NativeMessagingHosts\vexpp_nm"
call :check_registry gone "HKCU\Software\Velmirant"
call :check_registry gone "HKCU\AppEvents\Schemes\Apps\vexdesktop"
if "%SEED_MACHINE%"=="1" call :check_registry gone "%MACHINE_RUN%" velmirant-panelino-distribuce
call :check_registry kept "%RUN%" %NEIGHBOUR%
call :check_registry kept "%APPROVED%" %NEIGHBOUR%
call :check_registry kept "HKCU\Software\%NEIGHBOUR%"
if "%SEED_MACHINE%"=="1" call :check_registry kept "%MACHINE_RUN%" %NEIGHBOUR%

if %PROBLEMS%==0 (set "msg=SELF-CHECK PASSED") else (set "msg=SELF-CHECK FAILED: %PROBLEMS% problems")
call :say

rem ---- Clean-up: whatever the self-check made that is still there ------------------------------
for %%p in (vexdesktop.exe vexpp.exe toolbar-panelino-host.exe vexdesktop-neighbour.exe) do call :stop_program %%p
rmdir /s /q "%WORK%" 2>nul
for %%f in ("%APPDATA%\Velmirant" "%APPDATA%\%NEIGHBOUR%") do if exist "%%~f\" rmdir /s /q "%%~f"
if "%ELEVATED%"=="1" for %%f in ("%PF%\Velmirant" "%PF%\%NEIGHBOUR%") do if exist "%%~f\" rmdir /s /q "%%~f"
for %%v in (velmirant.software.autoupdate velmirant.software.vexdesktop %NEIGHBOUR%) do (
  reg delete "%RUN%" /v %%v /f >nul 2>&1
  reg delete "%APPROVED%" /v %%v /f >nul 2>&1
)
for %%k in ("Microsoft\Windows\CurrentVersion\Uninstall\VelmirantInstall" "Google\Chrome\NativeMessagingHosts\vexpp_nm" "Mozilla\NativeMessagingHosts\vexpp_nm" "Velmirant" "%NEIGHBOUR%") do reg delete "HKCU\Software\%%~k" /f >nul 2>&1
reg delete "HKCU\AppEvents\Schemes\Apps\vexdesktop" /f >nul 2>&1
if "%SEED_MACHINE%"=="1" for %%v in (velmirant-panelino-distribuce %NEIGHBOUR%) do reg delete "%MACHINE_RUN%" /v %%v /f >nul 2>&1
echo The report and this result are in "%OUT%".
if %PROBLEMS%==0 exit /b 0
exit /b 1

rem ---- Subroutines ----------------------------------------------------------------------------

rem :seed_folder FOLDER: a small nested tree.
:seed_folder
mkdir "%~1\cache\deep" 2>nul
> "%~1\settings.json" echo {"seeded": "velmirant-selfcheck"}
> "%~1\cache\deep\data.bin" echo velmirant-selfcheck
if not exist "%~1\cache\deep\data.bin" call :problem "could not seed %~1"
goto :eof

rem :seed_value KEY NAME TYPE DATA (an empty NAME is the key's default value)
:seed_value
if "%~2"=="" (reg add "%~1" /ve /t %3 /d "%~4" /f >nul) else (reg add "%~1" /v "%~2" /t %3 /d "%~4" /f >nul)
if errorlevel 1 call :problem "could not seed %~1 %~2"
goto :eof

rem :start_program NAME: a copy of the helper under NAME, holding NAME.lock while it runs.
:start_program
copy /y "%HELPER%" "%WORK%\%1" >nul
start "" /b "%WORK%\%1" hold "%WORK%\%1.lock"
"%HELPER%" ready "%WORK%\%1.lock"
if not "%errorlevel%"=="0" call :problem "the stand-in %1 did not start"
goto :eof

rem :stop_program NAME: ends the copy if it still runs (its lock file names a stop file).
:stop_program
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

rem :check_report: the report's sections. Process lines up to the first empty line (each must
rem name a target; none may name the neighbour), then exactly the folder and registry lines due.
:check_report
set "ROAMING_LINE=%APPDATA%\Velmirant -> 0"
set "PROGRAM_LINE=%PF%\Velmirant -> 0"
set "E1=%ROAMING_LINE:\=/%"
set "E2=%PROGRAM_LINE:\=/%"
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
set "E13=HKEY_CURRENT_USER\Software\Velmirant -> 0"
set "E14=HKEY_CURRENT_USER\AppEvents\Schemes\Apps\vexdesktop -> 0"
call :machine_entry_code
set "E15=HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Run|velmirant-panelino-distribuce -> %MACHINE_CODE%"
set "SECTION=processes"
set /a INDEX=0
for /f "tokens=1* delims=:" %%a in ('^""%HELPER%" lines "%REPORT%"^"') do (
  set "TEXT=%%b"
  call :report_line
)
if "%SECTION%"=="processes" call :problem "the report has no empty line after the process lines"
if not "%SECTION%"=="processes" if %INDEX% LSS 15 call :problem "the report ends after %INDEX% of the 15 lines due after the process lines"
goto :eof

rem :machine_entry_code: what the machine-wide entry's line must carry. Seeded: 0. Not seeded: 2
rem where this user may write to its key (or the key does not exist), else what a standard user
rem gets on Windows, 5.
:machine_entry_code
set "MACHINE_CODE=0"
if "%SEED_MACHINE%"=="1" goto :eof
set "MACHINE_CODE=2"
if "%MACHINE_KEY%"=="0" goto :eof
reg add "%MACHINE_RUN%" /v velmirant-selfcheck-probe /t REG_SZ /d probe /f >nul 2>&1
if errorlevel 1 set "MACHINE_CODE=5"
reg delete "%MACHINE_RUN%" /v velmirant-selfcheck-probe /f >nul 2>&1
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
if %INDEX%==1 call :strip_marks
call set "WANT=%%E%INDEX%%%"
if not "%TEXT%"=="%WANT%" call :problem "report line [%TEXT%] where [%WANT%] is due"
goto :eof

:strip_marks
if not "%TEXT:~0,1%"=="!" goto :eof
set "TEXT=%TEXT:~1%"
set /a MARKS+=1
goto :strip_marks

rem :check_gone PATH / :check_kept PATH: a seeded folder is gone, a neighbour file is still there.
:check_gone
if exist "%~1" call :problem "%~1 is still there"
goto :eof

:check_kept
if not exist "%~1" call :problem "the neighbour %~1 is gone"
goto :eof

rem :check_registry gone|kept KEY [NAME]: a seeded key or value (NAME) is gone, a neighbour's is
rem still there.
:check_registry
set "WHAT=the key %~2"
if not "%~3"=="" set "WHAT=the value %~3 under %~2"
set "DUE=gone"
if "%~1"=="kept" (set "DUE=still there" & set "WHAT=the neighbour %WHAT:~4%")
call :registry_state "%~2" %3
if not "%STATE%"=="%DUE%" call :problem "%WHAT%: %STATE%"
goto :eof

rem :registry_state KEY [NAME]: read by the helper, since reg.exe answers 1 for "not there" and
rem for every failure alike; no answer must neither pass for a deletion nor for a neighbour kept.
:registry_state
"%HELPER%" regstate %*
set "CODE=%errorlevel%"
set "STATE=unknown: the registry gave no answer (%CODE%)"
if "%CODE%"=="0" set "STATE=still there"
if "%CODE%"=="1" set "STATE=gone"
goto :eof

rem :problem TEXT: one failed point, one line.
:problem
set /a PROBLEMS+=1
set "msg=PROBLEM: %~1"
call :say
goto :eof

rem :say: msg on the console and in the result file (safe for | > and ! in msg).
:say
for /f "delims=" %%m in ("%msg%") do (
  echo.%%m
  >> "%RESULT%" echo.%%m
)
goto :eof
