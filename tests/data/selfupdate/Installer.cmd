@echo off
Timeout /t 2 /nobreak >nul
move /Y "C:\Users\player\KestruneUpdater.exe" "D:\Games\Client\KestruneUpdater.exe"
Timeout /t 1 /nobreak >nul
start "" "D:\Games\Client\KestruneUpdater.exe"
del "C:\Users\player\Installer.cmd"
pause
