@echo off
rem Tells whether this machine has the registry entries that mkvtype.exe writes, for people and
rem for deployment tools alike. Exits 0 when every entry the tool would write here is in place,
rem and 1 otherwise, with one line for each entry that is missing. Needs nothing but cmd.exe and
rem reg.exe, and reads without any rights beyond a normal user's.
rem
rem mkvtype.exe is a 32-bit program: on 64-bit Windows its player entries live in the 32-bit
rem registry view (under WOW6432Node). A 32-bit prompt sees that view under the usual path; a
rem 64-bit prompt is sent there explicitly.
setlocal
set "software=HKLM\SOFTWARE"
if defined PROCESSOR_ARCHITEW6432 goto view_chosen
if /i "%PROCESSOR_ARCHITECTURE%"=="x86" goto view_chosen
set "software=HKLM\SOFTWARE\WOW6432Node"
:view_chosen
set "extensions=%software%\Microsoft\MediaPlayer\Player\Extensions"

set missing=0
call :player_entry "%extensions%\MUIDescriptions" "Matroska"
call :player_entry "%extensions%\Types" "*.mkv"
reg query "HKCR\.MKV" >nul 2>&1
if errorlevel 1 call :report "HKEY_CLASSES_ROOT\.MKV (the key, with any class)"

if "%missing%"=="1" exit /b 1
echo in place: every entry that mkvtype.exe writes on this machine
exit /b 0

rem A player key that is missing needs nothing: the tool writes there only where the player is.
rem Where it exists, value "76" must be REG_SZ holding exactly the tool's text.
:player_entry
reg query "%~1" >nul 2>&1
if errorlevel 1 goto :eof
set found=
for /f "tokens=1,2,*" %%a in ('reg query "%~1" /v 76 2^>nul') do (
  if "%%a"=="76" if "%%b"=="REG_SZ" if "%%c"=="%~2" set found=1
)
if not defined found call :report "%~1, value 76 = %~2 (REG_SZ)"
goto :eof

:report
echo missing: %~1
set missing=1
goto :eof
