@echo off
rem Tells whether this machine has the registry entries that mkvtype.exe writes, for people and
rem for deployment tools alike. Exits 0 when every entry the tool would write here is in place,
rem 1 when one is missing (one line for each), and 2 when a key exists that this account may
rem not read, so that whether its entry is in place cannot be told (one line for each). Needs
rem nothing but cmd.exe and reg.exe, and reads without any rights beyond a normal user's.
rem
rem mkvtype.exe is a 32-bit program: on 64-bit Windows its player entries live in the 32-bit
rem registry view (under WOW6432Node). A 32-bit prompt sees that view under the usual path; a
rem 64-bit prompt is sent there explicitly.
rem
rem Registry data may hold any character. It is never expanded where cmd would act on it: it
rem reaches the script only through FOR variables and quoted SET, with delayed expansion off
rem whatever the caller chose, and is compared only once its double quotes are known absent.
setlocal EnableExtensions DisableDelayedExpansion
set "software=HKEY_LOCAL_MACHINE\SOFTWARE"
if defined PROCESSOR_ARCHITEW6432 goto view_chosen
if /i "%PROCESSOR_ARCHITECTURE%"=="x86" goto view_chosen
set "software=HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node"
:view_chosen
set "extensions=%software%\Microsoft\MediaPlayer\Player\Extensions"

set missing=0
set unreadable=0
set "missing_key="
call :player_entry "%extensions%\MUIDescriptions" "Matroska"
call :player_entry "%extensions%\Types" "*.mkv"
call :key_state "HKEY_CLASSES_ROOT\.MKV"
if "%state%"=="missing" call :report missing "HKEY_CLASSES_ROOT\.MKV (the key, with any class)"

if "%unreadable%"=="1" exit /b 2
if "%missing%"=="1" exit /b 1
echo in place: every entry that mkvtype.exe writes on this machine
exit /b 0

rem A player key that is missing needs nothing: the tool writes there only where the player is.
rem Where it exists, value "76" must be REG_SZ holding exactly the tool's text: reg query prints
rem the key's name, that one value's line, and blank lines, and nothing else. The key's state is
rem looked into only where the value is not in place.
:player_entry
call :under_missing_key "%~1"
if defined under_missing goto :eof
set "header=%~1"
set "wanted=    76    REG_SZ    %~2"
set matching=0
set others=0
for /f "delims=" %%L in ('reg query "%~1" /v 76 2^>nul') do (
  set "line=%%L"
  call :classify_line
)
if "%matching%%others%"=="10" goto :eof
call :key_state "%~1"
if not "%state%"=="present" goto :eof
set "shown=%~1"
call :report missing "HKLM\%shown:HKEY_LOCAL_MACHINE\=%, value 76 = %~2 (REG_SZ)"
goto :eof

rem Counts the line in %line% as the wanted value, or as another line. A line that holds a
rem double quote is another line; without one, it is safe to expand inside quotes.
:classify_line
if not defined line goto :eof
set "unquoted=%line:"=%"
set "requoted=%line:"=''%"
if not "%unquoted%"=="%requoted%" (set /a others+=1 & goto :eof)
if "%unquoted%"=="%wanted%" (set /a matching+=1 & goto :eof)
if /i "%unquoted%"=="%header%" goto :eof
set /a others+=1
goto :eof

rem Sets state to present, missing or unreadable for the key %1. Where it cannot be queried, the
rem path is walked down from its root: a key that cannot be queried is missing unless its parent
rem lists it. Telling the two apart this way rests on no message of reg.exe, which Windows
rem translates.
:key_state
set "state=missing"
call :under_missing_key "%~1"
if defined under_missing goto :eof
set "state=present"
reg query "%~1" >nul 2>&1
if not errorlevel 1 goto :eof
set "walked="
set "key=%~1"
for %%C in ("%key:\=" "%") do call :key_step "%%~C"
goto :eof

:key_step
if not "%state%"=="present" goto :eof
if not defined walked (
  set "walked=%~1"
  goto :eof
)
set "parent=%walked%"
set "walked=%walked%\%~1"
reg query "%walked%" >nul 2>&1
if not errorlevel 1 goto :eof
set "state=missing"
for /f "delims=" %%K in ('reg query "%parent%" 2^>nul') do (
  if /i "%%K"=="%walked%" set "state=unreadable"
)
rem A key found missing holds nothing: the next entry under it needs no walk. Two entries under
rem one unreadable key name it once.
if "%state%"=="missing" set "missing_key=%walked%"
if not "%state%"=="unreadable" goto :eof
if /i not "%walked%"=="%reported%" call :report unreadable "%walked%"
set "reported=%walked%"
goto :eof

:under_missing_key
set "under_missing="
if not defined missing_key goto :eof
set "key=%~1"
call set "rest=%%key:*%missing_key%\=%%"
if not "%rest%"=="%key%" set under_missing=1
goto :eof

:report
if "%~1"=="unreadable" goto report_unreadable
echo missing: %~2
set missing=1
goto :eof

:report_unreadable
set "shown=%~2"
echo cannot read: %shown:HKEY_LOCAL_MACHINE\=HKLM\% (it exists, but this account may not read it)
set unreadable=1
goto :eof
