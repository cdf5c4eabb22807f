@echo off
reg add "HKLM\SOFTWARE\Microsoft\MediaPlayer\Player\Extensions\MUIDescriptions" /v 76 /t REG_SZ /d Matroska /f >nul
reg add "HKLM\SOFTWARE\Microsoft\MediaPlayer\Player\Extensions\Types" /v 76 /t REG_SZ /d *.mkv /f >nul
reg add "HKCR\.MKV" /ve /t REG_SZ /d AVIfile /f >nul
